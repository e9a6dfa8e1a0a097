// Wizard page 1: what kind of data the plan protects: kinds of files (four
// categories), mail and browser data, or chosen folders or extensions.
#pragma once
#include "ui/wizard/CWizardPage.h"

class QCheckBox;
class QRadioButton;

class CWPBackupType : public CWizardPage {
  Q_OBJECT
 public:
  CWPBackupType(WizardContext* context, QWidget* parent);
  QString Title() const override;
  void Enter() override;
  bool Check() override;
  void Store() override;

  int BackupType() const;

 private:
  void UpdateEnabled();

  QRadioButton* types_[3];
  QCheckBox* categories_[4];  // order of wiz::kCategories
  QCheckBox* mail_;
  QCheckBox* browser_;
};
