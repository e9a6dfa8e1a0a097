#include "ui/wizard/CWizardCalendar.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QToolButton>
#include <QVBoxLayout>

#include "common/Texts.h"

namespace {

constexpr char kSection[] = "WIZARD_WHEN_TO_BACKUP";
const char* const kDays[7] = {"BACKUP_CALENDAR_WEEK_SUN", "BACKUP_CALENDAR_WEEK_MON",
                              "BACKUP_CALENDAR_WEEK_TUE", "BACKUP_CALENDAR_WEEK_WED",
                              "BACKUP_CALENDAR_WEEK_THU", "BACKUP_CALENDAR_WEEK_FRI",
                              "BACKUP_CALENDAR_WEEK_SAT"};
const char* const kMonths[12] = {
    "BACKUP_CALENDAR_MONTH_JAN", "BACKUP_CALENDAR_MONTH_FEB", "BACKUP_CALENDAR_MONTH_MAR",
    "BACKUP_CALENDAR_MONTH_APR", "BACKUP_CALENDAR_MONTH_MAY", "BACKUP_CALENDAR_MONTH_JUN",
    "BACKUP_CALENDAR_MONTH_JUL", "BACKUP_CALENDAR_MONTH_AUG", "BACKUP_CALENDAR_MONTH_SEP",
    "BACKUP_CALENDAR_MONTH_OCT", "BACKUP_CALENDAR_MONTH_NOV", "BACKUP_CALENDAR_MONTH_DEC"};

QString Text(const char* key) { return QString::fromStdString(GetText(kSection, key)); }

}  // namespace

CWizardCalendar::CWizardCalendar(QWidget* parent) : QWidget(parent) {
  setObjectName("wizardCalendar");
  setAttribute(Qt::WA_StyledBackground, true);
  firstDay_ = QLocale().firstDayOfWeek() % 7;  // Qt counts Monday 1 .. Sunday 7

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(8, 6, 8, 8);
  layout->setSpacing(4);
  auto* top = new QHBoxLayout;
  auto* prev = new QToolButton(this);
  prev->setObjectName("calendarPrev");
  prev->setArrowType(Qt::LeftArrow);
  prev->setAutoRaise(true);
  auto* next = new QToolButton(this);
  next->setObjectName("calendarNext");
  next->setArrowType(Qt::RightArrow);
  next->setAutoRaise(true);
  title_ = new QLabel(this);
  title_->setObjectName("calendarTitle");
  title_->setAlignment(Qt::AlignCenter);
  top->addWidget(prev);
  top->addWidget(title_, 1);
  top->addWidget(next);
  layout->addLayout(top);

  auto* grid = new QGridLayout;
  grid->setSpacing(2);
  for (int c = 0; c < 7; ++c) {
    headings_[c] = new QLabel(Text(kDays[(firstDay_ + c) % 7]), this);
    headings_[c]->setObjectName("calendarHeading");
    headings_[c]->setAlignment(Qt::AlignCenter);
    grid->addWidget(headings_[c], 0, c);
  }
  for (int i = 0; i < 42; ++i) {
    cells_[i] = new QToolButton(this);
    cells_[i]->setObjectName("calendarDay");
    cells_[i]->setCheckable(true);
    cells_[i]->setAutoRaise(true);
    cells_[i]->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    grid->addWidget(cells_[i], 1 + i / 7, i % 7);
    connect(cells_[i], &QToolButton::clicked, this, [this, i] {
      const int day = cells_[i]->property("day").toInt();
      if (day <= 0) return;
      SetSelectedDate(QDate(year_, month_, day));
      emit dateChosen(selected_);
    });
  }
  layout->addLayout(grid);
  connect(prev, &QToolButton::clicked, this,
          [this] { month_ == 1 ? ShowMonth(year_ - 1, 12) : ShowMonth(year_, month_ - 1); });
  connect(next, &QToolButton::clicked, this,
          [this] { month_ == 12 ? ShowMonth(year_ + 1, 1) : ShowMonth(year_, month_ + 1); });
  SetSelectedDate(QDate::currentDate());
}

void CWizardCalendar::SetSelectedDate(const QDate& date) {
  if (!date.isValid()) return;
  selected_ = date;
  ShowMonth(date.year(), date.month());
}

void CWizardCalendar::ShowMonth(int year, int month) {
  year_ = year;
  month_ = month;
  Rebuild();
}

QString CWizardCalendar::MonthTitle() const { return title_->text(); }

QString CWizardCalendar::DayHeading(int column) const {
  return column >= 0 && column < 7 ? headings_[column]->text() : QString();
}

QToolButton* CWizardCalendar::DayButton(int day) const {
  for (QToolButton* cell : cells_)
    if (cell->property("day").toInt() == day) return cell;
  return nullptr;
}

void CWizardCalendar::Rebuild() {
  title_->setText(Text(kMonths[month_ - 1]) + " " + QString::number(year_));
  const QDate first(year_, month_, 1);
  // Qt counts Monday 1 .. Sunday 7; the headings count Sunday 0.
  const int weekday = first.dayOfWeek() % 7;
  const int offset = (weekday - firstDay_ + 7) % 7;
  const int days = first.daysInMonth();
  for (int i = 0; i < 42; ++i) {
    const int day = i - offset + 1;
    const bool inMonth = day >= 1 && day <= days;
    cells_[i]->setProperty("day", inMonth ? day : 0);
    cells_[i]->setText(inMonth ? QString::number(day) : QString());
    cells_[i]->setEnabled(inMonth);
    cells_[i]->setChecked(inMonth && selected_ == QDate(year_, month_, day));
    cells_[i]->setVisible(i < 35 || offset + days > 35);
  }
}
