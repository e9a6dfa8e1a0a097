// The wizard's calendar: one month at a time, the week starting on the
// user's locale's first weekday, day and month names from the text store. The user picks the day of
// a weekly or monthly backup.
#pragma once
#include <QDate>
#include <QWidget>

class QLabel;
class QToolButton;

class CWizardCalendar : public QWidget {
  Q_OBJECT
 public:
  explicit CWizardCalendar(QWidget* parent = nullptr);

  QDate SelectedDate() const { return selected_; }
  void SetSelectedDate(const QDate& date);
  // 0 = Sunday .. 6 = Saturday.
  int FirstDayOfWeek() const { return firstDay_; }
  // The day cell of a date of the month shown (null when not shown).
  QToolButton* DayButton(int day) const;
  QString MonthTitle() const;
  // The heading of column 0..6.
  QString DayHeading(int column) const;
  void ShowMonth(int year, int month);

 signals:
  void dateChosen(const QDate& date);

 private:
  void Rebuild();

  int firstDay_ = 0;
  int year_ = 2000, month_ = 1;
  QDate selected_;
  QLabel* title_;
  QLabel* headings_[7];
  QToolButton* cells_[42];
};
