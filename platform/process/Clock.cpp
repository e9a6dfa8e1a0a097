#include "platform/process/Clock.h"

#include <dirent.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "platform/process/PowerSupply.h"
#include "platform/volumes/Volumes.h"

namespace plat {

namespace {

uint64_t ClockMs(clockid_t id) {
  timespec ts{};
  clock_gettime(id, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

// Serialises the C library's zone state: reloading it while another thread
// converts is a data race. Guards lastTz and lastTzLoad too.
std::mutex& ZoneLock() {
  static std::mutex lock;
  return lock;
}

// Reloads the zone when TZ changed or a minute has passed (the system zone
// file may change); caller holds ZoneLock().
void RefreshZoneLocked() {
  static std::string lastTz;
  static uint64_t lastTzLoad = 0;
  static bool loaded = false;
  const char* tzEnv = getenv("TZ");
  const std::string tz = tzEnv ? std::string("=") + tzEnv : std::string();
  const uint64_t now = GetTickCount64();
  if (!loaded || tz != lastTz || now - lastTzLoad > 60000) {
    tzset();
    loaded = true;
    lastTz = tz;
    lastTzLoad = now;
  }
}

std::tm LocalTm(int64_t t) {
  std::lock_guard<std::mutex> guard(ZoneLock());
  RefreshZoneLocked();
  const time_t tt = static_cast<time_t>(t);
  std::tm tm{};
  localtime_r(&tt, &tm);
  return tm;
}

// First line of a small sysfs file, trimmed; "" when unreadable.
std::string ReadLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  if (!in || !std::getline(in, line)) return {};
  while (!line.empty() && (line.back() == ' ' || line.back() == '\r' || line.back() == '\t'))
    line.pop_back();
  return line;
}

}  // namespace

uint64_t GetTickCount64() { return ClockMs(CLOCK_MONOTONIC); }

uint64_t GetUpTimeMs() { return ClockMs(CLOCK_BOOTTIME); }

int64_t GetBootTime() { return Now() - static_cast<int64_t>(GetUpTimeMs() / 1000u); }

int64_t Now() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return ts.tv_sec;
}

void SleepMs(uint32_t ms) {
  timespec ts{static_cast<time_t>(ms / 1000u), static_cast<long>(ms % 1000u) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

LocalTime ToLocalTime(int64_t t) {
  const std::tm tm = LocalTm(t);
  LocalTime lt;
  lt.year = tm.tm_year + 1900;
  lt.month = tm.tm_mon + 1;
  lt.day = tm.tm_mday;
  lt.hour = tm.tm_hour;
  lt.minute = tm.tm_min;
  lt.second = tm.tm_sec;
  lt.weekday = tm.tm_wday;
  lt.yearDay = tm.tm_yday;
  lt.dst = tm.tm_isdst > 0;
  return lt;
}

int64_t FromLocalTime(const LocalTime& lt) {
  std::lock_guard<std::mutex> guard(ZoneLock());
  RefreshZoneLocked();
  std::tm tm{};
  tm.tm_year = lt.year - 1900;
  tm.tm_mon = lt.month - 1;
  tm.tm_mday = lt.day;
  tm.tm_hour = lt.hour;
  tm.tm_min = lt.minute;
  tm.tm_sec = lt.second;
  tm.tm_isdst = -1;  // the zone decides
  return static_cast<int64_t>(mktime(&tm));
}

std::string FormatLocalTime(int64_t t, const char* format) {
  if (!format || !*format) return {};
  const std::tm tm = LocalTm(t);
  std::vector<char> buf(256);
  for (int i = 0; i < 8; ++i) {
    const size_t n = strftime(buf.data(), buf.size(), format, &tm);
    if (n > 0) return std::string(buf.data(), n);
    buf.resize(buf.size() * 4);  // 0 also means "did not fit"
  }
  return {};
}

std::string AscTime(int64_t t) {
  // Fixed English names, whatever the process locale says.
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::tm tm = LocalTm(t);
  char buf[64];
  snprintf(buf, sizeof buf, "%.3s %.3s%3d %.2d:%.2d:%.2d %d", kDays[tm.tm_wday % 7],
           kMonths[tm.tm_mon % 12], tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
           tm.tm_year + 1900);
  return buf;
}

namespace {
// The calling thread's id, asked of the kernel once per thread (every event
// is stamped with it); a forked child's only thread asks again.
thread_local uint32_t tThreadId = 0;
}  // namespace

uint32_t CurrentThreadId() {
  static const bool resetInChild = [] {
    pthread_atfork(nullptr, nullptr, [] { tThreadId = 0; });
    return true;
  }();
  (void)resetInChild;
  if (tThreadId == 0) tThreadId = static_cast<uint32_t>(gettid());
  return tThreadId;
}

void SetCurrentThreadLowestPriority() {
  // The batch class at the highest nice: the thread never preempts the user's
  // work and takes the smallest share beside it, but a share all the same
  // (the idle class would wait behind every busy process for as long as it
  // stays busy). The thread's I/O priority follows its nice value.
  sched_param param{};
  param.sched_priority = 0;
  pthread_setschedparam(pthread_self(), SCHED_BATCH, &param);
  setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 19);  // per thread on Linux
}

namespace detail {

PowerStatus ReadPowerSupplyFolder(const std::string& nativeFolder) {
  DIR* dir = opendir(nativeFolder.c_str());
  if (!dir) return PowerStatus::kUnknown;
  bool battery = false, mainsOnline = false;
  while (const dirent* e = readdir(dir)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    const std::string base = nativeFolder + "/" + name + "/";
    const std::string type = ReadLine(base + "type");
    if (type == "Battery") {
      const std::string present = ReadLine(base + "present");
      if (present != "0") battery = true;
    } else if (type == "Mains" || type.rfind("USB", 0) == 0) {
      if (ReadLine(base + "online") == "1") mainsOnline = true;
    }
  }
  closedir(dir);
  return battery && !mainsOnline ? PowerStatus::kBattery : PowerStatus::kMains;
}

}  // namespace detail

PowerStatus GetPowerStatus() {
  switch (VolumeTable::Instance().Power()) {
    case PowerOverride::kAc:
      return PowerStatus::kMains;
    case PowerOverride::kBattery:
      return PowerStatus::kBattery;
    case PowerOverride::kNone:
      break;
  }
  return detail::ReadPowerSupplyFolder("/sys/class/power_supply");
}

}  // namespace plat
