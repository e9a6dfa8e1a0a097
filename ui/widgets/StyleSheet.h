// The program's look: the style sheet "Brevanto.qss" of the program folder,
// read once. Images are set from code (style sheet URLs would depend on the
// working folder).
#pragma once
#include <QIcon>
#include <QString>

// The style sheet's text; empty when the file is missing.
QString AppStyleSheet();
// An image of the image folder ("Icons" or "Buttons") as an icon; the files
// are drawn at twice their shown size, so they stay sharp on scaled screens.
QIcon ImageIcon(const char* folder, const char* name);
