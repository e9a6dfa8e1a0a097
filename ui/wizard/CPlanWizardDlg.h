// The plan wizard: four pages (what, which sources, where, when) over the
// answers in a working copy of the plan's "UI.ini"; Finish makes the new plan
// or changes the existing one.
//
//   RunPlanWizard(parent, 0, 0)   -> a new plan; true when one was made
//   RunPlanWizard(parent, id, 2)  -> change plan id, opening at the
//                                    destination page; true when changed
#pragma once
#include <QDialog>
#include <cstdint>
#include <memory>

#include "ui/wizard/CWizardPage.h"
#include "ui/wizard/WizardAnswers.h"

class CWPBackupType;
class CWPSelectDest;
class CWPSelectSource;
class CWPSelectWhenToBackup;
class CWizardWorker;
class QLabel;
class QPushButton;
class QStackedWidget;

class CPlanWizardDlg : public QDialog {
  Q_OBJECT
 public:
  enum Page { kPageType = 0, kPageSource = 1, kPageDest = 2, kPageWhen = 3 };

  // planId 0 makes a new plan. startPage 0..3 is the page shown first.
  CPlanWizardDlg(QWidget* parent, uint32_t planId, int startPage = kPageType);
  ~CPlanWizardDlg() override;

  // The plan made or changed (0 when none).
  uint32_t ResultPlanId() const { return resultId_; }
  bool Changed() const { return changed_; }
  // Whether a change honours "back up at once" (default true).
  void SetHonourInitBackup(bool honour) { honourInitBackup_ = honour; }

  int CurrentPage() const;
  CWizardPage* PageAt(int index) const;
  CWPBackupType* TypePage() const { return typePage_; }
  CWPSelectSource* SourcePage() const { return sourcePage_; }
  CWPSelectDest* DestPage() const { return destPage_; }
  CWPSelectWhenToBackup* WhenPage() const { return whenPage_; }
  QPushButton* BackButton() const { return back_; }
  QPushButton* NextButton() const { return next_; }
  QPushButton* FinishButton() const { return finish_; }
  QPushButton* CancelButton() const { return cancel_; }
  const std::string& AnswersFile() const { return ctx_.ini; }
  CWizardWorker* Worker() const { return ctx_.worker; }

  // The buttons' work (also what the tests click).
  void GoNext();
  void GoBack();
  void Finish();

 protected:
  void reject() override;

 private:
  void ShowPage(int index);
  void CompleteChange();

  WizardContext ctx_;
  CWPBackupType* typePage_;
  CWPSelectSource* sourcePage_;
  CWPSelectDest* destPage_;
  CWPSelectWhenToBackup* whenPage_;
  QStackedWidget* stack_;
  QLabel* title_;
  QLabel* steps_[4];
  QPushButton* back_;
  QPushButton* next_;
  QPushButton* finish_;
  QPushButton* cancel_;
  uint32_t resultId_ = 0;
  bool changed_ = false;
  bool honourInitBackup_ = true;
  bool finishing_ = false;
  bool entered_[4] = {false, false, false, false};
  PlanChange change_;
};

// Runs the wizard modally; true when a plan was made (planId 0) or changed.
bool RunPlanWizard(QWidget* parent, uint32_t planId, int startPage);
