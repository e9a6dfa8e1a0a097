// The catch-up walk: a walk over a plan's sources that notes in its journal
// every file the journal has no record of, or that changed after its last
// copy (written while the program was off, already present in a folder added
// to the plan, forgotten when the journal was recreated, or missed when the
// change source lost events). It reads no file contents and writes nothing
// to the journal when nothing is to do.
//
// "catchup.ini" in the plan's folder remembers what the last complete walk
// saw: the fingerprint of the plan's sources, rules and destination and the
// time it ended.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

class CPlan;
class CSimplePlan;

struct CatchUpResult {
  uint64_t files = 0;  // files the plan takes
  uint64_t noted = 0;  // of them, noted in the journal
  bool complete = false;
};

// Runs on the plan's working thread at the idle I/O class; notes in batches,
// so change notifications never wait for the whole walk. Ends early when the
// plan stops or is disabled, or its thread is told to stop.
CatchUpResult RunCatchUpWalk(CSimplePlan* plan);

// A digest of what the plan protects and where its copies go: its rule set
// (sources, masks, exclusions) and its destination.
std::string CatchUpFingerprint(CPlan* plan);

struct CatchUpState {
  std::string fingerprint;  // empty when no walk has completed
  int64_t walked = 0;       // end of the last complete walk
};
// planFolder ends with "\". Missing file: an empty state.
CatchUpState ReadCatchUpState(std::string_view planFolder);
bool WriteCatchUpState(std::string_view planFolder, const CatchUpState& state);
