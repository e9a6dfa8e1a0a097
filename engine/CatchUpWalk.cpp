#include "engine/CatchUpWalk.h"
#include "engine/CSimplePlan.h"

#include <mutex>
#include <vector>

#include "common/EngineEvents.h"
#include "common/KeyValueFile.h"
#include "common/Settings.h"
#include "engine/FolderRules.h"
#include "engine/PlanList.h"
#include "engine/SourceWalk.h"
#include "history/CLoggingDatabase.h"
#include "history/Crc64.h"
#include "plans/CPlan.h"
#include "plans/PlanSources.h"
#include "plans/RuleFile.h"
#include "plans/RuleSet.h"
#include "platform/base/Errors.h"
#include "platform/base/Text.h"
#include "platform/files/FilesBelow.h"
#include "platform/volumes/MountPoints.h"
#include "platform/volumes/Paths.h"

namespace {

constexpr char kStateFile[] = "catchup.ini";
// Records read, and files noted, per hold of the journal's lock.
constexpr size_t kReadBatch = 2048;
constexpr size_t kNoteBatch = 256;

// A digest of a file stamp; 0 for a stamp not known.
uint64_t StampDigest(const plat::FileStamp& stamp) {
  if (!stamp.Known()) return 0;
  uint64_t h = 0xCBF29CE484222325ull;
  for (const uint64_t v : {static_cast<uint64_t>(stamp.writeNs),
                           static_cast<uint64_t>(stamp.changeNs), stamp.size, stamp.inode}) {
    h = (h ^ v) * 0x100000001B3ull;
    h ^= h >> 29;
  }
  return h == 0 ? 1 : h;
}

// What the journal knew of a path when the walk began.
struct Known {
  uint64_t hash = 0;
  int64_t lastBackupTime = 0;
  uint64_t stamp = 0;  // StampDigest of the source as its last copy saw it
  uint16_t state = 0;
  bool used = false;
  bool ambiguous = false;  // two records share the hash: ask the journal itself
};

// Known records by path hash: open addressing, at most half full, no
// allocation per record.
class KnownTable {
 public:
  void Note(uint64_t hash, int64_t lastBackupTime, uint64_t stamp, uint16_t state) {
    if ((count_ + 1) * 2 > slots_.size()) Grow();
    Known& k = Slot(hash);
    if (k.used) {
      k.ambiguous = true;
    } else {
      k.used = true;
      k.hash = hash;
      ++count_;
    }
    k.lastBackupTime = lastBackupTime;
    k.stamp = stamp;
    k.state = state;
  }
  const Known* Find(uint64_t hash) const {
    if (slots_.empty()) return nullptr;
    const size_t mask = slots_.size() - 1;
    for (size_t i = Home(hash) & mask; slots_[i].used; i = (i + 1) & mask) {
      if (slots_[i].hash == hash) return &slots_[i];
    }
    return nullptr;
  }

 private:
  // The hash mixed, so that hashes written to collide do not form long runs.
  static size_t Home(uint64_t x) {
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBull;
    return static_cast<size_t>(x ^ (x >> 31));
  }
  // The slot holding hash, or the empty one where it would go.
  Known& Slot(uint64_t hash) {
    const size_t mask = slots_.size() - 1;
    size_t i = Home(hash) & mask;
    while (slots_[i].used && slots_[i].hash != hash) i = (i + 1) & mask;
    return slots_[i];
  }
  void Grow() {
    std::vector<Known> old(slots_.empty() ? 1024 : slots_.size() * 2);
    old.swap(slots_);
    for (const Known& k : old) {
      if (k.used) Slot(k.hash) = k;
    }
  }

  std::vector<Known> slots_;
  size_t count_ = 0;
};

// One pass over the journal in file order, the lock taken per batch.
void ReadKnown(CLoggingDatabase* db, KnownTable* known) {
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
      known->Note(record.pathHash, record.lastBackupTime, StampDigest(record.stamp), record.state);
      offset = next;
    }
  }
}

// Whether a file the plan takes must be noted, given its record. A copied
// file changed when its stamp differs from the one its copy saw (a write,
// also one within the second of the copy; a file put back with an older
// time, which still moves the status time; another file under the name), or
// when its time is not older than the second the copy began: a write in
// that very second may look like the copy on a file system whose times are
// coarse (a second copy settles it). Records without a stamp know only the
// time.
bool Stale(uint16_t state, int64_t lastBackupTime, uint64_t stamp, const plat::FindData& entry) {
  if (LogRecord::IsPendingState(state)) return false;  // waits for its copy already
  if (!(state & kLogCopied)) return true;  // gone or too large before, back (or small enough) now
  if (entry.writeTime >= lastBackupTime) return true;
  return stamp != 0 && stamp != StampDigest(entry.stamp);
}

// CRC-64 register over text as UTF-16LE, text being valid UTF-8: the journal's
// path hash (PathHash) taken piecewise, without a converted copy.
uint64_t HashUtf8AsUtf16(uint64_t reg, std::string_view text) {
  uint8_t units[256];
  size_t n = 0;
  auto put = [&](uint32_t unit) {
    units[n++] = static_cast<uint8_t>(unit & 0xFF);
    units[n++] = static_cast<uint8_t>(unit >> 8);
  };
  for (size_t i = 0; i < text.size();) {
    uint32_t c = static_cast<unsigned char>(text[i]);
    const size_t length = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    if (length > 1) c &= 0x7Fu >> length;
    for (size_t k = 1; k < length && i + k < text.size(); ++k) {
      c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    }
    i += length;
    if (c >= 0x10000) {
      c -= 0x10000;
      put(0xD800 + (c >> 10));
      put(0xDC00 + (c & 0x3FF));
    } else {
      put(c);
    }
    if (n + 4 > sizeof units) {
      reg = Crc64Update(reg, units, n);
      n = 0;
    }
  }
  return Crc64Update(reg, units, n);
}

class CatchUp {
 public:
  explicit CatchUp(CSimplePlan* plan) : plan_(plan), db_(plan->Database()) {
    const int limit = GetBackupFileMaxSize();
    limitMiB_ = limit > 0 ? static_cast<uint64_t>(limit) : 0;
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
    FolderWalker walker(plan_, &gate, /*pacePerEntry=*/false);
    auto onFolder = [this](const std::string& folder) { return EnterFolder(folder); };
    auto onFile = [this](const std::string& folder, const plat::FindData& entry) {
      Consider(folder, entry);
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
  // Settles what can be settled for the folder's files: whether the plan
  // takes them, and the hash of the folder's part of their paths.
  bool EnterFolder(const std::string& folder) {
    IPlanOwner* list = plan_->Owner();
    if (list != nullptr && !list->IsPathEligible(folder)) return false;
    const std::string upper = plat::ToUpper(folder);
    {
      std::lock_guard<std::recursive_mutex> guard(plan_->Lock());
      const CRuleSet* rules = plan_->Rules();
      if (rules == nullptr) return false;
      own_.Build(*rules, upper);
    }
    if (own_.Settled() && !own_.Takes({}, 0)) return false;
    folderHash_ = HashUtf8AsUtf16(~0ull, folder);
    return true;
  }

  bool Takes(const plat::FindData& entry) { return own_.Takes(entry.name, entry.attributes); }

  void Consider(const std::string& folder, const plat::FindData& entry) {
    if (!Takes(entry) || plat::IsArrivingFile(entry.name)) return;
    ++files_;
    const Known* known = known_.Find(~HashUtf8AsUtf16(folderHash_, entry.name));
    // A file still too large stays so; a new one is noted, so that the
    // journal's walk says it is skipped.
    const bool tooLarge = limitMiB_ != 0 && (entry.size >> 20) > limitMiB_;
    if (tooLarge && known != nullptr && (known->state & kLogTooLarge)) return;
    bool stale = true;
    if (known != nullptr && !known->ambiguous) {
      stale = Stale(known->state, known->lastBackupTime, known->stamp, entry);
    } else if (known != nullptr) {
      std::lock_guard<std::recursive_mutex> guard(db_->Mutex());
      uint64_t offset = 0, next = 0;
      bool found = false;
      LogRecord record;
      if (db_->Lookup(folder + entry.name, &offset) &&
          db_->ReadRecord(offset, &record, &next, &found) == CLoggingDatabase::kOk && found) {
        stale = Stale(record.state, record.lastBackupTime, StampDigest(record.stamp), entry);
      }
    }
    if (!stale) return;
    // Only what is noted is paced: a walk over unchanged files reads the
    // folders at the thread's idle priorities without sleeping.
    PaceEntry(plan_);
    batch_.push_back(folder + entry.name);
    if (batch_.size() >= kNoteBatch) Flush();
  }

  void Flush() {
    if (batch_.empty()) return;
    {
      std::lock_guard<std::recursive_mutex> guard(db_->Mutex());
      for (const std::string& path : batch_) {
        if (db_->NoteChangedFile(path) == CLoggingDatabase::kOk) {
          ++noted_;
        } else if (plat::GetLastError() == plat::kErrDiskFull) {
          plan_->NoteChangesMissed();  // walked again once the journal has room
        }
      }
    }
    // One notice per batch: the window counts the journal again.
    PostEvent(kEvFileNoted, batch_.back(), plan_->Id());
    batch_.clear();
  }

  CSimplePlan* plan_;
  CLoggingDatabase* db_;
  uint64_t limitMiB_ = 0;
  KnownTable known_;
  FolderRules own_;          // this plan's rules for the current folder
  uint64_t folderHash_ = 0;  // CRC register over the current folder's path
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
