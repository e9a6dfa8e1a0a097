// The real program started black box by the benches, as a user starts it:
// its own process on a data folder written by the tests' helper, plus the
// figures read from outside (CPU, peak memory, the activity log's records).
#pragma once
#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "support/DataFolder.h"

namespace bvbench {

using Clock = std::chrono::steady_clock;
inline double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

bool Full();                     // BV_BENCH_FULL set and not "0"
double CpuSecondsOf(pid_t pid);  // user + system of a running process
double PeakRssMbOf(pid_t pid);   // VmHWM in MB, -1 when unknown
double ChildrenCpuSeconds();     // user + system of the waited-for children

// One shell command's wall and CPU time (its children's rusage).
struct CommandCost {
  bool ok = false;
  double wall = 0;
  double cpu = 0;
};
CommandCost RunTimed(const std::string& command);

// The program on a data folder. Environment: the folder's own, then `extra`
// (an empty value removes a variable). `wrapper` runs before the program
// (e.g. {"strace", "-f", "-c", "-o", FILE}).
class ProgramRun {
 public:
  explicit ProgramRun(const bvtest::DataFolder& data) : data_(data) {}
  ~ProgramRun() { Kill(); }
  ProgramRun(const ProgramRun&) = delete;
  ProgramRun& operator=(const ProgramRun&) = delete;

  // Starts it and waits until its start-up chose the window (its change
  // monitor runs from then on). False, with its stderr printed, otherwise.
  bool Start(const std::map<std::string, std::string>& extra,
             const std::vector<std::string>& wrapper = {});
  pid_t Pid() const { return pid_; }
  // The program's own process id (the wrapper's child when there is one).
  pid_t ProgramPid() const;
  // Asks it to end (SIGTERM to the program) and waits up to `seconds`.
  bool Terminate(int seconds);
  void Kill();
  std::string Stderr() const;

 private:
  const bvtest::DataFolder& data_;
  pid_t pid_ = -1;
};

// Reads the activity log as it grows, from where it was read last.
class LogTail {
 public:
  explicit LogTail(const bvtest::DataFolder& data) : data_(data) {}
  // True once `text` was written; reads only what is new since the last call.
  bool Has(const std::string& text);

 private:
  const bvtest::DataFolder& data_;
  std::map<std::string, long long> read_;  // log file -> bytes read
  std::string tail_;                       // unread end of the last record
  std::map<std::string, bool> seen_;
};

}  // namespace bvbench
