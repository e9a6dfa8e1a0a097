// Fills the printf-style fields of a text from the text store with values,
// without handing the text to printf: a translated text with a wrong or extra
// field must never read past the values given.
#pragma once
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

// Each field (%d, %s, %u, %ld, %ls, %2d, ...) takes the next value in order;
// fields beyond the values become empty; "%%" is one percent sign.
std::string FormatText(std::string_view pattern, std::initializer_list<std::string> values);

// Dates and counts for a person, in the user's locale (QLocale(), which
// tests may set with QLocale::setDefault).
//
// A local date and time in the locale's short form, always with a
// four-digit year, to the minute or (withSeconds) to the second; empty for a
// time that is not positive or past the year 9999.
std::string LocaleDateTime(int64_t t, bool withSeconds = false);
// The same for a local calendar time; empty when it is no valid time.
std::string LocaleDateTime(int year, int month, int day, int hour, int minute, int second,
                           bool withSeconds);
// The pattern of the two above (QDateTime's format letters), for editors.
std::string LocaleDateTimeFormat(bool withSeconds);
// A local time of day in the locale's short form with seconds ("14:05:31").
std::string LocaleTimeOfDay(int64_t t);
// A local date in the locale's long form, with the day's name ("Saturday, 5
// December 2026").
std::string LocaleLongDate(int64_t t);
// How many local calendar days t lies before now (0: the same day, 1: the
// day before; negative for a later day).
int64_t LocalDaysBefore(int64_t t, int64_t now);
// A count with the locale's digits and grouping ("12,345").
std::string LocaleNumber(uint64_t n);
// A count with its noun from the text store's "COUNTS" section: key
// "<noun>_ONE" for one ("1 file"), "<noun>" for any other count ("2 files").
std::string CountText(std::string_view noun, uint64_t n);
