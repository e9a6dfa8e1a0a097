#include "engine/RunFile.h"

#include "common/KeyValueFile.h"
#include "platform/Clock.h"

std::string RunFilePath(std::string_view planFolder) {
  std::string path(planFolder);
  if (!path.empty() && path.back() != '\\') path += '\\';
  path += "run.ini";
  return path;
}

bool WriteRunFile(std::string_view planFolder, int64_t lastRun) {
  if (planFolder.empty()) return false;
  CKeyValueWriter writer;
  writer.Add("run", lastRun);
  writer.Add("boot", plat::GetBootTime());
  writer.Add("!run", plat::AscTime(plat::Now()));
  return writer.Write(RunFilePath(planFolder));
}

bool ReadRunFile(std::string_view planFolder, int64_t* lastRun) {
  if (planFolder.empty()) return false;
  CKeyValueReader reader;
  if (!reader.Open(RunFilePath(planFolder))) return false;
  int64_t value = 0;
  std::string key, text;
  if (reader.Next(&key, &text) && key == "run") value = reader.Int64(0);
  if (lastRun != nullptr) *lastRun = value;
  return true;
}
