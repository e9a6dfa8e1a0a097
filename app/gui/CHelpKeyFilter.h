// Application-wide F1 handling: the key is consumed everywhere and opens the
// help file "Help/Brevanto.html" of the program folder with the desktop's viewer.
#pragma once
#include <QObject>

class CHelpKeyFilter : public QObject {
  Q_OBJECT
 public:
  using QObject::QObject;
  // Opens the help file; false when the desktop could not open it.
  static bool OpenHelpFile();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
};
