// Texts of the restore and progress windows (sections "DIALOG_RESTORE" and
// "DIALOG_RESTORE_PROGRESS"): plan lines, tree columns, dates, search
// patterns, speed and remaining time.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "history/RestoreTree.h"
#include "ui/PlanSnapshot.h"

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
std::string NodeSizeText(uint64_t bytes);  // "5 MB"

// The tree's row texts above, read from the texts file once (every text read
// reads the file) for the many rows of a listing.
struct RowTexts {
  static RowTexts Load();
  std::string VersionCount(uint64_t versions) const;
  std::string VersionRow(bool current, int64_t number) const;
  std::string Size(uint64_t bytes) const;

  std::string oneVersion, versions, current, earlier, byteSuffix;
};

// The finder's pattern for the search box's text: "*text*", or "" for "".
std::string SearchPatternFor(std::string_view text);

// The progress window's remaining time and speed.
std::string NeededTimeText(uint64_t seconds);
std::string SpeedText(uint64_t bytesPerSecond);
