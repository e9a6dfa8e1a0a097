// The texts of a plan cell, from the text store (sections "UGGRID" and
// "WIZARD_WHEN_TO_BACKUP"), dates in the user's locale.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "ui/model/PlanSnapshot.h"

// A date and time in the user's locale with a four-digit year
// (LocaleDateTime). Empty for a time that cannot be written (not positive,
// or beyond the year 9999).
std::string FormatCellDate(int64_t t);

std::string DestinationText(const PlanSnapshot& s);
// The whole destination text when it names a folder (the card may cut it).
std::string DestinationToolTip(const PlanSnapshot& s);
// "Local disk", "USB disk", ... without a drive letter.
std::string DestinationKindText(const PlanSnapshot& s);
// The store folder as a person reads it: the native folder of a drive or
// mounted share path ("/home/ann/Backups"), the folder the plan last saw for
// a disk that is away, "//server/share/x" for a share that is not mounted,
// "ftp://server/root" for FTP; empty when unknown (a disk never seen).
std::string ReadableStoreFolder(const PlanSnapshot& s);
std::string ScheduleText(int32_t unit, int32_t num = 1);
// "NEXT_BACKUP_TIME_PREFIX" / "LAST_BACKUP_TIME_PREFIX" are the labels; these
// are the values that follow them. A paused plan has no next backup (unless
// it is manual).
std::string NextBackupText(const PlanSnapshot& s);
std::string LastBackupText(const PlanSnapshot& s);

// "Versions kept: for 30 days (up to 999)", then the room the revisions
// take (revisionBytes; not said while unknown) and how many were removed to
// make room since the start. A plan that keeps its newest by count:
// "Versions kept: the newest 3".
std::string VersionsText(const PlanSnapshot& s, bool revisionsKnown, uint64_t revisionBytes);

// The status line: the status's text; for failing copies with their cause.
std::string StatusText(const PlanStatus& status, const PlanSnapshot& s);
// The cause of a failed copy in words, from its system error number
// (section "PLAN_HEALTH", "ERROR_<n>"; others by number and system text).
std::string CopyErrorWords(uint32_t code);
