#include "engine/RunFile.h"

#include "common/KeyValueFile.h"
#include "platform/process/Clock.h"

namespace {

struct RunKeys {
  bool opened = false;
  bool hasRun = false;
  int64_t run = 0;  // the first key's value when it is "run"
  AwayState away;
};

RunKeys ReadKeys(std::string_view planFolder) {
  RunKeys keys;
  if (planFolder.empty()) return keys;
  CKeyValueReader reader;
  if (!reader.Open(RunFilePath(planFolder))) return keys;
  keys.opened = true;
  std::string key, text;
  bool first = true;
  while (reader.Next(&key, &text)) {
    if (first && key == "run") {
      keys.hasRun = true;
      keys.run = reader.Int64(0);
    } else if (key == "away") {
      keys.away.since = reader.Int64(0);
    } else if (key == "storeFolder") {
      keys.away.folder = text;
    }
    first = false;
  }
  if (keys.away.since < 0) keys.away.since = 0;
  return keys;
}

bool WriteKeys(std::string_view planFolder, int64_t lastRun, const AwayState& away) {
  CKeyValueWriter writer;
  writer.Add("run", lastRun);
  writer.Add("boot", plat::GetBootTime());
  writer.Add("!run", plat::AscTime(plat::Now()));
  // A folder name with a line break would end its line early: not kept.
  if (!away.folder.empty() && away.folder.find_first_of("\r\n") == std::string::npos)
    writer.Add("storeFolder", away.folder);
  if (away.since > 0) writer.Add("away", away.since);
  return writer.Write(RunFilePath(planFolder));
}

}  // namespace

std::string RunFilePath(std::string_view planFolder) {
  std::string path(planFolder);
  if (!path.empty() && path.back() != '\\') path += '\\';
  path += "run.ini";
  return path;
}

bool WriteRunFile(std::string_view planFolder, int64_t lastRun) {
  if (planFolder.empty()) return false;
  return WriteKeys(planFolder, lastRun, ReadKeys(planFolder).away);
}

bool ReadRunFile(std::string_view planFolder, int64_t* lastRun) {
  const RunKeys keys = ReadKeys(planFolder);
  if (!keys.opened) return false;
  if (lastRun != nullptr) *lastRun = keys.run;
  return true;
}

AwayState ReadAwayState(std::string_view planFolder) { return ReadKeys(planFolder).away; }

bool WriteAwayState(std::string_view planFolder, const AwayState& state, int64_t fallbackRun) {
  if (planFolder.empty()) return false;
  const RunKeys keys = ReadKeys(planFolder);
  return WriteKeys(planFolder, keys.hasRun ? keys.run : fallbackRun, state);
}
