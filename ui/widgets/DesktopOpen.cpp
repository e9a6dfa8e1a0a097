#include "ui/widgets/DesktopOpen.h"

#include <QDesktopServices>
#include <QUrl>

#include "common/Texts.h"
#include "ui/widgets/AppMessage.h"
#include "ui/widgets/NativePath.h"
#include "ui/widgets/TextFormat.h"

bool OpenInDesktop(const QString& nativePath, const std::string& failedText) {
  if (!nativePath.isEmpty() && QDesktopServices::openUrl(QUrl::fromLocalFile(nativePath)))
    return true;
  ShowAppMessage(FormatText(failedText, {nativePath.toStdString()}), QMessageBox::Information);
  return false;
}

bool OpenHelp() {
  return OpenInDesktop(NativeQPath(GetProgramFolder() + "Help\\Brevanto.html"),
                       GetText("MAIN_UI", "HELP_NOT_OPENED"));
}
