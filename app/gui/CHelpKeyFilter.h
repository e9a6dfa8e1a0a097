// Application-wide F1 handling: the key is consumed everywhere and opens the
// help (OpenHelp, ui/widgets/DesktopOpen.h).
#pragma once
#include <QObject>

class CHelpKeyFilter : public QObject {
  Q_OBJECT
 public:
  using QObject::QObject;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
};
