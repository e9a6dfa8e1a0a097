// Modal question that counts down: accepted (result 1) by its accept button or
// when the count reaches 0, rejected (result 0) by its cancel button or Escape.
// The count drops once a second from the moment the dialog shows.
#pragma once
#include <QDialog>
#include <QString>
#include <memory>

class QLabel;
class QPushButton;
class CUiTimer;

class CDlgTimer : public QDialog {
  Q_OBJECT
 public:
  static constexpr int kDefaultSeconds = 20;

  ~CDlgTimer() override;
  CDlgTimer(const QString& message, const QString& acceptText, const QString& cancelText,
            int seconds = kDefaultSeconds, QWidget* parent = nullptr);
  int Remaining() const { return remaining_; }
  QPushButton* AcceptButton() const { return acceptButton_; }
  QPushButton* CancelButton() const { return cancelButton_; }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void Tick();

  int remaining_;
  QLabel* countLabel_;
  QPushButton* acceptButton_;
  QPushButton* cancelButton_;
  std::unique_ptr<CUiTimer> timer_;
};
