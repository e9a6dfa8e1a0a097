// A data folder written by hand in the program's file formats, for tests and
// benchmarks that start the real program: "plans.ini", and per plan
// "PLAN\<id>\" with "Plan.ini", "IncExc.ini", "Devices.ini" and optionally
// "UI.ini"; beside it a volume table (BREVANTO_VOLUMES) whose C: is "/" and
// whose other letters are folders "<letter>vol" below the work folder.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace bvtest {

// One plan as the program writes it.
struct PlanFiles {
  uint32_t id = 1;
  std::string name;                  // empty: no Name line (a plan the program refuses)
  std::string storePath;             // system path of the store root, e.g. "E:\Store\"
  std::vector<std::string> sources;  // folders to protect (system paths), one item each
  int scheduleUnit = 1;              // 1: continuous
  int versions = 3;
  bool enabled = true;
  bool firstBackupDone = false;  // false writes "InitDone=0": the first backup is still to do
  std::string uiIni;             // "UI.ini" text; empty: none
};

class DataFolder {
 public:
  // work: an existing folder that takes "data", "run", "global", "config",
  // the volume folders and the side files. volumes: the letters besides C:
  // (each a fixed disk). The folders are made and the volume table written.
  explicit DataFolder(std::string work, std::string volumes = "E");

  const std::string& Work() const { return work_; }
  // Native path below the data folder / of a volume's root folder.
  std::string Data(const std::string& rel) const;
  std::string Volume(char letter) const;
  std::string StderrLog() const { return work_ + "/stderr.log"; }
  std::string MessageLog() const { return work_ + "/messages.log"; }
  std::string TraceLog() const { return work_ + "/trace.log"; }

  void WritePlan(const PlanFiles& plan) const;
  // "plans.ini" listing ids in this order; SEED is the last id.
  void WritePlanList(const std::vector<uint32_t>& ids) const;
  // The activity log: every file of the "log" folder, concatenated.
  std::string LogText() const;

  // The environment the program needs to run on this folder (offscreen Qt,
  // lock folders, data folder, volume table, message log; the trace log when
  // asked). An empty value means the variable is to be removed.
  std::vector<std::pair<std::string, std::string>> Environment(bool trace) const;
  // Sets (or removes) those variables in this process.
  void ApplyEnvironment(bool trace) const;

 private:
  std::string work_;
  std::string volumes_;
};

}  // namespace bvtest
