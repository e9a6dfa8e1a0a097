#include "engine/CatchUpWalk.h"

#include <mutex>
#include <unordered_map>
#include <vector>

#include "app/Settings.h"
#include "engine/EngineEvents.h"
#include "engine/SourceWalk.h"
#include "history/CLoggingDatabase.h"
#include "history/Crc64.h"
#include "plans/CPlan.h"
#include "plans/KeyValueFile.h"
#include "plans/PlanList.h"
#include "plans/PlanSources.h"
#include "plans/RuleFile.h"
#include "platform/MountPoints.h"
#include "platform/Paths.h"

namespace {

constexpr char kStateFile[] = "catchup.ini";
// Records read, and files noted, per hold of the journal's lock.
constexpr size_t kReadBatch = 2048;
constexpr size_t kNoteBatch = 256;

// What the journal knew of a path when the walk began.
struct Known {
  int64_t lastBackupTime = 0;
  uint16_t state = 0;
  bool ambiguous = false;  // two records share the hash: ask the journal itself
};
using KnownMap = std::unordered_map<uint64_t, Known>;

// One pass over the journal in file order, the lock taken per batch.
void ReadKnown(CLoggingDatabase* db, KnownMap* known) {
  uint64_t offset = CLoggingDatabase::kHeaderSize;
  LogRecord record;
  for (bool more = true; more;) {
    std::lock_guard<std::recursive_mutex> guard(db->Mutex());
    for (size_t i = 0; i < kReadBatch; ++i) {
      uint64_t next = 0;
      bool found = false;
      if (db->ReadRecord(offset, &record, &next, &found) != CLoggingDatabase::kOk || !found ||
          next <= offset) {
        more = false;
        break;
      }
      auto [it, added] = known->try_emplace(record.pathHash);
      if (!added) it->second.ambiguous = true;
      it->second.lastBackupTime = record.lastBackupTime;
      it->second.state = record.state;
      offset = next;
    }
  }
}

// Whether a file the plan takes must be noted, given its record.
bool Stale(uint16_t state, int64_t lastBackupTime, const plat::FindData& entry) {
  if (LogRecord::IsPendingState(state)) return false;  // waits for its copy already
  if (state & kLogCopied) return entry.writeTime > lastBackupTime;
  return true;  // gone or too large before, back (or small enough) now
}

class CatchUp {
 public:
  explicit CatchUp(CSimplePlan* plan) : plan_(plan), db_(plan->Database()) {
    const int limit = GetBackupFileMaxSize();
    limitMiB_ = limit > 0 ? static_cast<uint64_t>(limit) : 0;
    PlanList* list = plan->Owner();
    if (list != nullptr) {
      std::lock_guard<std::recursive_mutex> guard(list->Lock());
      linked_ = plan->SameDestinationLink() != nullptr;
    }
  }

  CatchUpResult Run() {
    CatchUpResult result;
    if (db_ == nullptr) return result;
    ReadKnown(db_, &known_);
    std::vector<std::string> folders;
    bool wholeMachine = false;
    const bool hasGroup1 = WalkItemsOfPlan(plan_, &folders, &wholeMachine);
    if (wholeMachine) folders = FixedDriveRoots();
    WalkGate gate(plan_, /*stopWhenBlocked=*/false);
    FolderWalker walker(plan_, &gate);
    auto onFolder = [this](const std::string& folder) { return FolderEligible(folder); };
    auto onFile = [this](const std::string& path, const plat::FindData& entry) {
      Consider(path, entry);
    };
    for (const std::string& folder : folders) walker.Walk(folder, false, onFolder, onFile);
    if (hasGroup1) {
      // The built-in sources keep mail and browser data in dot-folders.
      const WebChoices choices = ReadWebChoices(plan_->GetPlanFolder());
      for (size_t g = 0; g < choices.size(); ++g) {
        if (!choices[g]) continue;
        for (const BuiltinSource& source : BuiltinSourcesOfGroup(g)) {
          walker.Walk(source.folder, true, onFolder, onFile);
        }
      }
    }
    Flush();
    result.files = files_;
    result.noted = noted_;
    result.complete = !walker.Stopped() && !plan_->Stopping() && plan_->Enabled();
    return result;
  }

 private:
  bool FolderEligible(const std::string& folder) {
    PlanList* list = plan_->Owner();
    return list == nullptr || list->IsPathEligible(folder);
  }

  // An earlier plan on the same destination takes what it matches.
  bool Takes(const std::string& path) {
    if (linked_) {
      PlanList* list = plan_->Owner();
      std::lock_guard<std::recursive_mutex> guard(list->Lock());
      for (CPlan* q = plan_->SameDestinationLink(); q; q = q->SameDestinationLink()) {
        if (q->MatchPath(path, false)) return false;
      }
    }
    return plan_->MatchPath(path, false);
  }

  void Consider(const std::string& path, const plat::FindData& entry) {
    if (limitMiB_ != 0 && (entry.size >> 20) > limitMiB_) return;
    if (!Takes(path)) return;
    ++files_;
    auto it = known_.find(PathHashUtf8(path));
    bool stale = true;
    if (it != known_.end() && !it->second.ambiguous) {
      stale = Stale(it->second.state, it->second.lastBackupTime, entry);
    } else if (it != known_.end()) {
      std::lock_guard<std::recursive_mutex> guard(db_->Mutex());
      uint64_t offset = 0, next = 0;
      bool found = false;
      LogRecord record;
      if (db_->Lookup(path, &offset) &&
          db_->ReadRecord(offset, &record, &next, &found) == CLoggingDatabase::kOk && found) {
        stale = Stale(record.state, record.lastBackupTime, entry);
      }
    }
    if (!stale) return;
    batch_.push_back(path);
    if (batch_.size() >= kNoteBatch) Flush();
  }

  void Flush() {
    if (batch_.empty()) return;
    {
      std::lock_guard<std::recursive_mutex> guard(db_->Mutex());
      for (const std::string& path : batch_) {
        if (db_->NoteChangedFile(path) == CLoggingDatabase::kOk) ++noted_;
      }
    }
    // One notice per batch: the window counts the journal again.
    PostEvent(kEvFileNoted, batch_.back(), plan_->Id());
    batch_.clear();
  }

  CSimplePlan* plan_;
  CLoggingDatabase* db_;
  uint64_t limitMiB_ = 0;
  bool linked_ = false;
  KnownMap known_;
  std::vector<std::string> batch_;
  uint64_t files_ = 0, noted_ = 0;
};

uint64_t Fnv1a(uint64_t h, std::string_view text) {
  for (unsigned char c : text) {
    h ^= c;
    h *= 0x100000001B3ull;
  }
  return h ^ 0xFF;  // a separator between the parts
}

}  // namespace

CatchUpResult RunCatchUpWalk(CSimplePlan* plan) {
  if (plan == nullptr) return {};
  plat::SetCurrentThreadIdleIo(true);
  CatchUp walk(plan);
  const CatchUpResult result = walk.Run();
  plat::SetCurrentThreadIdleIo(false);
  return result;
}

std::string CatchUpFingerprint(CPlan* plan) {
  std::string rules;
  PlanSettings settings;
  {
    std::lock_guard<std::recursive_mutex> guard(plan->Lock());
    if (const CRuleSet* set = plan->Rules()) rules = FormatRuleSet(*set);
    settings = plan->Settings();
  }
  uint64_t h = 0xCBF29CE484222325ull;
  h = Fnv1a(h, rules);
  h = Fnv1a(h, settings.storePath);
  h = Fnv1a(h, std::to_string(settings.storageType));
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(h));
  return text;
}

CatchUpState ReadCatchUpState(std::string_view planFolder) {
  CatchUpState state;
  CKeyValueReader reader;
  if (planFolder.empty() || !reader.Open(plat::PathAppend(planFolder, kStateFile))) return state;
  std::string key, value;
  while (reader.Next(&key, &value)) {
    if (key == "fingerprint") state.fingerprint = value;
    if (key == "walked") state.walked = reader.Int64(0);
  }
  return state;
}

bool WriteCatchUpState(std::string_view planFolder, const CatchUpState& state) {
  if (planFolder.empty()) return false;
  CKeyValueWriter writer;
  writer.Add("fingerprint", state.fingerprint);
  writer.Add("walked", state.walked);
  return writer.Write(plat::PathAppend(planFolder, kStateFile));
}
