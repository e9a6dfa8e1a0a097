// "run.ini" in a plan's folder: the last run time of the plan's task, with the
// machine's boot time and a readable time stamp next to it, and, while the
// store folder as a person last read it and, while the plan's destination is
// away, since when.
//   run=<seconds>   boot=<seconds>   !run=<asctime text, never read back>
//   storeFolder=<native folder of the store>   away=<seconds>
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

// What the plan's task saw of its destination: since when it is away (0
// while it is present) and the store folder as a person read it the last time
// it was there (its native path; empty when never seen). label is the label of
// the disk the plan's store lies on, from "Store.ini" (never kept in run.ini).
struct AwayState {
  int64_t since = 0;
  std::string folder;
  std::string label;
};

// planFolder ends with "\".
std::string RunFilePath(std::string_view planFolder);
// Writes run, boot (plat::GetBootTime now) and !run (local time now); the
// destination keys the file holds stay.
bool WriteRunFile(std::string_view planFolder, int64_t lastRun);
// False when the file cannot be opened. Otherwise *lastRun is the value of
// the first key when that key is "run", else 0.
bool ReadRunFile(std::string_view planFolder, int64_t* lastRun);
// The destination keys (an empty state when the file or the keys are missing).
AwayState ReadAwayState(std::string_view planFolder);
// Replaces the destination keys (none for an empty state); the run keys stay, and a
// file without them gets run = fallbackRun first.
bool WriteAwayState(std::string_view planFolder, const AwayState& state, int64_t fallbackRun);
