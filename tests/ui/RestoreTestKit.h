// What the restore window's tests share: the tree's rows, windows acted on
// once shown, and the progress window on screen.
#pragma once
#include <QPlainTextEdit>
#include <map>

#include "UiTestKit.h"
#include "history/StoreAccess.h"
#include "history/VersionTree.h"
#include "ui/restore/CDlgRestore.h"
#include "ui/restore/CDlgRestoreProgress.h"
#include "ui/restore/CRestoreTree.h"
#include "ui/restore/RestoreRelay.h"
#include "ui/restore/RestoreTexts.h"

namespace bvtest {

// The texts of the rows below an item (or the top level), in their order.
inline std::vector<std::string> Rows(QTreeWidget* tree, QTreeWidgetItem* parent) {
  std::vector<std::string> rows;
  const int n = parent ? parent->childCount() : tree->topLevelItemCount();
  for (int i = 0; i < n; ++i)
    rows.push_back((parent ? parent->child(i) : tree->topLevelItem(i))->text(0).toStdString());
  return rows;
}

inline QTreeWidgetItem* Child(QTreeWidgetItem* parent, const std::string& name) {
  for (int i = 0; parent && i < parent->childCount(); ++i)
    if (parent->child(i)->text(0).toStdString() == name) return parent->child(i);
  return nullptr;
}

// Acts on a window once find sees it, looking every 20 ms for up to 10 s without waiting inside
// a handler (Restore runs loops of its own before its modal windows open).
inline void WhenShown(std::function<QWidget*()> find, std::function<void(QWidget*)> act,
                      int tries = 500) {
  RunSoon(nullptr, [=] {
    if (QWidget* w = find()) return act(w);
    if (tries == 0) return ADD_FAILURE() << "never shown";
    QTimer::singleShot(20, [=] { WhenShown(find, act, tries - 1); });
  });
}

// The progress window on screen, if one is.
inline CDlgRestoreProgress* VisibleProgress() {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* p = qobject_cast<CDlgRestoreProgress*>(w); p && p->isVisible()) return p;
  return nullptr;
}

// Waits for the restore jobs a window left behind before the plans go.
class RestoreTest : public UiTest {
 protected:
  void TearDown() override {
    RunUntil([] { return DiscardedRestoreJobsRunning() == 0; });
    UiTest::TearDown();
  }
};

}  // namespace bvtest
