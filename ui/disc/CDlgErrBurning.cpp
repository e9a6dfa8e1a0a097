#include "ui/disc/CDlgErrBurning.h"

#include <QLabel>
#include <QPixmap>
#include <QPushButton>

#include "common/Texts.h"
#include "ui/widgets/NativePath.h"
#include "ui/widgets/TextFormat.h"

namespace {
std::string T(const char* key) { return GetText("DIALOG_ERROR_BURNING", key); }
}  // namespace

void SetQuestionIcon(CDlgSureMessage* dialog, const char* image) {
  QPixmap pixmap(NativeQPath(GetIconPath(image)));
  if (pixmap.isNull()) return;
  pixmap.setDevicePixelRatio(2.0);
  for (QLabel* label : dialog->findChildren<QLabel*>()) {
    if (!label->pixmap().isNull()) {
      label->setPixmap(pixmap.scaled(96, 96, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    }
  }
}

CDlgErrBurning::CDlgErrBurning(const std::string& reason, const std::string& title, QWidget* parent)
    : CDlgSureMessage(QString::fromStdString(FormatText(T("TEXT_ERROR"), {reason})), QString(),
                      QString::fromStdString(T("BUTTON_OK")), QString(), parent) {
  setObjectName("errBurning");
  setWindowTitle(QString::fromStdString(title.empty() ? T("TITLE") : title));
  CancelButton()->hide();
  OkButton()->setDefault(true);
  OkButton()->setProperty("role", QVariant());
  SetQuestionIcon(this, "Alert");
}
