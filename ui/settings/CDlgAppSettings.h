// The application settings dialog: pause on battery power, the largest file
// that is backed up, the three notification switches, all kept in
// "InternalSettings.ini", and whether the program starts when the user logs
// in (its autostart entry). The options are drawn by CAppSettingsList under
// three group headings.
#pragma once
#include <QDialog>
#include <QIcon>
#include <QPixmap>
#include <QRect>
#include <QSize>
#include <QString>
#include <QWidget>
#include <string>
#include <vector>

class QLabel;
class QLineEdit;
class QPushButton;

// The owner-drawn option list: group headings, check rows (a click or the
// space key toggles the current row) and the size row with its number field.
class CAppSettingsList : public QWidget {
  Q_OBJECT
 public:
  enum Option { kBattery, kMaxSize, kError, kStatus, kConfirm, kStartAtLogin, kOptionCount };

  explicit CAppSettingsList(QWidget* parent = nullptr);

  bool IsChecked(Option option) const { return checked_[option]; }
  void SetChecked(Option option, bool on);
  QLineEdit* SizeEdit() const { return sizeEdit_; }
  // The area of an option's row, in this widget's coordinates.
  QRect OptionRect(Option option) const;
  int CurrentOption() const { return current_; }

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override { return sizeHint(); }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  struct Row {
    bool heading;
    int option;  // -1 for a heading
    QString text;
  };
  int RowHeight() const;
  int RowTop(int row) const;
  int RowOf(int option) const;
  void PlaceSizeEdit();
  void MoveCurrent(int step);

  std::vector<Row> rows_;
  bool checked_[kOptionCount] = {};
  int current_ = kBattery;  // option that Space toggles
  QString unitText_;
  QPixmap checkedImage_;
  QPixmap uncheckedImage_;
  QLineEdit* sizeEdit_;
};

class CDlgAppSettings : public QDialog {
  Q_OBJECT
 public:
  static constexpr int kMinSizeMiB = 200;
  // The largest file a local disk holds (16 TiB); the store's own disk may
  // hold less, and the engine skips what it cannot. 0 (empty) is no limit.
  static constexpr int kMaxSizeMiB = 16777216;

  // Reads the six settings (defaults for missing keys).
  explicit CDlgAppSettings(QWidget* parent = nullptr);

  CAppSettingsList* List() const { return list_; }
  QPushButton* OkButton() const { return okButton_; }
  QPushButton* CancelButton() const { return cancelButton_; }
  QPushButton* LogLink() const { return logLink_; }

  // The digits of the text as a decimal number (every other character
  // dropped; blanks alone give 0, no limit; other text without a digit -1;
  // more digits than an int holds give INT_MAX).
  static int ParseSize(const QString& text);
  // The folder the log link opens (native path).
  static QString LogFolder();

 protected:
  void accept() override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // Checks the size and writes every setting, then adds or removes the
  // autostart entry (telling the user when that fails); false (nothing
  // written) when the size is out of range, after telling the user.
  bool Save();
  void OpenLogFolder();

  CAppSettingsList* list_;
  QPushButton* logLink_;
  QPushButton* okButton_;
  QPushButton* cancelButton_;
  QIcon linkIcon_;
  QIcon linkHoverIcon_;
};
