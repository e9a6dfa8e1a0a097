// Wizard page 2: which sources exactly. For kinds of files, the extensions
// of the chosen categories and the common folders; for mail and browser
// data, its three choices; for folders or extensions, the folder tree and
// the extension list (with the user's own extensions).
#pragma once
#include "ui/wizard/CWizardPage.h"

class CFileTreeCtrl;
class CSpecificExtList;
class QCheckBox;
class QStackedWidget;
class QTabWidget;

class CWPSelectSource : public CWizardPage {
  Q_OBJECT
 public:
  CWPSelectSource(WizardContext* context, QWidget* parent);
  QString Title() const override;
  void Enter() override;
  bool Check() override;
  void Store() override;

  CFileTreeCtrl* Tree() const { return tree_; }
  QTabWidget* Tabs() const { return tabs_; }
  CSpecificExtList* CategoryList() const { return categoryList_; }
  CSpecificExtList* ExtensionList() const { return extList_; }
  // Opens the editor of the user's own extensions (modal).
  void EditOwnExtensions();

 private:
  int Type() const;

  QStackedWidget* views_;
  CSpecificExtList* categoryList_;
  QCheckBox* common_[3];
  QCheckBox* web_[3];
  QTabWidget* tabs_;
  CFileTreeCtrl* tree_;
  CSpecificExtList* extList_;
  bool treeFilled_ = false;
};
