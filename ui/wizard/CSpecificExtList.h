// The wizard's list of file extensions: the categories of "Ext.txt" with
// their entries to tick, and optionally the user's own extensions (edited in
// CExtFileDlg). Reads and writes the answers "FileTypes", "Item%d" and
// "Custom File Type(s)".
#pragma once
#include <QTreeWidget>
#include <string>
#include <vector>

#include "plans/ExtensionList.h"

class CSpecificExtList : public QTreeWidget {
  Q_OBJECT
 public:
  explicit CSpecificExtList(QWidget* parent = nullptr);

  // Shows the categories named (all when names is empty), in list order, and
  // the row of the user's own extensions when withCustom.
  void Fill(const std::vector<ExtensionCategory>& list, const std::vector<std::string>& names,
            bool withCustom);
  // Ticks from the answers; a category without any "Item%d" answer is ticked
  // whole when defaultAll.
  void Load(const std::string& ini, bool defaultAll);
  // Writes "Item%d" of every shown category, with writeFileTypes also the
  // category's "FileTypes" answer (ticked when any entry is), and the own list.
  void Store(const std::string& ini, bool writeFileTypes) const;

  bool AnyChosen() const;
  std::vector<std::string> CustomMasks() const { return custom_; }
  void SetCustomMasks(const std::vector<std::string>& masks);
  // The category row of a "FileTypes" name (tests and the page).
  QTreeWidgetItem* CategoryItem(const std::string& name) const;

 private:
  void FillCustom();

  std::vector<ExtensionCategory> shown_;
  std::vector<std::string> custom_;
  QTreeWidgetItem* customItem_ = nullptr;
};

// Shown name of a category ("Document Files" -> the text store's wording).
QString CategoryDisplayName(const std::string& name);
