#include "ui/restore/RestoreTexts.h"

#include <QDateTime>
#include <cstdio>

#include "common/PlanSettings.h"
#include "common/Texts.h"
#include "platform/volumes/Paths.h"
#include "ui/widgets/TextFormat.h"

namespace {

std::string Quoted(const std::string& name) { return "\"" + name + "\""; }

// The store folder as the user knows it, without its closing separator.
std::string NativeFolder(const std::string& systemPath) {
  std::string path = systemPath;
  while (path.size() > 3 && (path.back() == '\\' || path.back() == '/')) path.pop_back();
  std::string native;
  return plat::ToNativePath(path, &native) ? native : path;
}

}  // namespace

std::string RestoreText(const char* key) { return GetText("DIALOG_RESTORE", key); }
std::string ProgressText(const char* key) { return GetText("DIALOG_RESTORE_PROGRESS", key); }

std::string PlanLineText(const PlanSnapshot& s) {
  const std::string name = Quoted(s.name);
  if (!s.hasDestination || !s.available)
    return name + " " + RestoreText("PLAN_DESTINATION_IS_UNAVAILABLE");
  switch (s.storageType) {
    case kStorageLocal:
      return name + " " + RestoreText("PLAN_DESTINATION_INTERNAL_HARD_DRIVE") + " (" +
             NativeFolder(s.root) + ")";
    case kStorageUsb:
      return name + " " + RestoreText("PLAN_DESTINATION_EXTERNAL_HARD_DRIVE") + " (" +
             NativeFolder(s.root) + ")";
    case kStorageNetwork:
      return name + " " + RestoreText("PLAN_DESTINATION_NETWORK_DRIVE");
    case kStorageFtp:  // "ftp://host/root/", "sftp://host:2222/root/"
      return name + " " + FormatText(RestoreText("PLAN_DESTINATION_FTP"), {s.serverStore});
    case kStorageObject:  // "s3://bucket/prefix/"
      return name + " " +
             FormatText(RestoreText("PLAN_DESTINATION_OBJECT_STORE"),
                        {s.serverStore, s.endpointHost});
    default:
      return name + " " + RestoreText("PLAN_DESTINATION_UNKNOWN") + " (" + NativeFolder(s.root) +
             ")";
  }
}

std::string FormatNodeDate(const NodeTime& t) {
  return LocaleDateTime(t.year, t.month, t.day, t.hour, t.minute, t.second, /*withSeconds=*/true);
}

RowTexts RowTexts::Load(int64_t now) {
  RowTexts t;
  t.now = now != 0 ? now : QDateTime::currentSecsSinceEpoch();
  t.today = RestoreText("DAY_TODAY");
  t.yesterday = RestoreText("DAY_YESTERDAY");
  t.currentAt = RestoreText("VERSION_CURRENT_AT");
  t.grew = RestoreText("VERSION_SIZE_GREW");
  t.shrank = RestoreText("VERSION_SIZE_SHRANK");
  t.sameSize = RestoreText("VERSION_SIZE_SAME");
  t.oneVersion = RestoreText("LIST_ITEM_ONE_VERSION");
  t.versions = RestoreText("LIST_ITEM_VERSIONS");
  t.current = RestoreText("VERSION_CURRENT");
  t.earlier = RestoreText("VERSION_EARLIER");
  t.byteSuffix = RestoreText("LIST_ITEM_SUFFIX_BYTE");
  return t;
}

std::string RowTexts::VersionCount(uint64_t n) const {
  return n == 1 ? oneVersion : FormatText(versions, {std::to_string(n)});
}

std::string RowTexts::VersionRow(bool isCurrent, int64_t number) const {
  return isCurrent ? current : FormatText(earlier, {std::to_string(number)});
}

std::string RowTexts::Size(uint64_t bytes) const { return FormatSize(bytes, byteSuffix, false); }

std::string RowTexts::Day(int64_t t) const {
  const int64_t before = LocalDaysBefore(t, now);
  if (before == 0) return today;
  if (before == 1) return yesterday;
  return LocaleLongDate(t);
}

std::string RowTexts::When(int64_t t) const {
  const int64_t before = LocalDaysBefore(t, now);
  if (before == 0 || before == 1) return Day(t) + " " + LocaleTimeOfDay(t);
  return FormatNodeDate(ToNodeTime(t));
}

std::string RowTexts::TimeRow(bool isCurrent, int64_t t) const {
  const std::string time = LocaleTimeOfDay(t);
  return isCurrent ? FormatText(currentAt, {time}) : time;
}

std::string RowTexts::SizeChange(uint64_t size, uint64_t before) const {
  if (size == before) return sameSize;
  return size > before ? FormatText(grew, {Size(size - before)})
                       : FormatText(shrank, {Size(before - size)});
}

std::string LeftOutText(uint64_t files) {
  return FormatText(RestoreText("AS_OF_LEFT_OUT"), {CountText("FILES", files)});
}

std::string VersionCountText(uint64_t versions) {
  RowTexts t;
  (versions == 1 ? t.oneVersion : t.versions) =
      RestoreText(versions == 1 ? "LIST_ITEM_ONE_VERSION" : "LIST_ITEM_VERSIONS");
  return t.VersionCount(versions);
}

std::string VersionRowText(bool current, int64_t number) {
  RowTexts t;
  (current ? t.current : t.earlier) = RestoreText(current ? "VERSION_CURRENT" : "VERSION_EARLIER");
  return t.VersionRow(current, number);
}

std::string RestoredBesideName(const std::string& name, int64_t utcSeconds) {
  const NodeTime t = ToNodeTime(utcSeconds);
  char date[40];
  std::snprintf(date, sizeof date, "%04d-%02d-%02d %02d.%02d", t.year, t.month, t.day, t.hour,
                t.minute);
  const size_t dot = name.rfind('.');
  const bool hasExt = dot != std::string::npos && dot != 0;
  const std::string stem = hasExt ? name.substr(0, dot) : name;
  return FormatText(RestoreText("RESTORED_BESIDE_NAME"), {stem, date}) +
         (hasExt ? name.substr(dot) : std::string());
}

std::string RestoreResultText(uint64_t copied, uint64_t failed) {
  return FormatText(ProgressText("RESTORE_PROGRESS_RESULT"),
                    {std::to_string(copied), std::to_string(failed)});
}

std::string RestoreCancelledText(uint64_t copied) {
  return FormatText(ProgressText("RESTORE_PROGRESS_CANCELLED"), {std::to_string(copied)});
}

std::string NodeSizeText(uint64_t bytes) {
  RowTexts t;
  t.byteSuffix = RestoreText("LIST_ITEM_SUFFIX_BYTE");
  return t.Size(bytes);
}

std::string SearchPatternFor(std::string_view text) {
  if (text.empty()) return {};
  return "*" + std::string(text) + "*";
}

std::string NeededTimeText(uint64_t seconds) {
  return FormatText(ProgressText("RESTORE_PROGRESS_NEEDED_TIME_FORMAT"),
                    {std::to_string(seconds / 3600), std::to_string(seconds / 60 % 60),
                     std::to_string(seconds % 60)});
}

std::string SpeedText(uint64_t bytesPerSecond) {
  return FormatSize(bytesPerSecond, ProgressText("RESTORE_PROGRESS_SPEED_BYTE"), false);
}
