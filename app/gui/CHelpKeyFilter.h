// Application-wide F1 handling: the key is consumed everywhere and opens the
// help file "Help/Brevanto.html" of the program folder with the desktop's viewer.
#pragma once
#include <QObject>

class CHelpKeyFilter : public QObject {
  Q_OBJECT
 public:
  using QObject::QObject;
  // Opens the help file; when the desktop cannot (no browser opener), a
  // message says so and where the help file is. False then.
  static bool OpenHelpFile();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
};
