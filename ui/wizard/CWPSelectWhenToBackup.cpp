#include "ui/wizard/CWPSelectWhenToBackup.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QSpinBox>
#include <QVBoxLayout>
#include <algorithm>
#include <utility>

#include "common/Settings.h"
#include "engine/PlanList.h"
#include "plans/Schedule.h"
#include "platform/base/Text.h"
#include "platform/process/Clock.h"
#include "platform/profile/Profile.h"
#include "ui/wizard/CWizardCalendar.h"
#include "ui/wizard/WizardAnswers.h"
#include "ui/wizard/WizardWorker.h"

namespace {

constexpr char kSection[] = "WIZARD_WHEN_TO_BACKUP";
constexpr int kMaxNameChars = 255;
// What the interval shows until the user chooses one, in minutes or hours.
constexpr int kDefaultIntervalMinutes = 15;
constexpr int kDefaultIntervalHours = 4;

QString Text(const char* key) { return WizText(kSection, key); }

// Hours and minutes with two digits ("07").
class CTwoDigitSpin : public QSpinBox {
 public:
  using QSpinBox::QSpinBox;

 protected:
  QString textFromValue(int value) const override {
    return QString("%1").arg(value, 2, 10, QChar('0'));
  }
};

}  // namespace

CWPSelectWhenToBackup::CWPSelectWhenToBackup(WizardContext* context, QWidget* parent)
    : CWizardPage(context, parent) {
  setObjectName("wizardWhenPage");
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(10);

  auto* nameRow = new QHBoxLayout;
  auto* nameLabel = new QLabel(Text("PLAN_NAME_LABEL"), this);
  nameLabel->setObjectName("wizardFieldLabel");
  name_ = new QLineEdit(this);
  name_->setObjectName("planNameField");
  name_->setMaxLength(kMaxNameChars);
  nameRow->addWidget(nameLabel);
  nameRow->addWidget(name_, 1);
  layout->addLayout(nameRow);

  auto* columns = new QHBoxLayout;
  columns->setSpacing(16);
  auto* left = new QVBoxLayout;
  auto* scheduleLabel = new QLabel(Text("SCHEDULE_LABEL"), this);
  scheduleLabel->setObjectName("wizardFieldLabel");
  left->addWidget(scheduleLabel);
  schedule_ = new QListWidget(this);
  schedule_->setObjectName("scheduleList");
  // One row per schedule unit, in the units' order.
  for (const char* key :
       {"BACKUP_MODE_CONTINUOUSLY", "BACKUP_MODE_EVERY_N_MINUTES", "BACKUP_MODE_EVERY_N_HOURS",
        "BACKUP_MODE_EVERY_DAY", "BACKUP_MODE_EVERY_WEEK", "BACKUP_MODE_EVERY_MONTH",
        "BACKUP_MODE_MACHINE_START_UP", "BACKUP_MODE_MANUALLY"})
    schedule_->addItem(Text(key));
  schedule_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  // Tall enough for its rows, no more.
  schedule_->setFixedHeight(schedule_->sizeHintForRow(0) * schedule_->count() +
                            2 * schedule_->frameWidth() + 16);
  left->addWidget(schedule_);
  auto* intervalRow = new QHBoxLayout;
  auto* intervalLabel = new QLabel(Text("INTERVAL_LABEL"), this);
  intervalLabel->setObjectName("wizardFieldLabel");
  interval_ = new QSpinBox(this);
  interval_->setObjectName("intervalSpin");
  intervalUnit_ = new QLabel(Text("INTERVAL_MINUTES"), this);
  intervalUnit_->setObjectName("intervalUnit");
  intervalRow->addWidget(intervalLabel);
  intervalRow->addWidget(interval_);
  intervalRow->addWidget(intervalUnit_);
  intervalRow->addStretch(1);
  left->addSpacing(6);
  left->addLayout(intervalRow);
  auto* timeRow = new QHBoxLayout;
  auto* timeLabel = new QLabel(Text("TIME_LABEL"), this);
  timeLabel->setObjectName("wizardFieldLabel");
  hour_ = new CTwoDigitSpin(this);
  hour_->setObjectName("hourSpin");
  hour_->setRange(0, 23);
  minute_ = new CTwoDigitSpin(this);
  minute_->setObjectName("minuteSpin");
  minute_->setRange(0, 59);
  timeRow->addWidget(timeLabel);
  timeRow->addWidget(hour_);
  auto* separator = new QLabel(":", this);
  separator->setObjectName("timeSeparator");
  timeRow->addWidget(separator);
  timeRow->addWidget(minute_);
  timeRow->addStretch(1);
  left->addSpacing(6);
  left->addLayout(timeRow);
  columns->addLayout(left, 1);

  auto* right = new QVBoxLayout;
  dayHint_ = new QLabel(this);
  dayHint_->setObjectName("dayHint");
  dayHint_->setWordWrap(true);
  right->addWidget(dayHint_);
  calendar_ = new CWizardCalendar(this);
  right->addWidget(calendar_);
  // Under the calendar, where the left column is longer anyway.
  initBackup_ = new QCheckBox(Text("DO_INIT_BACKUP"), this);
  initBackup_->setObjectName("initBackupCheck");
  right->addSpacing(6);
  right->addWidget(initBackup_);
  right->addStretch(1);
  columns->addLayout(right, 1);
  layout->addLayout(columns);
  layout->addSpacing(8);

  // How long versions stay, and how many at most.
  auto* keepRow = new QHBoxLayout;
  auto* keepLabel = new QLabel(Text("KEEP_LABEL"), this);
  keepLabel->setObjectName("wizardFieldLabel");
  keep_ = new QComboBox(this);
  keep_->setObjectName("keepCombo");
  for (const auto& [key, days] :
       {std::pair{"KEEP_DAY", kKeepDay}, std::pair{"KEEP_WEEK", kKeepWeek},
        std::pair{"KEEP_MONTH", kKeepMonth}, std::pair{"KEEP_YEAR", kKeepYear},
        std::pair{"KEEP_AS_MANY_AS_FIT", kKeepAsManyAsFit}})
    keep_->addItem(Text(key), days);
  auto* versionsLabel = new QLabel(Text("VERSIONS_LABEL"), this);
  versionsLabel->setObjectName("wizardFieldLabel");
  versions_ = new QSpinBox(this);
  versions_->setObjectName("versionsSpin");
  versions_->setRange(1, std::max(1, GetMaxVersionCount()));
  auto* versionsUnit = new QLabel(Text("VERSIONS_UNIT"), this);
  keepRow->addWidget(keepLabel);
  keepRow->addWidget(keep_);
  keepRow->addSpacing(12);
  keepRow->addWidget(versionsLabel);
  keepRow->addWidget(versions_);
  keepRow->addWidget(versionsUnit);
  keepRow->addStretch(1);
  layout->addLayout(keepRow);
  connect(versions_, &QSpinBox::valueChanged, this, [this] { UpdateKeepTexts(); });

  layout->addStretch(1);

  connect(schedule_, &QListWidget::currentRowChanged, this, [this] {
    edited_ = true;
    UpdateFields();
  });
  connect(name_, &QLineEdit::textEdited, this, [this] { edited_ = true; });
}

QString CWPSelectWhenToBackup::Title() const { return Text("TITLE"); }

void CWPSelectWhenToBackup::UpdateFields() {
  const int row = schedule_->currentRow();
  const int unit = UnitOfScheduleRow(row);
  const bool interval = unit == kUnitMinutes || unit == kUnitOtherInterval;
  // An interval's slots start at the hour and minute given (today).
  const bool timed = interval || unit == kUnitDaily || unit == kUnitWeekly || unit == kUnitMonthly;
  const bool day = unit == kUnitWeekly || unit == kUnitMonthly;
  interval_->setEnabled(interval);
  int count = interval_->value();
  // Going between minutes and hours, a count the user left at one unit's
  // default becomes the other's.
  if (interval && intervalUnitShown_ != 0 && intervalUnitShown_ != unit) {
    const bool toHours = unit == kUnitOtherInterval;
    if (count == (toHours ? kDefaultIntervalMinutes : kDefaultIntervalHours))
      count = toHours ? kDefaultIntervalHours : kDefaultIntervalMinutes;
  }
  if (interval) intervalUnitShown_ = unit;
  // A day of minutes, a week of hours.
  interval_->setRange(1, unit == kUnitOtherInterval ? 168 : 1440);
  interval_->setValue(count);
  intervalUnit_->setText(unit == kUnitOtherInterval ? Text("INTERVAL_HOURS")
                                                    : Text("INTERVAL_MINUTES"));
  hour_->setEnabled(timed);
  minute_->setEnabled(timed);
  calendar_->setEnabled(day);
  dayHint_->setText(unit == kUnitWeekly    ? Text("BACKUP_DAY_HINT_FOR_WEEK")
                    : unit == kUnitMonthly ? Text("BACKUP_DAY_HINT")
                                           : QString());
}

void CWPSelectWhenToBackup::ApplyDefaults() {
  const DefaultPlanRecord& d = ctx_->defaults;
  std::string base = d.planName.empty() ? GetText(kSection, "DEFAULT_PLAN_NAME") : d.planName;
  name_->setText(QString::fromStdString(PlanList::Instance().MakeUniqueName(base)));
  const bool wasEdited = edited_;
  schedule_->setCurrentRow(ScheduleRowOfUnit(UnitOfScheduleChoice(d.schedule)));
  edited_ = wasEdited;
  // A type that keeps versions keeps them for a month, as many as allowed.
  versions_->setValue(d.versions > 1 ? GetMaxVersionCount() : d.versions);
  SetKeepDays(kKeepMonth);
  initBackup_->setChecked(d.firstBackup != 0);
  defaultsFor_ = d.planType;
}

void CWPSelectWhenToBackup::Enter() {
  const std::string& ini = ctx_->ini;
  if (!loaded_) {
    loaded_ = true;
    const bool wasEdited = edited_;
    name_->setText(QString::fromStdString(
        plat::GetProfileString(ini, wiz::kWhenSection, "PlanName", "", kMaxNameChars)));
    int32_t num = 1;
    const int row = ScheduleRowOfUnit(ReadWizardScheduleUnit(ini, &num));
    interval_->setRange(1, 1440);
    const bool hours = row == ScheduleRowOfUnit(kUnitOtherInterval);
    const bool interval = hours || row == ScheduleRowOfUnit(kUnitMinutes);
    interval_->setValue(interval ? num : kDefaultIntervalMinutes);
    intervalUnitShown_ = hours ? kUnitOtherInterval : kUnitMinutes;
    schedule_->setCurrentRow(row >= 0 ? row : 0);
    versions_->setValue(plat::GetProfileInt(ini, wiz::kVersionsSection, "VersionsToKeep", 3));
    // A plan made before versions were kept by age shows its count rule.
    SetKeepDays(ctx_->newPlan ? kKeepMonth : ReadWizardKeepDays(ini));
    // Changing a plan asks afresh whether to back up at once.
    initBackup_->setChecked(ctx_->newPlan &&
                            plat::GetProfileInt(ini, wiz::kWhenSection, "DoInitBackup", 0) != 0);
    const int64_t start = ReadWizardBackupTime(ini);
    const QDateTime when = start > 0 ? QDateTime::fromSecsSinceEpoch(start)
                                     : QDateTime::currentDateTime().addSecs(3600);
    calendar_->SetSelectedDate(when.date());
    hour_->setValue(when.time().hour());
    minute_->setValue(start > 0 ? when.time().minute() : 0);
    edited_ = wasEdited || !name_->text().isEmpty();
  }
  // A new plan takes the defaults of its type, until the user changes them.
  if (ctx_->newPlan && !edited_ && ctx_->haveDefaults && defaultsFor_ != ctx_->defaultsType)
    ApplyDefaults();
  if (ctx_->newPlan && !ctx_->haveDefaults) {
    const std::string iniPath = ini;
    ctx_->worker->Run([iniPath, page = this]() -> std::function<void()> {
      WizardDefaults d = ComputeWizardDefaults(iniPath, PlanList::Instance());
      return [d, page] {
        page->ctx_->haveDefaults = true;
        page->ctx_->defaultsType = d.planType;
        page->ctx_->defaults = d.record;
        if (!page->edited_) page->ApplyDefaults();
      };
    });
  }
  UpdateFields();
}

bool CWPSelectWhenToBackup::Check() { return true; }

void CWPSelectWhenToBackup::Store() {
  const std::string& ini = ctx_->ini;
  const std::string name = plat::TrimSpace(name_->text().toStdString());
  plat::WriteProfileString(ini, wiz::kWhenSection, "PlanName", name.c_str());
  const int unit = UnitOfScheduleRow(std::max(0, schedule_->currentRow()));
  WriteScheduleAnswers(ini, unit, interval_->value());
  const QDate date = unit == kUnitMinutes || unit == kUnitOtherInterval ? QDate::currentDate()
                                                                        : calendar_->SelectedDate();
  const int64_t start = WizardStartTime(date.year(), date.month(), date.day(), hour_->value(),
                                        minute_->value(), plat::Now());
  plat::WriteProfileString(ini, wiz::kWhenSection, "BackupTime", std::to_string(start).c_str());
  plat::WriteProfileInt(ini, wiz::kWhenSection, "DoInitBackup", initBackup_->isChecked() ? 1 : 0);
  plat::WriteProfileInt(ini, wiz::kVersionsSection, "VersionsToKeep", versions_->value());
  plat::WriteProfileInt(ini, wiz::kVersionsSection, "KeepDays", KeepDays());
}

int CWPSelectWhenToBackup::KeepDays() const {
  return keep_->currentIndex() < 0 ? kKeepMonth : keep_->currentData().toInt();
}

void CWPSelectWhenToBackup::SetKeepDays(int days) {
  int at = keep_->findData(days);
  if (at < 0 && days == kKeepByCount) {
    keep_->addItem(Text("KEEP_BY_COUNT"), kKeepByCount);
    at = keep_->count() - 1;
  }
  keep_->setCurrentIndex(at >= 0 ? at : keep_->findData(kKeepMonth));
  UpdateKeepTexts();
}

void CWPSelectWhenToBackup::UpdateKeepTexts() {
  for (const auto& [key, days] : {std::pair{"KEEP_AS_MANY_AS_FIT", kKeepAsManyAsFit},
                                  std::pair{"KEEP_BY_COUNT", kKeepByCount}}) {
    const int at = keep_->findData(days);
    if (at >= 0)
      keep_->setItemText(at, Text(key).replace("%d", QString::number(versions_->value())));
  }
}
