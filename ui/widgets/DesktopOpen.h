// Hands a file or folder to the desktop (its browser or file manager). Where
// the desktop has nothing to open it with (no opener such as xdg-open), the
// user is told where it lies instead, so the way to it is never lost.
#pragma once
#include <QString>
#include <string>

// Opens the native path; on failure shows failedText (a text-store text
// whose one field takes the native path) as a message. False when it could
// not be opened.
bool OpenInDesktop(const QString& nativePath, const std::string& failedText);

// Opens the help, "Help/Brevanto.html" of the program folder, in the
// desktop's browser; where none can, says so and where the file is.
bool OpenHelp();
