#include "ui/widgets/StyleSheet.h"

#include <QPixmap>
#include <mutex>
#include <string>

#include "common/Texts.h"
#include "platform/files/Files.h"
#include "ui/widgets/NativePath.h"

QString AppStyleSheet() {
  static std::once_flag once;
  static QString sheet;
  std::call_once(once, [] {
    std::string text;
    if (plat::ReadWholeFile(GetProgramFolder() + "Brevanto.qss", &text, 1 << 20))
      sheet = QString::fromStdString(text);
  });
  return sheet;
}

QIcon ImageIcon(const char* folder, const char* name) {
  const std::string path = GetImageFolder() + folder + "\\" + name + ".png";
  QPixmap pixmap(NativeQPath(path));
  if (pixmap.isNull()) return {};
  pixmap.setDevicePixelRatio(2.0);
  return QIcon(pixmap);
}
