// Texts of the restore and progress windows (sections "DIALOG_RESTORE" and
// "DIALOG_RESTORE_PROGRESS"): plan lines, tree columns, dates, search
// patterns, speed and remaining time.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "history/RestoreTree.h"
#include "ui/model/PlanSnapshot.h"

std::string RestoreText(const char* key);   // "DIALOG_RESTORE"
std::string ProgressText(const char* key);  // "DIALOG_RESTORE_PROGRESS"

// One line of the plan box: the plan's name in double quotes, then its
// destination: unavailable; unknown kind with the store folder; internal or
// external drive with the store folder as the user knows it (native path);
// network drive; FTP with the server joined to the text.
std::string PlanLineText(const PlanSnapshot& s);

// A version's time in the user's locale, to the second (LocaleDateTime).
std::string FormatNodeDate(const NodeTime& t);
std::string VersionCountText(uint64_t versions);  // "1 version", "3 versions"
// A version row: "Current copy", or "Earlier version 7".
std::string VersionRowText(bool current, int64_t number);
// The name of a file restored beside a newer one: "report (restored
// 2026-12-07 14.05).odt" with the local date and time of utcSeconds.
std::string RestoredBesideName(const std::string& name, int64_t utcSeconds);
// After a restore: "Files restored: 7, not restored: 2."
std::string RestoreResultText(uint64_t copied, uint64_t failed);
// After a Cancel: how many files came back before it; the others did not.
std::string RestoreCancelledText(uint64_t copied);
std::string NodeSizeText(uint64_t bytes);  // "5 MB"

// The tree's row texts above, read from the texts file once (every text read
// reads the file) for the many rows of a listing. Days are named from now
// (seconds since 1970 UTC; 0 when loaded: the clock's time).
struct RowTexts {
  static RowTexts Load(int64_t now = 0);
  std::string VersionCount(uint64_t versions) const;
  std::string VersionRow(bool current, int64_t number) const;
  std::string Size(uint64_t bytes) const;
  // A version's day: "Today", "Yesterday", else the long local date.
  std::string Day(int64_t t) const;
  // A version's time to the second with its day: "Today 14:05:31",
  // "Yesterday 09:12:03", else the local date and time (FormatNodeDate).
  std::string When(int64_t t) const;
  // A version row below its day: the time of day, marked when it is the
  // current copy ("14:05:31 (current copy)").
  std::string TimeRow(bool current, int64_t t) const;
  // A version's size against the version before it: "+12 B", "-3 B", "same size".
  std::string SizeChange(uint64_t size, uint64_t before) const;

  std::string oneVersion, versions, current, earlier, byteSuffix;
  std::string today, yesterday, currentAt, grew, shrank, sameSize;
  int64_t now = 0;
};

// The line after a restore as it was on a time: how many files were left
// out because they did not exist then.
std::string LeftOutText(uint64_t files);

// The finder's pattern for the search box's text: "*text*", or "" for "".
std::string SearchPatternFor(std::string_view text);

// The progress window's remaining time and speed.
std::string NeededTimeText(uint64_t seconds);
std::string SpeedText(uint64_t bytesPerSecond);
