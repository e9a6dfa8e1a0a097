#include "ui/CTrayIcon.h"

#include <QAction>
#include <QIcon>
#include <QMenu>
#include <QSystemTrayIcon>

#include "app/Texts.h"
#include "ui/NativePath.h"

CTrayIcon::CTrayIcon(QObject* parent) : QObject(parent), menu_(std::make_unique<QMenu>()) {
  showAction_ = menu_->addAction(QString::fromStdString(GetText("TRAYMENU", "OPENBREVANTO")));
  exitAction_ = menu_->addAction(QString::fromStdString(GetText("TRAYMENU", "SHUTDOWN")));
  connect(showAction_, &QAction::triggered, this, &CTrayIcon::showRequested);
  connect(exitAction_, &QAction::triggered, this, &CTrayIcon::exitRequested);

  if (!QSystemTrayIcon::isSystemTrayAvailable()) return;
  icon_ = new QSystemTrayIcon(QIcon(NativeQPath(GetIconPath("SystrayReady"))), this);
  icon_->setContextMenu(menu_.get());
  icon_->setToolTip(QString::fromStdString(GetProductName()));
  connect(icon_, &QSystemTrayIcon::activated, this,
          [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::DoubleClick) emit showRequested();
          });
  icon_->show();
}

CTrayIcon::~CTrayIcon() {
  // The icon refers to the menu: remove it first.
  Remove();
}

bool CTrayIcon::IsShown() const { return icon_ != nullptr && icon_->isVisible(); }

void CTrayIcon::Remove() {
  if (icon_ == nullptr) return;
  icon_->hide();
  delete icon_;
  icon_ = nullptr;
}

void CTrayIcon::SetTooltip(const QString& text) {
  if (icon_ != nullptr) icon_->setToolTip(text);
}
