#include "ui/widgets/CDlgTimer.h"

#include <QFont>
#include <QHBoxLayout>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>

#include "common/Texts.h"
#include "ui/widgets/NativePath.h"
#include "ui/widgets/StyleSheet.h"
#include "ui/widgets/UiTimer.h"

CDlgTimer::CDlgTimer(const QString& message, const QString& acceptText, const QString& cancelText,
                     int seconds, QWidget* parent)
    : QDialog(parent), remaining_(seconds > 0 ? seconds : 1) {
  setWindowTitle(QString::fromStdString(GetProductName()));
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  setModal(true);
  setObjectName("timerDialog");
  setStyleSheet(AppStyleSheet());

  auto* icon = new QLabel(this);
  QPixmap pixmap(NativeQPath(GetIconPath("Brevanto")));
  if (!pixmap.isNull()) {
    icon->setPixmap(pixmap.scaled(48, 48, Qt::KeepAspectRatio, Qt::SmoothTransformation));
  }
  icon->setAlignment(Qt::AlignTop);

  auto* text = new QLabel(message, this);
  text->setWordWrap(true);
  text->setMinimumWidth(320);
  text->setObjectName("messageLabel");

  countLabel_ = new QLabel(QString::number(remaining_), this);
  countLabel_->setObjectName("countLabel");
  QFont big("Arial");
  big.setPixelSize(30);
  big.setWeight(QFont::Bold);
  countLabel_->setFont(big);
  countLabel_->setAlignment(Qt::AlignCenter);
  countLabel_->setMinimumWidth(60);

  acceptButton_ = new QPushButton(acceptText, this);
  acceptButton_->setObjectName("acceptButton");
  acceptButton_->setDefault(true);
  cancelButton_ = new QPushButton(cancelText, this);
  cancelButton_->setObjectName("cancelButton");
  for (QPushButton* button : {acceptButton_, cancelButton_}) {
    button->setProperty("option", true);
    button->setMinimumWidth(90);
  }
  connect(acceptButton_, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancelButton_, &QPushButton::clicked, this, &QDialog::reject);

  auto* top = new QHBoxLayout;
  top->addWidget(icon);
  top->addWidget(text, 1);
  top->addWidget(countLabel_);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(acceptButton_);
  buttons->addWidget(cancelButton_);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(18, 18, 18, 14);
  layout->setSpacing(16);
  layout->addLayout(top);
  layout->addLayout(buttons);

  timer_ = MakeUiTimer();
  timer_->OnTimeout([this] { Tick(); });
}

CDlgTimer::~CDlgTimer() = default;

void CDlgTimer::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!timer_->IsActive()) timer_->Start(1000);
}

void CDlgTimer::Tick() {
  if (remaining_ > 0) --remaining_;
  countLabel_->setText(QString::number(remaining_));
  if (remaining_ == 0) {
    timer_->Stop();
    accept();
  }
}
