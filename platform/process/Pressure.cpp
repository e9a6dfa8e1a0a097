#include "platform/process/Pressure.h"

#include <fcntl.h>
#include <unistd.h>

#include <charconv>
#include <cstdlib>

#include "platform/process/Clock.h"
#include "platform/volumes/Volumes.h"

namespace plat {

namespace {

// The number after "key=" in a line, or false.
bool FieldOf(std::string_view line, std::string_view key, std::string_view* value) {
  const size_t at = line.find(key);
  if (at == std::string_view::npos) return false;
  line.remove_prefix(at + key.size());
  const size_t end = line.find_first_of(" \n");
  *value = line.substr(0, end);
  return !value->empty();
}

// The start of a small kernel file; false when it cannot be read.
bool ReadStart(const std::string& native, std::string* text) {
  const int fd = ::open(native.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buffer[256];
  const ssize_t n = ::read(fd, buffer, sizeof buffer);
  ::close(fd);
  if (n <= 0) return false;
  text->assign(buffer, static_cast<size_t>(n));
  return true;
}

}  // namespace

StallFigures ParseStallSome(std::string_view text) {
  StallFigures figures;
  if (!text.starts_with("some ")) return figures;
  const std::string_view line = text.substr(0, text.find('\n'));
  std::string_view avg, total;
  if (!FieldOf(line, " avg10=", &avg) || !FieldOf(line, " total=", &total)) return figures;
  const std::string avgText(avg);
  char* end = nullptr;
  figures.avg10 = std::strtod(avgText.c_str(), &end);
  if (end == avgText.c_str() || *end != '\0') return figures;
  const auto parsed =
      std::from_chars(total.data(), total.data() + total.size(), figures.totalMicros);
  figures.known = parsed.ec == std::errc() && parsed.ptr == total.data() + total.size();
  return figures;
}

PressureGauge::PressureGauge(std::string folder, double percent, int sampleMs)
    : folder_(std::move(folder)),
      percent_(percent),
      sampleEvery_(std::chrono::milliseconds(sampleMs)) {}

bool PressureGauge::Sample(const char* name, uint64_t* lastTotal, Clock::time_point now) {
  std::string text;
  const StallFigures figures =
      ReadStart(folder_ + "/" + name, &text) ? ParseStallSome(text) : StallFigures{};
  if (!figures.known) return true;
  const uint64_t before = *lastTotal;
  *lastTotal = figures.totalMicros;
  if (figures.avg10 >= percent_) return true;
  // No earlier reading (0), or the counter went back: the average decides.
  if (before == 0 || figures.totalMicros < before) return false;
  const double micros = static_cast<double>(
      std::chrono::duration_cast<std::chrono::microseconds>(now - previous_).count());
  return micros > 0 &&
         static_cast<double>(figures.totalMicros - before) * 100.0 / micros >= percent_;
}

bool PressureGauge::Busy() {
  std::lock_guard<std::mutex> guard(mutex_);
  const Clock::time_point now = Clock::now();
  if (sampled_ != Clock::time_point{} && now - sampled_ < sampleEvery_) return busy_;
  const bool cpu = Sample("cpu", &cpuTotal_, now);
  const bool io = Sample("io", &ioTotal_, now);
  busy_ = cpu || io;
  previous_ = now;
  sampled_ = now;
  return busy_;
}

bool MachineBusy() {
  switch (VolumeTable::Instance().Pressure()) {
    case PressureOverride::kBusy:
      return true;
    case PressureOverride::kIdle:
      return false;
    case PressureOverride::kNone:
      break;
  }
  static PressureGauge gauge;
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
    if (onBattery) return true;
  }
  return gauge.Busy();
}

}  // namespace plat
