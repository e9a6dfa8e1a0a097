#include "ui/DesktopOpen.h"

#include <QDesktopServices>
#include <QUrl>

#include "ui/AppMessage.h"
#include "ui/TextFormat.h"

bool OpenInDesktop(const QString& nativePath, const std::string& failedText) {
  if (!nativePath.isEmpty() && QDesktopServices::openUrl(QUrl::fromLocalFile(nativePath)))
    return true;
  ShowAppMessage(FormatText(failedText, {nativePath.toStdString()}), QMessageBox::Information);
  return false;
}
