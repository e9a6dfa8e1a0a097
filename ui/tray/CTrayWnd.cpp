#include "ui/tray/CTrayWnd.h"

#include <algorithm>

#include <QCursor>
#include <QGuiApplication>
#include <QMenu>
#include <QPixmap>

#include "common/Texts.h"
#include "ui/widgets/NativePath.h"
#include "ui/widgets/UiTimer.h"

CTrayWnd::CTrayWnd(QWidget* parent)
    : QMainWindow(parent),
      tooltip_(QString::fromStdString(GetProductName())),
      readyIcon_(NativeQPath(GetIconPath("SystrayReady"))),
      icon_(readyIcon_) {}

CTrayWnd::~CTrayWnd() { RemoveIcon(); }

void CTrayWnd::AddIcon() {
  if (added_) return;
  added_ = true;
  if (!QSystemTrayIcon::isSystemTrayAvailable()) return;
  tray_ = new QSystemTrayIcon(icon_, this);
  tray_->setToolTip(tooltip_);
  // The notification area shows the menu itself (it may live in another
  // process); the context callback then only reaches OnContextMenu when
  // there is no menu to hand over.
  if (QMenu* menu = ContextMenu()) tray_->setContextMenu(menu);
  connect(tray_, &QSystemTrayIcon::activated, this,
          [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Context && tray_->contextMenu() != nullptr) return;
            HandleActivation(reason, QCursor::pos());
          });
  tray_->show();
}

void CTrayWnd::RemoveIcon() {
  if (animationTimer_) animationTimer_->Stop();
  added_ = false;
  if (tray_ == nullptr) return;
  tray_->hide();
  tray_->setContextMenu(nullptr);
  delete tray_;
  tray_ = nullptr;
}

bool CTrayWnd::IsIconShown() const { return tray_ != nullptr && tray_->isVisible(); }

bool CTrayWnd::CanMinimise() const {
  const QString platform = QGuiApplication::platformName();
  return platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}

void CTrayWnd::SetTooltip(const QString& text) {
  tooltip_ = text;
  if (tray_ != nullptr) tray_->setToolTip(text);
}

bool CTrayWnd::StartAnimation(const std::string& imagePath) {
  const QPixmap strip(NativeQPath(imagePath));
  const int side = strip.height();
  if (strip.isNull() || side <= 0 || strip.width() < side) return false;
  frames_.clear();
  for (int x = 0; x + side <= strip.width(); x += side) {
    frames_.emplace_back(strip.copy(x, 0, side, side));
  }
  frameIndex_ = 0;
  icon_ = frames_.front();
  Apply();
  if (!animationTimer_) {
    animationTimer_ = MakeUiTimer();
    animationTimer_->OnTimeout([this] { NextFrame(); });
  }
  animationTimer_->Start(std::max(1, kAnimationCycleMs / AnimationFrameCount()));
  return true;
}

void CTrayWnd::NextFrame() {
  if (frames_.empty()) return;
  frameIndex_ = (frameIndex_ + 1) % AnimationFrameCount();
  icon_ = frames_[frameIndex_];
  Apply();
}

void CTrayWnd::SetIcon(const QIcon& icon) {
  if (animationTimer_) animationTimer_->Stop();
  icon_ = icon;
  Apply();
}

void CTrayWnd::SetReadyIcon() { SetIcon(readyIcon_); }

bool CTrayWnd::IsAnimating() const { return animationTimer_ && animationTimer_->IsActive(); }

int CTrayWnd::AnimationPeriod() const { return IsAnimating() ? animationTimer_->Period() : 0; }

void CTrayWnd::Apply() {
  if (tray_ != nullptr) tray_->setIcon(icon_);
}

void CTrayWnd::ShowMessage(const QString& text, PopupKind kind) {
  CDlgSystrayMesssage::Instance().ShowMessage(text, kind);
}

void CTrayWnd::ClosePopups() { CDlgSystrayMesssage::EndIfOpen(); }

void CTrayWnd::EnableCallbacks(bool on) { callbackMessage_ = on ? kCallbackMessage : 0; }

void CTrayWnd::HandleActivation(QSystemTrayIcon::ActivationReason reason, const QPoint& pos) {
  if (callbackMessage_ == 0) return;
  switch (reason) {
    case QSystemTrayIcon::Trigger:
      OnLButtonDown(pos);
      break;
    case QSystemTrayIcon::DoubleClick:
      OnLButtonDblClk(pos);
      break;
    case QSystemTrayIcon::Context:
      OnContextMenu(pos);
      break;
    case QSystemTrayIcon::MiddleClick:
    case QSystemTrayIcon::Unknown:
      break;
  }
}

void CTrayWnd::ShowMainWindow() {
  if (isMinimized()) showNormal();
  show();
  raise();
  activateWindow();
}

void CTrayWnd::OnLButtonDown(const QPoint&) { ShowMainWindow(); }

void CTrayWnd::OnLButtonDblClk(const QPoint&) { ShowMainWindow(); }

void CTrayWnd::OnContextMenu(const QPoint& pos) {
  if (QMenu* menu = ContextMenu()) menu->popup(pos);
}

void CTrayWnd::OnRButtonDblClk(const QPoint&) {}

void CTrayWnd::OnMouseMove(const QPoint&) {}

QMenu* CTrayWnd::ContextMenu() { return nullptr; }
