#include "ui/CellTexts.h"

#include <cctype>
#include <cstdio>

#include "common/PlanSettings.h"
#include "common/Texts.h"
#include "plans/Schedule.h"
#include "platform/Clock.h"
#include "platform/Errors.h"
#include "platform/Paths.h"
#include "platform/Volumes.h"
#include "ui/TextFormat.h"

namespace {

std::string Grid(const char* key) { return GetText("UGGRID", key); }

// Month abbreviations by language; the "%b" of each country's format.
const char* const kEnglish[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char* const kFrench[12] = {"janv.",
                                 "f\xC3\xA9vr.",
                                 "mars",
                                 "avr.",
                                 "mai",
                                 "juin",
                                 "juil.",
                                 "ao\xC3\xBBt",
                                 "sept.",
                                 "oct.",
                                 "nov.",
                                 "d\xC3\xA9"
                                 "c."};
const char* const kSpanish[12] = {"ene", "feb", "mar", "abr", "may", "jun",
                                  "jul", "ago", "sep", "oct", "nov", "dic"};
const char* const kItalian[12] = {"gen", "feb", "mar", "apr", "mag", "giu",
                                  "lug", "ago", "set", "ott", "nov", "dic"};
const char* const kGerman[12] = {"Jan", "Feb", "M\xC3\xA4r", "Apr", "Mai", "Jun",
                                 "Jul", "Aug", "Sep",        "Okt", "Nov", "Dez"};
const char* const kDutch[12] = {"jan", "feb", "mrt", "apr", "mei", "jun",
                                "jul", "aug", "sep", "okt", "nov", "dec"};

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

std::string FormatCellDate(int64_t t, std::string_view country) {
  if (t <= 0) return {};
  const char* const* months = nullptr;
  enum { kUs, kDayFirst, kGermanForm } form = kDayFirst;
  if (country == "US") {
    months = kEnglish;
    form = kUs;
  } else if (country == "UK") {
    months = kEnglish;
  } else if (country == "FRA") {
    months = kFrench;
  } else if (country == "ESP") {
    months = kSpanish;
  } else if (country == "ITA") {
    months = kItalian;
  } else if (country == "DEU") {
    months = kGerman;
    form = kGermanForm;
  } else if (country == "NLD") {
    months = kDutch;
  } else {
    return LocaleDateTime(t);  // no format for the country: the user's own
  }
  const plat::LocalTime lt = plat::ToLocalTime(t);
  if (lt.month < 1 || lt.month > 12 || lt.year < 1970 || lt.year > 9999) return {};
  const char* month = months[lt.month - 1];
  char buf[96];
  switch (form) {
    case kUs:
      std::snprintf(buf, sizeof buf, "%s %02d, %04d %02d:%02d", month, lt.day, lt.year, lt.hour,
                    lt.minute);
      break;
    case kDayFirst:
      std::snprintf(buf, sizeof buf, "%02d %s %04d %02d:%02d", lt.day, month, lt.year, lt.hour,
                    lt.minute);
      break;
    case kGermanForm:
      std::snprintf(buf, sizeof buf, "%02d. %s %04d %02d:%02d", lt.day, month, lt.year, lt.hour,
                    lt.minute);
      break;
  }
  return buf;
}

std::string CellCountry() { return GetEditionString("Country", ""); }

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
      key = "FTP_SERVER";
      break;
    default:
      break;
  }
  std::string text = Grid(key);
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

std::string ReadableStoreFolder(const PlanSnapshot& s) {
  if (!s.hasDestination || s.root.empty()) return {};
  if (s.storageType == kStorageFtp) return s.serverStore;
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

std::string NextBackupText(const PlanSnapshot& s, std::string_view country) {
  switch (s.scheduleUnit) {
    case kUnitContinuous:
      return Grid("NEXT_BACKUP_TIME_CONTINUOUS");
    case kUnitMinutes:
    case kUnitOtherInterval:
    case kUnitDaily:
    case kUnitWeekly:
    case kUnitMonthly:
      if (!s.hasTask) return Grid("NEXT_BACKUP_TIME_STOPPED");
      return FormatCellDate(s.nextDue, country);
    case kUnitStartUp:
      return Grid("NEXT_BACKUP_TIME_STARTUP");
    default:
      return Grid("NEXT_BACKUP_TIME_MANUALLY");
  }
}

std::string LastBackupText(const PlanSnapshot& s, std::string_view country) {
  std::string date =
      s.lastBackupTime == 0 ? std::string() : FormatCellDate(s.lastBackupTime, country);
  return date.empty() ? Grid("LAST_BACKUP_TIME_HAVE_NOT_RUN") : date;
}

std::string StatusText(const PlanStatus& status, const PlanSnapshot& s) {
  const std::string text = GetText(status.section, status.textKey);
  if (status.icon != StatusIcon::kFailing) return text;
  return FormatText(text, {CopyErrorWords(s.copyError)});
}

std::string CopyErrorWords(uint32_t code) {
  const std::string key = "ERROR_" + std::to_string(code);
  std::string words = GetText("PLAN_HEALTH", key);
  if (!words.empty()) return words;
  return FormatText(GetText("PLAN_HEALTH", "ERROR_OTHER"),
                    {std::to_string(code), plat::WinErrorMessage(code)});
}
