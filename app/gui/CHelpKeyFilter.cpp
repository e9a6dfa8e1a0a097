#include "app/gui/CHelpKeyFilter.h"

#include <QEvent>
#include <QKeyEvent>

#include "common/Texts.h"
#include "ui/DesktopOpen.h"
#include "ui/NativePath.h"

bool CHelpKeyFilter::OpenHelpFile() {
  const QString path = NativeQPath(GetProgramFolder() + "Help\\Brevanto.html");
  return OpenInDesktop(path, GetText("MAIN_UI", "HELP_NOT_OPENED"));
}

bool CHelpKeyFilter::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(event)->key() == Qt::Key_F1) {
    // Consumed where it is first seen, so it reaches no window or widget.
    if (!static_cast<QKeyEvent*>(event)->isAutoRepeat()) OpenHelpFile();
    return true;
  }
  return QObject::eventFilter(watched, event);
}
