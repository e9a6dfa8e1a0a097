#include "engine/ActivityLog.h"

#include <string>

#include "app/Settings.h"
#include "plans/PlanSettings.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Paths.h"

namespace {

// The log files are written as a text stream would write them: every line
// feed becomes CR LF, including the one that closes the record.
std::string ToFileBytes(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 16 + 4);
  auto put = [&out](char c) {
    if (c == '\n') out += '\r';
    out += c;
  };
  for (char c : text) put(c);
  put('\r');
  put('\n');
  return out;
}

bool FileSize(const std::string& path, uint64_t* size) {
  plat::FindData fd;
  if (!plat::GetFileInfo(path, &fd) || (fd.attributes & plat::kAttrDirectory)) return false;
  *size = fd.size;
  return true;
}

}  // namespace

bool BuildLogRecord(const EventData& event, const PlanInfoForLog& plan, std::string_view time,
                    std::string* text) {
  const std::string name = plan.name;
  const std::string t(time);
  std::string r;
  switch (event.code) {
    case kEvFileCopied:
      r = "#Backup File Success\nPlan Name = " + name + "\nTime = " + t +
          "\nSource Path = " + event.text1 + "\nDestination Path = " + event.text2 + "\n";
      break;
    case kEvFileFailed:
      r = "#Backup File Fail\nPlan Name = " + name + "\nTime = " + t +
          "\nSource Path = " + event.text1 + "\nError = " + event.text3 + "\n";
      break;
    case kEvPlanEnabled:
      r = "#Plan Enabled\nPlan Name = " + name + "\nTime = " + t + "\n";
      break;
    case kEvPlanDisabled:
      r = "#Plan Disabled\nPlan Name = " + name + "\nTime = " + t + "\n";
      break;
    case kEvRunBegins:
    case kEvRunEnds:
      // Continuous plans have no scheduled runs to report.
      if (plan.scheduleUnit == 1) return false;
      r = std::string(event.code == kEvRunBegins ? "#Scheduled Backup Start"
                                                 : "#Scheduled Backup Complete") +
          "\n" + name + "\n" + t + "\n";
      break;
    case kEvPlanCreated:
      r = "#Plan Create\nPlan Name = " + name + "\nTime = " + t +
          "\nVersions = " + std::to_string(plan.versionNumber) +
          "\nDestination = " + plan.storePath + "\n";
      if (plan.storageType == kStorageUsb) {
        r += "Destination Model ID = " + plan.usbModel + "\nDestination Vendor =" + plan.usbVendor +
             "\n";
      }
      break;
    case kEvScanBegins:
    case kEvScanEnds:
      r = std::string(event.code == kEvScanBegins ? "#Plan Initial Backup Start"
                                                  : "#Plan Initial Backup End ") +
          "\nPlan Name = " + name + "\nTime = " + t + "\n";
      break;
    default:
      return false;
  }
  *text = std::move(r);
  return true;
}

CLogSet& CLogSet::Instance() {
  static CLogSet set;
  return set;
}

bool CLogSet::SetLogFolder(std::string_view path) {
  std::lock_guard<std::mutex> g(lock_);
  if (!plat::IsDirectory(path)) plat::CreateDirectories(path);
  folder_ = path.empty() ? std::string() : plat::WithSeparator(path);
  current_.clear();  // a new folder starts with its own files
  return !folder_.empty() && plat::IsDirectory(folder_);
}

std::string CLogSet::LogFolder() {
  std::lock_guard<std::mutex> g(lock_);
  return folder_;
}

std::string CLogSet::CurrentFile() {
  std::lock_guard<std::mutex> g(lock_);
  return current_;
}

std::string CLogSet::ChooseFileLocked() {
  uint64_t size = 0;
  // The remembered file stays in use until it is full, even past midnight.
  if (!current_.empty() && FileSize(current_, &size) && size < kMaxFileSize) return current_;

  const std::string day = folder_ + plat::FormatLocalTime(plat::Now(), "%Y%m%d");
  uint64_t count = 0;
  plat::DirSearch search;
  plat::FindData fd;
  if (search.Open(day + "*.log", &fd)) {
    do {
      if (!(fd.attributes & plat::kAttrDirectory)) ++count;
    } while (search.Next(&fd));
  }
  if (count == 0) return day + "_1.log";
  std::string name = day + "_" + std::to_string(count) + ".log";
  if (FileSize(name, &size) && size >= kMaxFileSize)
    name = day + "_" + std::to_string(count + 1) + ".log";
  return name;
}

bool CLogSet::AppendRecord(std::string_view text) {
  std::lock_guard<std::mutex> g(lock_);
  if (folder_.empty()) return false;
  const std::string path = ChooseFileLocked();
  plat::File file;
  if (!file.Open(path, plat::File::kWrite, plat::File::kOpenAlways)) return false;
  current_ = path;
  uint64_t end = 0;
  if (!file.GetSize(&end) || !file.Seek(end)) return false;
  const std::string bytes = ToFileBytes(text);
  return file.Write(bytes.data(), bytes.size());
}

bool CLogSet::LogEvent(const EventData& event) {
  switch (event.code) {
    case kEvFileCopied:
    case kEvFileFailed:
    case kEvPlanEnabled:
    case kEvPlanDisabled:
    case kEvRunBegins:
    case kEvRunEnds:
    case kEvPlanCreated:
    case kEvScanBegins:
    case kEvScanEnds:
      break;
    default:
      return false;
  }
  PlanInfoForLog plan;
  // Looked up before the log's lock is taken: the lookup takes the plan list's lock.
  if (!LookUpPlanForLog(event.planId, &plan)) return false;
  std::string text;
  if (!BuildLogRecord(event, plan, plat::AscTime(plat::Now()), &text)) return false;
  return AppendRecord(text);
}

std::string DefaultLogFolder() { return GetDataFolder() + "log\\"; }
