#include "engine/CChangeMonitor.h"

#include <chrono>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "common/Settings.h"
#include "common/Texts.h"
#include "engine/CatchUpRequests.h"
#include "platform/base/Text.h"
#include "platform/files/Files.h"

namespace {

uint16_t ReadUnit(const uint8_t* at) {
  uint16_t v;
  std::memcpy(&v, at, sizeof v);
  return v;
}

}  // namespace

// ---------------------------------------------------------------- driver thread

CDriverThread::CDriverThread(plat::ChangeDevice* device, uint8_t* buffer)
    : device_(device), buffer_(buffer) {}

CDriverThread::~CDriverThread() {
  if (IsRunning()) {
    SetStop();
    size_t returned = 0;
    device_->Control(plat::kIoctlStopReporting, nullptr, 0, nullptr, 0, &returned);
  }
  Join();
}

bool CDriverThread::NormalizePath(std::string_view reported, std::string* out) {
  std::string_view p = reported;
  std::string unc;
  // Long-path prefixes name the same file as the plain path.
  if (p.size() >= 8 && plat::StartsWithNoCase(p, "\\\\?\\UNC\\")) {
    unc = "\\\\" + std::string(p.substr(8));
    p = unc;
  } else if (p.size() >= 4 && p.substr(0, 4) == "\\\\?\\") {
    p = p.substr(4);
  }

  std::string result;
  std::string_view rest;
  const auto isLetter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
  if (p.size() >= 2 && isLetter(p[0]) && p[1] == ':') {
    result.assign(p.substr(0, 2));
    result += '\\';
    rest = p.substr(2);
  } else if (p.size() >= 2 && p[0] == '\\' && p[1] == '\\') {
    const size_t serverEnd = p.find('\\', 2);
    if (serverEnd == std::string_view::npos || serverEnd == 2) return false;
    const std::string_view server = p.substr(2, serverEnd - 2);
    if (server == "?" || server == ".") return false;  // device namespaces
    size_t shareEnd = p.find('\\', serverEnd + 1);
    if (shareEnd == std::string_view::npos) shareEnd = p.size();
    if (shareEnd == serverEnd + 1) return false;
    result.assign(p.substr(0, shareEnd));
    result += '\\';
    rest = shareEnd < p.size() ? p.substr(shareEnd + 1) : std::string_view();
  } else {
    return false;  // relative, rooted without a drive, or "\??\" object names
  }

  std::vector<std::string_view> parts;
  size_t at = 0;
  while (at <= rest.size()) {
    size_t end = rest.find('\\', at);
    if (end == std::string_view::npos) end = rest.size();
    if (end > at) parts.push_back(rest.substr(at, end - at));
    at = end + 1;
  }

  // The change sources report the names the file system keeps: nothing is
  // looked up (a vanished temporary file would cost a listing of its folder).
  for (size_t i = 0; i < parts.size(); ++i) {
    result.append(parts[i]);
    if (i + 1 < parts.size()) result += '\\';
  }
  *out = std::move(result);
  return true;
}

bool CDriverThread::WalkRecords(const uint8_t* data, size_t size,
                                const std::function<bool(const std::string&)>& publish) {
  size_t pos = 0;
  while (size - pos >= 4) {
    const size_t n = ReadUnit(data + pos);
    const size_t length = 2 * n + 4;
    if (length > size - pos) break;
    if (ReadUnit(data + pos + 2 + 2 * n) != 0) break;
    const uint8_t* units = data + pos + 2;
    pos += length;

    std::string normalised;
    bool usable = n > 0;
    try {
      std::u16string path(n, u'\0');
      std::memcpy(path.data(), units, 2 * n);
      if (path.find(u'\0') != std::u16string::npos) usable = false;
      usable = usable && NormalizePath(plat::Utf16ToUtf8(path), &normalised);
    } catch (const std::bad_alloc&) {
      usable = false;
    }
    if (!usable) continue;
    if (!publish(normalised)) return false;
  }
  return true;
}

void CDriverThread::Run() {
  while (!StopRequested()) {
    size_t got = 0;
    const uint32_t rc =
        device_->Control(plat::kIoctlReadRecords, nullptr, 0, buffer_, kBufferSize, &got);
    // A failed request or an empty completion (reporting stopped) ends the
    // thread; nothing more is reported until the program starts again.
    if (rc != 0 || got == 0) return;
    if (got > kBufferSize) got = kBufferSize;
    const bool more = WalkRecords(buffer_, got, [this](const std::string& path) {
      if (StopRequested()) return false;
      EventData event(kEvFileWritten, path, 0, {}, {}, 0);
      Publish(&channel_, &event);
      return true;
    });
    if (!more) return;
  }
}

// ---------------------------------------------------------------- launch thread

CLaunchThread::CLaunchThread(plat::ChangeDevice* device) : device_(device) {}

CLaunchThread::~CLaunchThread() {
  SetStop();
  Join();
}

void CLaunchThread::SetStop() {
  stop_.exchange(1);
  std::lock_guard<std::mutex> guard(waitLock_);
  wake_.notify_all();
}

void CLaunchThread::Run() {
  constexpr size_t kMaxUnits = 259;
  uint8_t report[kReportSize];
  while (stop_.load(std::memory_order_relaxed) == 0) {
    std::memset(report, 0, sizeof report);
    size_t got = 0;
    const uint32_t rc =
        device_->Control(plat::kIoctlLaunchReport, nullptr, 0, report, sizeof report, &got);
    if (rc == 0 && got >= 4 && got <= sizeof report) {
      uint32_t value;
      std::memcpy(&value, report, sizeof value);
      if (value != 0) {
        std::u16string path;
        for (size_t i = 0; i < kMaxUnits && 4 + 2 * i + 2 <= got; ++i) {
          const uint16_t unit = ReadUnit(report + 4 + 2 * i);
          if (unit == 0) break;
          path.push_back(static_cast<char16_t>(unit));
        }
        EventData event(kEvLaunchReport, plat::Utf16ToUtf8(path), 0, {}, {}, 0);
        Publish(&channel_, &event);
      }
    }
    TakeLostChanges();
    std::unique_lock<std::mutex> lock(waitLock_);
    wake_.wait_for(lock, std::chrono::milliseconds(kPollMs), [this] { return stop_.load() != 0; });
  }
}

void CLaunchThread::TakeLostChanges() {
  const uint32_t lost = device_->TakeLostChanges();
  if (lost == 0) return;
  // The walk finds what the lost events would have named (and reports the
  // files beyond the longest path as not protected); the window says why a
  // loss happened once per kind rather than at every overflow.
  catchup::Request(0, lost == plat::kChangesBeyondLongestPath
                          ? "a change beyond the longest path"
                          : "changes lost by the change monitor");
  const std::pair<uint32_t, const char*> kinds[] = {
      {plat::kChangesLostOverflow, "CHANGES_LOST_OVERFLOW"},
      {plat::kChangesLostWatchLimit, "CHANGES_LOST_WATCH_LIMIT"},
  };
  for (const auto& [kind, key] : kinds) {
    if (!(lost & kind) || (lossesSaid_ & kind)) continue;
    lossesSaid_ |= kind;
    PostEvent(kEvDriverFailed, GetText("CHANGE_MONITOR", key));
  }
}

// ---------------------------------------------------------------- change monitor

CChangeMonitor& CChangeMonitor::Instance() {
  static CChangeMonitor monitor;
  return monitor;
}

CChangeMonitor::~CChangeMonitor() { Stop(); }

int CChangeMonitor::Start() {
  std::lock_guard<std::mutex> guard(lock_);
  if (started_) return 0;
  const DriverSettings settings = ReadDriverSettings();
  uint32_t error = 0;
  std::unique_ptr<plat::ChangeDevice> device = plat::ChangeDevice::Open(kDeviceName, &error);
  if (!device) return 1000;
  return StartLocked(settings, std::move(device));
}

int CChangeMonitor::Start(std::unique_ptr<plat::ChangeDevice> device) {
  std::lock_guard<std::mutex> guard(lock_);
  if (started_) return 0;
  const DriverSettings settings = ReadDriverSettings();
  if (!device) return 1000;
  return StartLocked(settings, std::move(device));
}

int CChangeMonitor::StartLocked(const DriverSettings& settings,
                                std::unique_ptr<plat::ChangeDevice> device) {
  device_ = std::move(device);
  buffer_.reset(new (std::nothrow) uint8_t[CDriverThread::kBufferSize]);
  driver_.reset(buffer_ ? new (std::nothrow) CDriverThread(device_.get(), buffer_.get()) : nullptr);
  launch_.reset(new (std::nothrow) CLaunchThread(device_.get()));
  if (!buffer_ || !driver_ || !launch_) {
    TearDownLocked();
    return 1;
  }
  // Linux lets an unprivileged process lower a thread's priority only: any
  // configured priority below normal runs the threads at the lowest one.
  const bool lowest = settings.priority < 0;

  size_t returned = 0;
  if (device_->Control(plat::kIoctlStartReporting, nullptr, 0, nullptr, 0, &returned) != 0) {
    TearDownLocked();
    return 1001;
  }
  if (driver_->Start(lowest) != 0 || launch_->Start(lowest) != 0) {
    TearDownLocked();
    return 1;
  }
  const std::pair<uint32_t, bool> flags[] = {
      {plat::kIoctlSetBackupOnlyWritten, settings.backupOnlyWritten},
      {plat::kIoctlSetNoOpenBackup, settings.noOpenBackup},
      {plat::kIoctlSetIgnoreTime, settings.ignoreTime},
  };
  for (const auto& [code, on] : flags) {
    const uint32_t value = on ? 1 : 0;
    if (device_->Control(code, &value, sizeof value, nullptr, 0, &returned) != 0) {
      TearDownLocked();
      return 1001;
    }
  }
  started_ = true;
  return 0;
}

void CChangeMonitor::Stop() {
  std::lock_guard<std::mutex> guard(lock_);
  if (!started_) return;
  TearDownLocked();
}

void CChangeMonitor::TearDownLocked() {
  if (driver_) {
    driver_->SetStop();
    size_t returned = 0;
    if (device_) device_->Control(plat::kIoctlStopReporting, nullptr, 0, nullptr, 0, &returned);
    driver_->Join();
  }
  if (launch_) {
    launch_->SetStop();
    launch_->Join();
  }
  // The threads use the device and the buffer: they go first.
  driver_.reset();
  launch_.reset();
  device_.reset();
  buffer_.reset();
  started_ = false;
}

void CChangeMonitor::WatchFolders(const std::vector<std::string>& folders) {
  std::lock_guard<std::mutex> guard(lock_);
  if (device_) device_->WatchFolders(folders);
}

std::string CChangeMonitor::ReportedFolder(const std::string& folder) {
  std::lock_guard<std::mutex> guard(lock_);
  return device_ ? device_->ReportedFolder(folder) : std::string();
}

std::vector<plat::UnheldName> CChangeMonitor::TakeUnheldNames() {
  std::lock_guard<std::mutex> guard(lock_);
  return device_ ? device_->TakeUnheldNames() : std::vector<plat::UnheldName>{};
}

bool CChangeMonitor::IsStarted() const {
  std::lock_guard<std::mutex> guard(lock_);
  return started_;
}

CMEvent* CChangeMonitor::NewFileChannel() const {
  std::lock_guard<std::mutex> guard(lock_);
  return driver_ ? driver_->Channel() : nullptr;
}

CMEvent* CChangeMonitor::LaunchChannel() const {
  std::lock_guard<std::mutex> guard(lock_);
  return launch_ ? launch_->Channel() : nullptr;
}
