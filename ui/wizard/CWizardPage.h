// What the plan wizard's pages share: the answers file they read and write,
// the extension list, the defaults of the plan type, and the page interface
// the dialog drives (enter, check on Next, store).
#pragma once
#include <QString>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/Texts.h"
#include "plans/DefaultPlans.h"
#include "plans/ExtensionList.h"
#include "ui/widgets/AppMessage.h"

class CWizardWorker;

struct WizardContext {
  std::string ini;      // the working "UI.ini"
  uint32_t planId = 0;  // 0 while making a new plan
  bool newPlan = true;
  std::vector<ExtensionCategory> extensions;  // "Ext.txt"
  CWizardWorker* worker = nullptr;
  // Defaults of the plan type derived from the answers (new plans).
  bool haveDefaults = false;
  int32_t defaultsType = -1;
  DefaultPlanRecord defaults;
  // The object storage tab's secret key: kept here, never among the answers.
  std::string objectSecret;
  // A page's NextHeld may have changed: the dialog looks at it again.
  std::function<void()> nextChanged;
};

class CWizardPage : public QWidget {
 public:
  CWizardPage(WizardContext* context, QWidget* parent) : QWidget(parent), ctx_(context) {}
  // Shown above the page.
  virtual QString Title() const = 0;
  // The page opens: fill the fields from the answers (and defaults).
  virtual void Enter() = 0;
  // Next or Finish: false (after a message) keeps the user on the page.
  virtual bool Check() = 0;
  // Writes the page's answers.
  virtual void Store() = 0;
  // Next is held back (greyed) while true, its tool tip saying why.
  virtual bool NextHeld() const { return false; }
  virtual QString NextHeldWhy() const { return {}; }

 protected:
  WizardContext* ctx_;
};

inline QString WizText(const char* section, const char* key) {
  return QString::fromStdString(GetText(section, key));
}
// A page check's message box (a log line under BREVANTO_MESSAGE_LOG).
inline void WizMessage(const char* section, const char* key) {
  ShowAppMessage(GetText(section, key), QMessageBox::Warning);
}
