#include "app/gui/CHelpKeyFilter.h"

#include <QEvent>
#include <QKeyEvent>

#include "ui/widgets/DesktopOpen.h"

bool CHelpKeyFilter::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(event)->key() == Qt::Key_F1) {
    // Consumed where it is first seen, so it reaches no window or widget.
    if (!static_cast<QKeyEvent*>(event)->isAutoRepeat()) OpenHelp();
    return true;
  }
  return QObject::eventFilter(watched, event);
}
