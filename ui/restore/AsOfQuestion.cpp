#include "ui/restore/AsOfQuestion.h"

#include <QDateTimeEdit>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/restore/RestoreTexts.h"
#include "ui/widgets/TextFormat.h"

namespace {

QString T(const char* key) { return QString::fromStdString(RestoreText(key)); }

}  // namespace

bool AskAsOfTime(QWidget* parent, const QString& what, int64_t start, int64_t* when) {
  QDialog dialog(parent);
  dialog.setObjectName("asOfQuestion");
  dialog.setWindowTitle(T("AS_OF_TITLE"));
  dialog.setMinimumWidth(440);
  auto* layout = new QVBoxLayout(&dialog);
  auto* hint = new QLabel(
      QString::fromStdString(FormatText(RestoreText("AS_OF_HINT"), {what.toStdString()})), &dialog);
  hint->setWordWrap(true);
  hint->setTextFormat(Qt::PlainText);
  layout->addWidget(hint);
  auto* label = new QLabel(T("AS_OF_TIME_LABEL"), &dialog);
  auto* edit = new QDateTimeEdit(QDateTime::fromSecsSinceEpoch(start), &dialog);
  edit->setObjectName("asOfTime");
  edit->setCalendarPopup(true);
  // The locale's own order of day, month and year, to the second.
  edit->setDisplayFormat(QString::fromStdString(LocaleDateTimeFormat(true)));
  label->setBuddy(edit);
  layout->addWidget(label);
  layout->addWidget(edit);
  auto* buttons = new QDialogButtonBox(&dialog);
  QPushButton* ok = buttons->addButton(T("BUTTON_RESTORE"), QDialogButtonBox::AcceptRole);
  ok->setObjectName("asOfRestore");
  buttons->addButton(T("BUTTON_CANCEL"), QDialogButtonBox::RejectRole)->setObjectName("asOfCancel");
  QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  layout->addWidget(buttons);
  if (dialog.exec() != QDialog::Accepted) return false;
  *when = edit->dateTime().toSecsSinceEpoch();
  return true;
}
