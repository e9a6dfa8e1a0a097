// Whether other work on the machine is waiting: the kernel's pressure stall
// figures for the processor and the disks, and the power supply. Background
// walks pause only while this says so.
#pragma once
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace plat {

struct StallFigures {
  bool known = false;
  double avg10 = 0;          // per cent of the last ten seconds
  uint64_t totalMicros = 0;  // stalled time since boot
};
// The "some" line of a pressure file ("some avg10=1.50 avg60=0.20 avg300=0.01 total=123").
StallFigures ParseStallSome(std::string_view text);

// Reads "cpu" and "io" of a folder laid out like /proc/pressure at most every
// `sampleMs`. Busy while either "some" share reaches `percent`, over the last
// ten seconds or since the previous reading (so a new load is seen at once);
// also busy when the figures cannot be read (a kernel without them).
class PressureGauge {
 public:
  explicit PressureGauge(std::string folder = "/proc/pressure", double percent = 10,
                         int sampleMs = 250);
  bool Busy();

 private:
  using Clock = std::chrono::steady_clock;
  bool Sample(const char* name, uint64_t* lastTotal, Clock::time_point now);

  const std::string folder_;
  const double percent_;
  const Clock::duration sampleEvery_;
  std::mutex mutex_;  // guards the readings below
  Clock::time_point sampled_{};
  Clock::time_point previous_{};
  uint64_t cpuTotal_ = 0, ioTotal_ = 0;
  bool busy_ = true;
};

// The machine's gauge, or true while the computer runs on battery.
bool MachineBusy();

}  // namespace plat
