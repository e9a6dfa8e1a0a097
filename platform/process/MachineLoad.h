// Whether other work on the machine would notice ours: the processor time
// and the disk transfers of every process but this one, and the power
// supply. Background walks step aside while this says so.
#pragma once
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace plat {

// Counters of one look at the machine, all since boot.
struct LoadSample {
  std::chrono::steady_clock::time_point at;
  uint64_t machineTicks = 0;  // busy clock ticks of all processors ("cpu" of /proc/stat)
  uint64_t ownTicks = 0;      // this process's user and system ticks
  uint64_t diskRead = 0, diskWritten = 0;  // bytes, the machine's real disks
  uint64_t ownRead = 0, ownWritten = 0;    // bytes this process made the disks move
};

// Reads the counters below `proc` (laid out like /proc) and the disks listed
// in `sysBlock` (like /sys/block; loop, zram and other virtual devices left
// out) at most every `sampleMs`, and compares the newest reading with one
// about `windowMs` older. Others are busy while they kept more than a quarter
// of a processor busy, read from the disks, or wrote to them more than this
// process's own writes account for (those reach the disks later, from the
// kernel's flusher). Not readable counters: not busy (nothing to go by).
class MachineLoad {
 public:
  explicit MachineLoad(std::string proc = "/proc", std::string sysBlock = "/sys/block",
                       int sampleMs = 250, int windowMs = 750);
  bool OthersBusy();
  // The figures of the last comparison: processors others kept busy, and
  // bytes a second they read and wrote beyond this process's share.
  double OthersCores();
  double OthersReadPerSecond();
  double OthersWrittenPerSecond();

 private:
  bool Take(LoadSample* sample) const;
  void Judge();

  const std::string proc_;
  std::vector<std::string> disks_;
  const std::chrono::milliseconds sampleEvery_, window_;
  const double ticksPerSecond_;
  std::mutex mutex_;  // guards the samples and figures below
  std::deque<LoadSample> samples_;
  double cores_ = 0, read_ = 0, written_ = 0;
  double ownUnwritten_ = 0;  // own written bytes not yet seen on the disks
  bool busy_ = false;
};

// Override ("[Power] Pressure=busy" pauses briefly after every fifth entry,
// "idle" never, "loaded" as others busy without end), on battery brief pauses, else the machine's
// load: kWait while others are busy.
enum class Pace { kNone, kBrief, kWait };
Pace MachinePace();

}  // namespace plat
