#include "common/ActivityLog.h"

#include <string>
#include <vector>

#include "common/PlanSettings.h"
#include "common/Settings.h"
#include "common/Texts.h"
#include "platform/files/Files.h"
#include "platform/process/Clock.h"
#include "platform/volumes/Paths.h"

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

std::string EscapeControls(std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
      continue;
    }
    // U+0080..U+009F (C2 80..C2 9F) and U+2028, U+2029 (E2 80 A8, E2 80 A9)
    // end a line for some readers.
    const auto next = [&](size_t k) {
      return i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0u;
    };
    if (c == 0xC2 && next(1) >= 0x80 && next(1) <= 0x9F) {
      out += "\\u00";
      out += kHex[next(1) >> 4];
      out += kHex[next(1) & 15];
      i += 1;
      continue;
    }
    if (c == 0xE2 && next(1) == 0x80 && (next(2) == 0xA8 || next(2) == 0xA9)) {
      out += next(2) == 0xA8 ? "\\u2028" : "\\u2029";
      i += 2;
      continue;
    }
    out += char(c);
  }
  return out;
}

std::string LogPath(std::string_view path) {
  return EscapeControls(ReadablePath(std::string(path)));
}

bool IsProtectionProblem(int32_t code) {
  switch (code) {
    case kEvInvalidContent:
    case kEvDatabaseOpenFailed:
    case kEvDatabaseProblem:
    case kEvFileFailed:
    case kEvUnreadablePlanFile:
    case kEvDriverFailed:
    case kEvNotProtected:
    case kEvServerKeyChanged:
    case kEvServerKeyUntrusted:
    case kEvServerNotEncrypted:
    case kEvSourceKeepsChanging:
    case kEvStoreState:
      return true;
    default:
      return false;
  }
}

bool WritesLogRecord(int32_t code) {
  switch (code) {
    case kEvFileCopied:
    case kEvPlanEnabled:
    case kEvPlanDisabled:
    case kEvRunBegins:
    case kEvRunEnds:
    case kEvPlanCreated:
    case kEvScanBegins:
    case kEvScanEnds:
    case kEvServerUnreachable:
      return true;
    default:
      return IsProtectionProblem(code);
  }
}

namespace {

// Records of the problems that may come without a plan: the plan's line only
// when the plan is known, then the time and the event's texts.
std::string ProblemRecord(const EventData& event, const PlanInfoForLog* plan,
                          const std::string& time) {
  const char* head = "";
  const char* text1 = "Path = ";
  const char* text2 = nullptr;
  const char* text3 = nullptr;
  bool text1IsPath = true;
  switch (event.code) {
    case kEvInvalidContent:
      head = "#Invalid Content";
      text1 = "Description = ";
      text1IsPath = false;
      text2 = "File = ";
      break;
    case kEvDatabaseOpenFailed:
      head = "#Journal Cannot Be Opened";
      break;
    case kEvDatabaseProblem:
      head = "#Journal Problem";
      break;
    case kEvUnreadablePlanFile:
      head = "#Plan File Unreadable";
      break;
    case kEvDriverFailed:
      head = "#Change Monitoring Problem";
      text1 = "Description = ";
      text1IsPath = false;
      break;
    case kEvNotProtected:
      head = "#File Not Protected";
      text1 = "Source Path = ";
      text3 = "Reason = ";
      break;
    case kEvServerKeyChanged:
    case kEvServerKeyUntrusted:
    case kEvServerNotEncrypted:
    case kEvServerUnreachable:
      head = event.code == kEvServerKeyChanged     ? "#Server Key Changed"
             : event.code == kEvServerKeyUntrusted ? "#Server Key Not Trusted"
             : event.code == kEvServerNotEncrypted ? "#Server Not Encrypted"
             : event.value == 1                    ? "#Server Login Refused"
                                                   : "#Server Unreachable";
      text1 = "Server = ";
      text3 = "Reason = ";
      break;
    case kEvSourceKeepsChanging:
      head = "#Backup File Changes During Every Copy";
      text1 = "Source Path = ";
      text2 = "Destination Path = ";
      text3 = "Reason = ";
      break;
    case kEvStoreState:
      head = event.value == 0   ? "#Backup Disk Not Connected"
             : event.value == 1 ? "#Fresh First Backup"
             : event.value == 3 ? "#Backup Store Warning"
             : event.value == 4 ? "#Backup Store Refused"
             : event.value == 5 ? "#Backup Store Keeps Old Versions"
                                : "#Backup Store Holds Protected Folder";
      text1 = "Destination = ";
      text3 = "Reason = ";
      break;
    default:
      return {};
  }
  std::string r = head;
  r += "\n";
  if (plan) r += "Plan Name = " + EscapeControls(plan->name) + "\n";
  r += "Time = " + time + "\n";
  const std::string& folder = event.text2;
  if (event.code == kEvNotProtected && !folder.empty() && event.text1.rfind(folder, 0) == 0) {
    // The folder as a path, the name as shown (it may hold a "\").
    std::string native = ReadablePath(folder);
    if (native != folder && !native.empty() && native.back() != '/') native += '/';
    r += text1 + EscapeControls(native + event.text1.substr(folder.size())) + "\n";
  } else if (!event.text1.empty()) {
    r += text1 + (text1IsPath ? LogPath(event.text1) : EscapeControls(event.text1)) + "\n";
  }
  if (text2 && !event.text2.empty()) r += text2 + LogPath(event.text2) + "\n";
  if (text3 && !event.text3.empty()) r += text3 + EscapeControls(event.text3) + "\n";
  return r;
}

}  // namespace

bool BuildLogRecord(const EventData& event, const PlanInfoForLog* plan, std::string_view time,
                    std::string* text) {
  const std::string t(time);
  if ((event.code != kEvFileFailed && IsProtectionProblem(event.code)) ||
      event.code == kEvServerUnreachable) {
    *text = ProblemRecord(event, plan, t);
    return !text->empty();
  }
  if (!plan) return false;
  const std::string name = EscapeControls(plan->name);
  const auto esc = [](const std::string& s) { return EscapeControls(s); };
  std::string r;
  switch (event.code) {
    case kEvFileCopied:
      r = "#Backup File Success\nPlan Name = " + name + "\nTime = " + t +
          "\nSource Path = " + LogPath(event.text1) +
          "\nDestination Path = " + LogPath(event.text2) + "\n";
      break;
    case kEvFileFailed:
      r = "#Backup File Fail\nPlan Name = " + name + "\nTime = " + t +
          "\nSource Path = " + LogPath(event.text1) + "\nError = " + esc(event.text3) + "\n";
      break;
    case kEvPlanEnabled:
      r = "#Plan Enabled\nPlan Name = " + name + "\nTime = " + t + "\n";
      break;
    case kEvPlanDisabled:
      r = "#Plan Disabled\nPlan Name = " + name + "\nTime = " + t + "\n";
      break;
    case kEvRunBegins:
    case kEvRunEnds:
      // Continuous plans have no scheduled runs to report; a first backup is
      // written by its scan's records.
      if (plan->scheduleUnit == 1 || event.text2 == kRunIsFirstBackup) return false;
      r = std::string(event.code == kEvRunBegins ? "#Scheduled Backup Start"
                                                 : "#Scheduled Backup Complete") +
          "\n" + name + "\n" + t + "\n";
      break;
    case kEvPlanCreated:
      r = "#Plan Create\nPlan Name = " + name + "\nTime = " + t +
          "\nVersions = " + std::to_string(plan->versionNumber) +
          "\nDestination = " + LogPath(plan->storePath) + "\n";
      if (plan->storageType == kStorageUsb) {
        r += "Destination Model ID = " + esc(plan->usbModel) +
             "\nDestination Vendor =" + esc(plan->usbVendor) + "\n";
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
  if (!plat::IsDirectory(path)) plat::CreateDirectories(path, "", /*privateMode=*/true);
  folder_ = path.empty() ? std::string() : plat::WithSeparator(path);
  current_.clear();  // a new folder starts with its own files
  file_.Close();
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
  return AppendLocked(text, /*lookAgain=*/true);
}

size_t CLogSet::AppendRecords(const std::vector<std::string>& texts) {
  std::lock_guard<std::mutex> g(lock_);
  if (folder_.empty()) return 0;
  // The records bound for one file go in one write.
  size_t written = 0, pendingCount = 0;
  std::string pending;
  const auto writePending = [&] {
    if (pending.empty()) return;
    if (file_.Write(pending.data(), pending.size())) {
      fileEnd_ += pending.size();
      written += pendingCount;
    } else {
      file_.Close();
    }
    pending.clear();
    pendingCount = 0;
  };
  for (size_t i = 0; i < texts.size(); ++i) {
    if (i == 0 || !file_.IsOpen() || fileEnd_ + pending.size() >= kMaxFileSize) {
      writePending();
      if (!OpenNextLocked(/*lookAgain=*/i == 0)) continue;
    }
    pending += ToFileBytes(texts[i]);
    ++pendingCount;
  }
  writePending();
  return written;
}

bool CLogSet::OpenNextLocked(bool lookAgain) {
  uint64_t end = fileEnd_;
  // The open file goes once its name names another file or none (the user
  // deleted or moved it), it was made read-only, or it is full: the file is
  // then chosen again as for the first record.
  if (file_.IsOpen() && lookAgain && !file_.StillNamed(current_, &end)) file_.Close();
  if (file_.IsOpen() && end >= kMaxFileSize) file_.Close();
  if (!file_.IsOpen()) {
    const std::string path = ChooseFileLocked();
    if (!file_.Open(path, plat::File::kWrite, plat::File::kOpenAlways)) return false;
    current_ = path;
    if (!file_.GetSize(&end)) {
      file_.Close();
      return false;
    }
    fileEnd_ = end + 1;  // the position is not known yet
  }
  // Written at the end even when something else wrote to the file meanwhile.
  if (end != fileEnd_ && !file_.Seek(end)) {
    file_.Close();
    return false;
  }
  fileEnd_ = end;
  return true;
}

bool CLogSet::AppendLocked(std::string_view text, bool lookAgain) {
  if (folder_.empty() || !OpenNextLocked(lookAgain)) return false;
  const std::string bytes = ToFileBytes(text);
  if (!file_.Write(bytes.data(), bytes.size())) {
    file_.Close();
    return false;
  }
  fileEnd_ += bytes.size();
  return true;
}

namespace {

// The record of an event; false when it writes none. The plan is looked up
// before the log's lock is taken: the lookup takes the plan list's lock.
bool RecordOf(const EventData& event, std::string* text) {
  if (!WritesLogRecord(event.code)) return false;
  PlanInfoForLog plan;
  const bool known = event.planId != 0 && LookUpPlanForLog(event.planId, &plan);
  return BuildLogRecord(event, known ? &plan : nullptr, plat::AscTime(plat::Now()), text);
}

}  // namespace

bool CLogSet::LogEvent(const EventData& event) {
  std::string text;
  return RecordOf(event, &text) && AppendRecord(text);
}

size_t CLogSet::LogEvents(const std::deque<EventData>& events) {
  std::vector<std::string> texts;
  texts.reserve(events.size());
  for (const EventData& event : events) {
    std::string text;
    if (RecordOf(event, &text)) texts.push_back(std::move(text));
  }
  return AppendRecords(texts);
}

std::string DefaultLogFolder() { return GetDataFolder() + "log\\"; }
