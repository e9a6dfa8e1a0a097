#include "ui/widgets/CDlgSureMessage.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>

#include "common/Texts.h"
#include "ui/widgets/NativePath.h"
#include "ui/widgets/StyleSheet.h"

CDlgSureMessage::CDlgSureMessage(const QString& message, const QString& checkText,
                                 const QString& okText, const QString& cancelText, QWidget* parent)
    : QDialog(parent) {
  setObjectName("sureMessage");
  setWindowTitle(QString::fromStdString(GetProductName()));
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  setModal(true);
  setStyleSheet(AppStyleSheet());

  auto* icon = new QLabel(this);
  QPixmap pixmap(NativeQPath(GetIconPath("Question")));
  if (!pixmap.isNull()) {
    pixmap.setDevicePixelRatio(2.0);
    icon->setPixmap(pixmap.scaled(96, 96, Qt::KeepAspectRatio, Qt::SmoothTransformation));
  }
  icon->setAlignment(Qt::AlignTop);

  auto* text = new QLabel(message, this);
  text->setObjectName("messageLabel");
  text->setWordWrap(true);
  text->setMinimumWidth(340);

  auto* body = new QVBoxLayout;
  body->setSpacing(12);
  body->addWidget(text);
  if (!checkText.isEmpty()) {
    check_ = new QCheckBox(checkText, this);
    check_->setObjectName("sureCheck");
    body->addWidget(check_);
  }

  okButton_ = new QPushButton(okText, this);
  okButton_->setObjectName("okButton");
  okButton_->setProperty("role", "danger");
  cancelButton_ = new QPushButton(cancelText, this);
  cancelButton_->setObjectName("cancelButton");
  // Cancel is the default: Enter alone never deletes anything.
  cancelButton_->setDefault(true);
  connect(okButton_, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancelButton_, &QPushButton::clicked, this, &QDialog::reject);

  auto* top = new QHBoxLayout;
  top->setSpacing(16);
  top->addWidget(icon);
  top->addLayout(body, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(okButton_);
  buttons->addWidget(cancelButton_);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(20, 20, 20, 16);
  layout->setSpacing(18);
  layout->addLayout(top);
  layout->addLayout(buttons);
}

int CDlgSureMessage::Ask() { return exec() == QDialog::Accepted ? kOk : kCancel; }

bool CDlgSureMessage::Checked() const { return check_ != nullptr && check_->isChecked(); }
