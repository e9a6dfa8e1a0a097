// "run.ini" in a plan's folder: the last run time of the plan's task, with the
// machine's boot time and a readable time stamp next to it.
//   run=<seconds>   boot=<seconds>   !run=<asctime text, never read back>
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

// planFolder ends with "\".
std::string RunFilePath(std::string_view planFolder);
// Writes run, boot (plat::GetBootTime now) and !run (local time now).
bool WriteRunFile(std::string_view planFolder, int64_t lastRun);
// False when the file cannot be opened. Otherwise *lastRun is the value of
// the first key when that key is "run", else 0.
bool ReadRunFile(std::string_view planFolder, int64_t* lastRun);
