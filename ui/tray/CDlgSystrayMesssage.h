// The message pop-up above the notification area: one window for the whole
// program, made on first use and only hidden afterwards. Each message stays
// 10 seconds after it was shown; a new message replaces the text and starts
// the 10 seconds again.
#pragma once
#include <QDialog>
#include <QPixmap>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>
#include <functional>
#include <memory>
#include <mutex>

class QLabel;
class QPushButton;
class QToolButton;
class CUiTimer;

enum class PopupKind { kWarning = 0, kInfo = 1, kError = 2 };

class CDlgSystrayMesssage : public QDialog {
  Q_OBJECT
 public:
  static constexpr int kShowMs = 10000;
  // Distance from the right and bottom edges of the free screen area.
  static constexpr int kEdgeMargin = 10;

  ~CDlgSystrayMesssage() override;
  static CDlgSystrayMesssage& Instance();
  // Ends the pop-up with result 2 when it was ever made (program exit).
  static void EndIfOpen();

  // Sets text and kind icon, (re)starts the hide timer and shows the pop-up
  // topmost at the bottom right of the primary screen's free area. With
  // BREVANTO_POPUP_LOG set, the text is also appended to that file (one line).
  void ShowMessage(const QString& text, PopupKind kind);
  // The same with a button under the text that hides the pop-up and runs
  // action (UI thread); a message without one hides the button.
  void ShowMessage(const QString& text, PopupKind kind, const QString& actionText,
                   std::function<void()> action);
  QPushButton* ActionButton() const { return actionButton_; }
  // Hides the pop-up now (its close button, the hide timer).
  void HideMessage();

  bool IsShown();
  QString Text();
  PopupKind Kind();
  const QPixmap& KindIcon(PopupKind kind) const;

  // Top-left corner of a pop-up of this size in this free screen area.
  static QPoint PlaceFor(const QRect& available, const QSize& size);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  CDlgSystrayMesssage();

  std::mutex lock_;  // guards text_, kind_, shown_ and hideTimer_
  QString text_;
  PopupKind kind_ = PopupKind::kInfo;
  bool shown_ = false;
  std::unique_ptr<CUiTimer> hideTimer_;  // timer 2

  QPixmap kindIcons_[3];
  QPixmap background_;
  QLabel* kindLabel_;
  QLabel* textLabel_;
  QToolButton* closeButton_;
  QPushButton* actionButton_;
  std::function<void()> action_;  // UI thread only
};
