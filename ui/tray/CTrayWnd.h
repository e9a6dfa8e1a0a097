// A frame window that owns the notification-area icon: the icon record
// (image, tooltip, callbacks on or off), the busy animation and the ready
// icon, and the way the icon's mouse callbacks reach virtual handlers. The
// main frame derives from it and supplies the context menu.
//
// On a desktop without a notification area no icon is shown, but the icon's
// state (image, tooltip, animation) is kept and the handlers work the same.
// Where the desktop offers one, Qt shows the icon through the
// StatusNotifierItem protocol over D-Bus (GNOME with its extension, KDE) or
// the older X11 tray.
#pragma once
#include <QIcon>
#include <QMainWindow>
#include <QPoint>
#include <QString>
#include <QSystemTrayIcon>
#include <memory>
#include <string>
#include <vector>

#include "ui/tray/CDlgSystrayMesssage.h"

class QMenu;
class CUiTimer;

class CTrayWnd : public QMainWindow {
  Q_OBJECT
 public:
  // The icon's callback identifier while callbacks are on (0 while off).
  static constexpr int kCallbackMessage = 0x0400 + 348;
  // One pass through the animation's frames takes this long.
  static constexpr int kAnimationCycleMs = 1500;

  explicit CTrayWnd(QWidget* parent = nullptr);
  ~CTrayWnd() override;

  // Adds the icon with the ready image and the product name as tooltip;
  // Remove deletes it (at exit). Adding twice does nothing.
  void AddIcon();
  void RemoveIcon();
  bool HasIcon() const { return added_; }
  // True while an icon is visible in a notification area.
  virtual bool IsIconShown() const;
  // True when the desktop keeps a minimised window within reach (a task bar
  // or a window list): every windowing platform but those that show nothing
  // ("offscreen", "minimal").
  virtual bool CanMinimise() const;

  void SetTooltip(const QString& text);
  const QString& Tooltip() const { return tooltip_; }

  // Loads a strip of square frames and shows them in turn, one cycle per
  // kAnimationCycleMs. False (and nothing changes) when the image cannot be
  // loaded or holds no square frame.
  bool StartAnimation(const std::string& imagePath);
  // Stops any animation and shows the icon.
  void SetIcon(const QIcon& icon);
  void SetReadyIcon();
  bool IsAnimating() const;
  int AnimationFrameCount() const { return static_cast<int>(frames_.size()); }
  int AnimationFrameIndex() const { return frameIndex_; }
  int AnimationPeriod() const;
  const QIcon& CurrentIcon() const { return icon_; }
  const QIcon& ReadyIcon() const { return readyIcon_; }

  // Shows the message pop-up (replacing the message it shows, if any).
  void ShowMessage(const QString& text, PopupKind kind);
  // Ends the pop-up with result 2 (program exit).
  void ClosePopups();

  // Switches the icon's mouse callbacks on or off.
  void EnableCallbacks(bool on);
  int CallbackMessage() const { return callbackMessage_; }

  // One mouse callback of the icon, as the notification area reports it.
  void HandleActivation(QSystemTrayIcon::ActivationReason reason, const QPoint& pos);

  // Restores the window when minimised, shows it and brings it forward.
  void ShowMainWindow();

 protected:
  // A single click (what most desktops report) shows the main window.
  virtual void OnLButtonDown(const QPoint& pos);
  virtual void OnLButtonDblClk(const QPoint& pos);
  // Opens ContextMenu() at the cursor.
  virtual void OnContextMenu(const QPoint& pos);
  virtual void OnRButtonDblClk(const QPoint& pos);
  virtual void OnMouseMove(const QPoint& pos);
  // The icon's menu (none here).
  virtual QMenu* ContextMenu();

 private:
  void NextFrame();
  void Apply();

  QSystemTrayIcon* tray_ = nullptr;  // null without a notification area
  bool added_ = false;
  int callbackMessage_ = kCallbackMessage;
  QString tooltip_;
  QIcon readyIcon_;
  QIcon icon_;
  std::vector<QIcon> frames_;
  int frameIndex_ = 0;
  std::unique_ptr<CUiTimer> animationTimer_;  // timer 1
};
