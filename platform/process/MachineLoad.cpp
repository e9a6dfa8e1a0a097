#include "platform/process/MachineLoad.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <string_view>

#include "platform/base/IniText.h"
#include "platform/process/Clock.h"
#include "platform/volumes/Volumes.h"

namespace plat {

namespace {

constexpr double kOthersCores = 0.25;
constexpr double kOthersReadPerSecond = 256.0 * 1024;
constexpr double kOthersWrittenPerSecond = 4.0 * 1024 * 1024;
constexpr uint64_t kSector = 512;

// The words of a line, split at blanks.
std::vector<std::string_view> WordsOf(std::string_view line) {
  std::vector<std::string_view> out;
  while (true) {
    const size_t start = line.find_first_not_of(' ');
    if (start == std::string_view::npos) break;
    line.remove_prefix(start);
    const size_t end = std::min(line.find(' '), line.size());
    out.push_back(line.substr(0, end));
    line.remove_prefix(end);
  }
  return out;
}

// The unsigned numbers words[first, first + count); false when one is not.
bool NumbersOf(const std::vector<std::string_view>& words, size_t first, size_t count,
               std::vector<uint64_t>* out) {
  if (words.size() < first + count) return false;
  out->assign(count, 0);
  for (size_t i = 0; i < count; ++i) {
    const std::string_view w = words[first + i];
    const auto parsed = std::from_chars(w.data(), w.data() + w.size(), (*out)[i]);
    if (parsed.ec != std::errc() || parsed.ptr != w.data() + w.size()) return false;
  }
  return true;
}

// The number after "key: " in /proc/self/io; 0 when missing.
uint64_t IoField(std::string_view text, std::string_view key) {
  const size_t at = text.find(key);
  if (at == std::string_view::npos) return 0;
  const std::string_view rest = text.substr(at + key.size());
  std::vector<uint64_t> n;
  return NumbersOf(WordsOf(rest.substr(0, rest.find('\n'))), 0, 1, &n) ? n[0] : 0;
}

// Whole disks of the machine: entries of sysBlock not below a virtual device.
std::vector<std::string> RealDisks(const std::string& sysBlock) {
  std::vector<std::string> disks;
  DIR* dir = opendir(sysBlock.c_str());
  if (dir == nullptr) return disks;
  while (const dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    char target[512];
    const std::string link = sysBlock + "/" + e->d_name;
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n >= 0 && std::string_view(target, static_cast<size_t>(n)).find("/virtual/") !=
                      std::string_view::npos)
      continue;
    disks.push_back(e->d_name);
  }
  closedir(dir);
  return disks;
}

}  // namespace

MachineLoad::MachineLoad(std::string proc, std::string sysBlock, int sampleMs, int windowMs)
    : proc_(std::move(proc)),
      disks_(RealDisks(sysBlock)),
      sampleEvery_(sampleMs),
      window_(windowMs),
      ticksPerSecond_(static_cast<double>(sysconf(_SC_CLK_TCK))) {}

bool MachineLoad::Take(LoadSample* s) const {
  std::string text;
  if (!detail::ReadNativeFile(proc_ + "/stat", &text, 1 << 20) || !text.starts_with("cpu "))
    return false;
  // user nice system idle iowait irq softirq ...: waiting and idle are not work.
  std::vector<uint64_t> cpu;
  if (!NumbersOf(WordsOf(std::string_view(text).substr(0, text.find('\n'))), 1, 7, &cpu))
    return false;
  s->machineTicks = cpu[0] + cpu[1] + cpu[2] + cpu[5] + cpu[6];
  if (!detail::ReadNativeFile(proc_ + "/self/stat", &text, 8192)) return false;
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return false;
  // After the name: state ppid ... utime (the 12th word) stime (the 13th).
  std::vector<uint64_t> own;
  if (!NumbersOf(WordsOf(std::string_view(text).substr(close + 1)), 11, 2, &own)) return false;
  s->ownTicks = own[0] + own[1];
  if (detail::ReadNativeFile(proc_ + "/self/io", &text, 8192)) {
    s->ownRead = IoField(text, "read_bytes:");
    s->ownWritten = IoField(text, "write_bytes:");
  }
  if (detail::ReadNativeFile(proc_ + "/diskstats", &text, 1 << 20)) {
    std::string_view rest = text;
    while (!rest.empty()) {
      const size_t end = std::min(rest.find('\n'), rest.size());
      const std::string_view line = rest.substr(0, end);
      rest.remove_prefix(std::min(end + 1, rest.size()));
      // major minor name reads merged sectors ms writes merged sectors ...
      const std::vector<std::string_view> words = WordsOf(line);
      bool real = false;
      for (const std::string& d : disks_) real = real || (words.size() > 2 && d == words[2]);
      std::vector<uint64_t> figures;
      if (!real || !NumbersOf(words, 3, 7, &figures)) continue;
      s->diskRead += figures[2] * kSector;
      s->diskWritten += figures[6] * kSector;
    }
  }
  s->at = std::chrono::steady_clock::now();
  return true;
}

void MachineLoad::Judge() {
  const LoadSample& newest = samples_.back();
  const LoadSample& oldest = samples_.front();
  const double seconds = std::chrono::duration<double>(newest.at - oldest.at).count();
  if (seconds <= 0) return;
  auto minus = [](uint64_t a, uint64_t b) { return a > b ? static_cast<double>(a - b) : 0.0; };
  const double machine = minus(newest.machineTicks, oldest.machineTicks);
  const double own = minus(newest.ownTicks, oldest.ownTicks);
  cores_ = (machine > own ? machine - own : 0) / ticksPerSecond_ / seconds;
  const double read = minus(newest.diskRead, oldest.diskRead);
  const double ownRead = minus(newest.ownRead, oldest.ownRead);
  read_ = (read > ownRead ? read - ownRead : 0) / seconds;
  // Own writes reach the disks up to half a minute later: they are set
  // against the disks' writes until seen there, and forgotten after that.
  const LoadSample& before = samples_[samples_.size() - 2];
  const double step = std::chrono::duration<double>(newest.at - before.at).count();
  ownUnwritten_ += minus(newest.ownWritten, before.ownWritten);
  const double wrote = minus(newest.diskWritten, before.diskWritten);
  const double beyond = wrote > ownUnwritten_ ? wrote - ownUnwritten_ : 0;
  ownUnwritten_ = wrote > ownUnwritten_ ? 0 : (ownUnwritten_ - wrote) * (1 - step / 40.0);
  if (ownUnwritten_ < 0) ownUnwritten_ = 0;
  written_ = step > 0 ? beyond / step : 0;
  busy_ =
      cores_ > kOthersCores || read_ > kOthersReadPerSecond || written_ > kOthersWrittenPerSecond;
}

bool MachineLoad::OthersBusy() {
  std::lock_guard<std::mutex> guard(mutex_);
  const auto now = std::chrono::steady_clock::now();
  if (!samples_.empty() && now - samples_.back().at < sampleEvery_) return busy_;
  LoadSample sample;
  if (!Take(&sample)) return busy_ = false;
  samples_.push_back(sample);
  while (samples_.size() > 2 && samples_.back().at - samples_[1].at >= window_)
    samples_.pop_front();
  if (samples_.size() >= 2) Judge();
  return busy_;
}

double MachineLoad::OthersCores() {
  std::lock_guard<std::mutex> guard(mutex_);
  return cores_;
}

double MachineLoad::OthersReadPerSecond() {
  std::lock_guard<std::mutex> guard(mutex_);
  return read_;
}

double MachineLoad::OthersWrittenPerSecond() {
  std::lock_guard<std::mutex> guard(mutex_);
  return written_;
}

Pace MachinePace() {
  switch (VolumeTable::Instance().Pressure()) {
    case PressureOverride::kBusy:
      return Pace::kBrief;
    case PressureOverride::kIdle:
      return Pace::kNone;
    case PressureOverride::kLoaded:
      return Pace::kWait;
    case PressureOverride::kNone:
      break;
  }
  static std::mutex powerMutex;  // guards the power status and when it was read
  static auto powerRead = std::chrono::steady_clock::time_point{};
  static bool onBattery = false;
  {
    std::lock_guard<std::mutex> guard(powerMutex);
    const auto now = std::chrono::steady_clock::now();
    if (powerRead == std::chrono::steady_clock::time_point{} ||
        now - powerRead > std::chrono::seconds(5)) {
      onBattery = GetPowerStatus() == PowerStatus::kBattery;
      powerRead = now;
    }
  }
  static MachineLoad load;
  if (load.OthersBusy()) return Pace::kWait;
  return onBattery ? Pace::kBrief : Pace::kNone;
}

}  // namespace plat
