#include "ui/model/CellTexts.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "common/PlanSettings.h"
#include "common/Texts.h"
#include "plans/Schedule.h"
#include "platform/base/Errors.h"
#include "platform/process/Clock.h"
#include "platform/volumes/Paths.h"
#include "platform/volumes/Volumes.h"
#include "ui/widgets/TextFormat.h"

namespace {

std::string Grid(const char* key) { return GetText("UGGRID", key); }

// The drive letter of a "X:..." path, 0 when it has none.
char DriveLetter(const std::string& path) {
  if (path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0])))
    return static_cast<char>(std::toupper(static_cast<unsigned char>(path[0])));
  return 0;
}

std::string WithoutSeparator(std::string path) {
  while (path.size() > 3 && path.back() == '\\') path.pop_back();
  return path;
}

}  // namespace

std::string FormatCellDate(int64_t t) { return LocaleDateTime(t); }

std::string DestinationText(const PlanSnapshot& s) {
  const std::string kind = DestinationKindText(s);
  const std::string folder = ReadableStoreFolder(s);
  if (folder.empty()) return kind;
  return FormatText(Grid("DESTINATION_WITH_FOLDER"), {kind, folder});
}

std::string DestinationToolTip(const PlanSnapshot& s) {
  return ReadableStoreFolder(s).empty() ? std::string() : DestinationText(s);
}

std::string DestinationKindText(const PlanSnapshot& s) {
  const char* key = "UNKNOWN_DEVICE";
  switch (s.hasDestination ? s.storageType : 0) {
    case kStorageLocal:
      key = "INTERNAL_DRIVE";
      break;
    case kStorageUsb: {
      const char letter = DriveLetter(s.root);
      const bool removable = letter != 0 && plat::VolumeTable::Instance().GetDriveType(letter) ==
                                                plat::DriveType::kRemovable;
      key = removable ? "REMOVABLE_DRIVE" : "USB_KEY";
      break;
    }
    case kStorageNetwork:
      key = "NETWORK_DRIVE";
      break;
    case kStorageFtp:
      key = s.serverStore.rfind("sftp://", 0) == 0   ? "SFTP_SERVER"
            : s.serverStore.rfind("ftps://", 0) == 0 ? "FTPS_SERVER"
                                                     : "FTP_SERVER";
      break;
    case kStorageObject:
      return FormatText(Grid("OBJECT_STORE"), {s.endpointHost});
    default:
      break;
  }
  std::string text = Grid(key);
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

std::string ReadableStoreFolder(const PlanSnapshot& s) {
  if (!s.hasDestination || s.root.empty()) return {};
  if (IsServerStorage(s.storageType)) return s.serverStore;
  const std::string root = WithoutSeparator(s.root);
  std::string native;
  if (plat::ToNativePath(root, &native)) return native;
  // A disk that is away: the folder as it was when last seen.
  if (!s.storeFolder.empty()) return s.storeFolder;
  // A share that is not mounted now: its name with forward slashes.
  if (root.rfind("\\\\", 0) == 0) {
    std::string share = root;
    for (char& c : share)
      if (c == '\\') c = '/';
    return share;
  }
  return {};
}

std::string ScheduleText(int32_t unit, int32_t num) {
  const char* key = "BACKUP_MODE_MANUALLY";
  const uint64_t count = num > 1 ? static_cast<uint64_t>(num) : 1;
  switch (unit) {
    case kUnitContinuous:
      key = "BACKUP_MODE_CONTINUOUSLY";
      break;
    case kUnitMinutes:
      // "Every 15 minutes", never "Every Minute" for a plan that waits longer.
      return FormatText(GetText("COUNTS", "EVERY"), {CountText("MINUTES", count)});
    case kUnitOtherInterval:
      return FormatText(GetText("COUNTS", "EVERY"), {CountText("HOURS", count)});
    case kUnitDaily:
      key = "BACKUP_MODE_EVERY_DAY";
      break;
    case kUnitWeekly:
      key = "BACKUP_MODE_EVERY_WEEK";
      break;
    case kUnitMonthly:
      key = "BACKUP_MODE_EVERY_MONTH";
      break;
    case kUnitStartUp:
      key = "BACKUP_MODE_MACHINE_START_UP";
      break;
    default:
      break;
  }
  return GetText("WIZARD_WHEN_TO_BACKUP", key);
}

std::string NextBackupText(const PlanSnapshot& s) {
  // A paused plan makes no backup until it is launched again.
  if (!s.enabled && s.scheduleUnit != kUnitManual) return Grid("NEXT_BACKUP_TIME_STOPPED");
  switch (s.scheduleUnit) {
    case kUnitContinuous:
      return Grid("NEXT_BACKUP_TIME_CONTINUOUS");
    case kUnitMinutes:
    case kUnitOtherInterval:
    case kUnitDaily:
    case kUnitWeekly:
    case kUnitMonthly:
      if (!s.hasTask) return Grid("NEXT_BACKUP_TIME_STOPPED");
      return FormatCellDate(s.nextDue);
    case kUnitStartUp:
      return Grid("NEXT_BACKUP_TIME_STARTUP");
    default:
      return Grid("NEXT_BACKUP_TIME_MANUALLY");
  }
}

std::string LastBackupText(const PlanSnapshot& s) {
  std::string date = s.lastBackupTime == 0 ? std::string() : FormatCellDate(s.lastBackupTime);
  return date.empty() ? Grid("LAST_BACKUP_TIME_HAVE_NOT_RUN") : date;
}

std::string StatusText(const PlanStatus& status, const PlanSnapshot& s) {
  const std::string text = GetText(status.section, status.textKey);
  if (status.icon != StatusIcon::kFailing) return text;
  return FormatText(text, {CopyErrorWords(s.unrecorded != 0 ? s.unrecorded : s.copyError)});
}

std::string CopyErrorWords(uint32_t code) {
  const std::string key = "ERROR_" + std::to_string(code);
  std::string words = GetText("PLAN_HEALTH", key);
  if (!words.empty()) return words;
  return FormatText(GetText("PLAN_HEALTH", "ERROR_OTHER"),
                    {std::to_string(code), plat::WinErrorMessage(code)});
}

std::string VersionsText(const PlanSnapshot& s, bool revisionsKnown, uint64_t revisionBytes) {
  const std::string count = LocaleNumber(static_cast<uint64_t>(std::max(s.versionNumber, 1)));
  std::string text;
  if (s.keepDays == kKeepByCount) {
    text = FormatText(GetText("UGGRID", "VERSIONS_KEPT_BY_COUNT"), {count});
  } else {
    const std::string length =
        s.keepDays > 0 ? FormatText(GetText("UGGRID", "KEEP_FOR"),
                                    {CountText("DAYS", static_cast<uint64_t>(s.keepDays))})
                       : GetText("UGGRID", "KEEP_AS_MANY_AS_FIT");
    text = FormatText(GetText("UGGRID", "VERSIONS_KEPT"), {length, count});
  }
  if (revisionsKnown)
    text = FormatText(GetText("UGGRID", "REVISIONS_TAKE"),
                      {text, FormatSize(revisionBytes, "", false)});
  if (s.removedForRoom > 0)
    text = FormatText(GetText("UGGRID", "REMOVED_FOR_ROOM"),
                      {text, CountText("VERSIONS", s.removedForRoom)});
  return text;
}
