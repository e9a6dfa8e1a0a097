// Message boxes of the application shell. When the environment variable
// BREVANTO_MESSAGE_LOG names a file, the text is appended to it as one line
// (line breaks become blanks) instead of showing a box, so that automated runs
// never wait for a click.
#pragma once
#include <QMessageBox>
#include <string>

void ShowAppMessage(const std::string& text, QMessageBox::Icon icon);
