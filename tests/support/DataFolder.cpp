#include "support/DataFolder.h"

#include <stdlib.h>

#include <cctype>
#include <filesystem>

#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace bvtest {

DataFolder::DataFolder(std::string work, std::string volumes) : work_(std::move(work)) {
  std::error_code ec;
  for (const char* sub : {"run", "global", "data", "config"})
    fs::create_directories(work_ + "/" + sub, ec);
  // The runtime folder must be private, as the session's is.
  fs::permissions(work_ + "/run", fs::perms::owner_all, ec);
  std::string table = "[C]\nRoot=/\nType=fixed\nSystem=1\n";
  for (char letter : volumes) {
    fs::create_directories(Volume(letter), ec);
    table += "[" + std::string(1, letter) + "]\nRoot=" + Volume(letter) + "\nType=fixed\n";
  }
  // Walks do not wait for the other tests running beside this one.
  WriteNative(work_ + "/volumes.ini", table + "[Power]\nSource=ac\nPressure=idle\n");
}

void DataFolder::PaceByMachineLoad() const {
  const std::string path = work_ + "/volumes.ini";
  std::string table = ReadNative(path);
  const size_t at = table.find("Pressure=idle\n");
  if (at != std::string::npos) table.erase(at, std::string("Pressure=idle\n").size());
  WriteNative(path, table);
}

std::string DataFolder::Volume(char letter) const {
  return work_ + "/" + static_cast<char>(std::tolower(letter)) + "vol";
}

void DataFolder::WritePlan(const PlanFiles& plan) const {
  const std::string folder = "PLAN/" + std::to_string(plan.id) + "/";
  std::string text = "Mode=1\n";
  if (!plan.name.empty()) text += "Name=" + plan.name + "\n";
  text += "StorageType=1\nStorePath=" + plan.storePath +
          "\nVersionNumber=" + std::to_string(plan.versions) +
          "\nScheduleNum=1\nScheduleUnit=" + std::to_string(plan.scheduleUnit) +
          "\nLastTime=0\nMissingTime=0\nEnabled=" + (plan.enabled ? "1" : "0") +
          "\nLastBackupTime=0\n";
  if (!plan.firstBackupDone) text += "InitDone=0\n";
  WriteNative(Data(folder + "Plan.ini"), text);
  // Each folder one item of "group1".
  std::string rules =
      "groups.inc.begin\ngroup.begin=group1\ngroup.text=My folders\ngroup.pattern=\n";
  for (const std::string& f : plan.sources)
    rules += "item.begin\nitem.mask=" + f + "\nitem.desc=Sources\nitem.end\n";
  WriteNative(Data(folder + "IncExc.ini"),
              rules +
                  "group.end\ngroups.end\ngroups.exc.begin\ngroups.end\ngroups.alw.begin\n"
                  "groups.end\n");
  WriteNative(Data(folder + "Devices.ini"), "[Disk Device]\nRootDir=" + plan.storePath + "\n");
}

void DataFolder::WritePlanList(const std::vector<uint32_t>& ids) const {
  std::string text = "SEED=" + std::to_string(ids.empty() ? 0 : ids.back()) + "\n";
  for (uint32_t id : ids) text += "ID=" + std::to_string(id) + "\n";
  WriteNative(Data("plans.ini"), text);
}

std::string DataFolder::LogText() const {
  std::string all;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(Data("log"), ec))
    all += ReadNative(entry.path().string());
  return all;
}

std::vector<std::pair<std::string, std::string>> DataFolder::Environment(bool trace) const {
  return {
      {"QT_QPA_PLATFORM", "offscreen"},
      {"XDG_RUNTIME_DIR", work_ + "/run"},
      {"BREVANTO_GLOBAL_LOCK_DIR", work_ + "/global"},
      {"BREVANTO_DATA_DIR", work_ + "/data"},
      {"XDG_CONFIG_HOME", work_ + "/config"},
      {"BREVANTO_VOLUMES", work_ + "/volumes.ini"},
      {"BREVANTO_MESSAGE_LOG", MessageLog()},
      {"BREVANTO_TRACE_LOG", trace ? TraceLog() : std::string()},
  };
}

void DataFolder::ApplyEnvironment(bool trace) const {
  for (const auto& [key, value] : Environment(trace))
    value.empty() ? unsetenv(key.c_str()) : setenv(key.c_str(), value.c_str(), 1);
}

}  // namespace bvtest
