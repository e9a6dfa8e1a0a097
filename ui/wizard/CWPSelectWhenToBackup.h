// Wizard page 4: the plan's name, when it runs (the six schedule choices,
// with hour, minute and the calendar's day where they apply), how long and
// how many versions to keep and whether the first backup starts at once.
#pragma once
#include <QDate>

#include "ui/wizard/CWizardPage.h"

class CWizardCalendar;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QSpinBox;

class CWPSelectWhenToBackup : public CWizardPage {
  Q_OBJECT
 public:
  CWPSelectWhenToBackup(WizardContext* context, QWidget* parent);
  QString Title() const override;
  void Enter() override;
  bool Check() override;
  void Store() override;

  QLineEdit* NameEdit() const { return name_; }
  QListWidget* Schedule() const { return schedule_; }
  // The count of an every-N-minutes or every-N-hours schedule.
  QSpinBox* Interval() const { return interval_; }
  QSpinBox* Hour() const { return hour_; }
  QSpinBox* Minute() const { return minute_; }
  CWizardCalendar* Calendar() const { return calendar_; }
  QSpinBox* Versions() const { return versions_; }
  // How long versions stay: items for a day, week, month, year and as many
  // as fit (their data: KeepVersions), and the count rule of an older plan.
  QComboBox* Keep() const { return keep_; }
  QCheckBox* InitBackup() const { return initBackup_; }
  QLabel* DayHint() const { return dayHint_; }

 private:
  void UpdateFields();
  void ApplyDefaults();
  int KeepDays() const;
  void SetKeepDays(int days);
  // The items that name the count show the versions field's value.
  void UpdateKeepTexts();

  QLineEdit* name_;
  QListWidget* schedule_;
  QSpinBox* interval_;
  QLabel* intervalUnit_;
  QSpinBox* hour_;
  QSpinBox* minute_;
  CWizardCalendar* calendar_;
  QLabel* dayHint_;
  QSpinBox* versions_;
  QComboBox* keep_;
  QCheckBox* initBackup_;
  bool loaded_ = false;
  bool edited_ = false;  // the user changed a field: defaults stay away
  int defaultsFor_ = -1;
  int intervalUnitShown_ = 0;  // the unit the interval's count was last shown in
};
