// A modal question with an optional check box ("also delete the backup
// files"). Exec() gives the button pressed; Checked() the state of the box.
#pragma once
#include <QDialog>
#include <QString>

class QCheckBox;
class QLabel;
class QPushButton;

class CDlgSureMessage : public QDialog {
  Q_OBJECT
 public:
  enum Result { kOk = 1, kCancel = 2 };

  // An empty checkText leaves the check box out.
  CDlgSureMessage(const QString& message, const QString& checkText, const QString& okText,
                  const QString& cancelText, QWidget* parent = nullptr);

  // Shows the question modally: kOk or kCancel (also for Escape and closing).
  int Ask();
  // The check box's state when the dialog ended (false without a box).
  bool Checked() const;

  QCheckBox* CheckBox() const { return check_; }  // null without a box
  QPushButton* OkButton() const { return okButton_; }
  QPushButton* CancelButton() const { return cancelButton_; }

 private:
  QCheckBox* check_ = nullptr;
  QPushButton* okButton_;
  QPushButton* cancelButton_;
};
