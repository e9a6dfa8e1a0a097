// The question "Restore as it was on…" asks: a date and time, to the second,
// for the folder (or the whole plan) named in it.
#pragma once
#include <QString>
#include <cstdint>

class QWidget;

// Asks for the time, starting at start (seconds since 1970 UTC); true with
// *when set when the user chose one, false when cancelled.
bool AskAsOfTime(QWidget* parent, const QString& what, int64_t start, int64_t* when);
