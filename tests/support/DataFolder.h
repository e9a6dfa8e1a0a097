// A data folder written by hand in the program's formats, beside a volume table whose C: is "/"
// and whose other letters are folders "<letter>vol".
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
};

class DataFolder {
 public:
  // work: an existing folder for "data", "run", "global", "config" and the volume folders.
  explicit DataFolder(std::string work, std::string volumes = "E");

  const std::string& Work() const { return work_; }
  // Native paths below the data folder, of a volume's root and of the logs.
  std::string Data(const std::string& rel) const { return work_ + "/data/" + rel; }
  std::string Volume(char letter) const;
  std::string StderrLog() const { return work_ + "/stderr.log"; }
  std::string MessageLog() const { return work_ + "/messages.log"; }
  std::string TraceLog() const { return work_ + "/trace.log"; }

  // The program paces its walks by the machine's real load (tests: never).
  void PaceByMachineLoad() const;

  void WritePlan(const PlanFiles& plan) const;
  // "plans.ini" listing ids in this order; SEED is the last id.
  void WritePlanList(const std::vector<uint32_t>& ids) const;
  // The activity log: every file of the "log" folder, concatenated.
  std::string LogText() const;

  // The program's environment on this folder (an empty value: removed), and set here.
  std::vector<std::pair<std::string, std::string>> Environment(bool trace) const;
  void ApplyEnvironment(bool trace) const;

 private:
  std::string work_;
};

}  // namespace bvtest
