// The changes a plan noted in the last seconds, on the monotonic clock. A
// file is quiet once a full second has passed since its last note; the
// journal's whole-second change times can only tell that up to two seconds
// later. A continuous plan uses it to copy a burst as soon as it has settled.
#pragma once
#include <cstdint>
#include <deque>
#include <mutex>
#include <string_view>
#include <unordered_map>
#include <utility>

class RecentChanges {
 public:
  static constexpr uint64_t kQuietMs = 1000;
  // Notes are forgotten this long after they were made: the journal's own
  // change times tell quietness by then.
  static constexpr uint64_t kKeptMs = 3000;
  static constexpr size_t kMaxKept = 500000;

  // Called before the journal notes the change, so that a walk never sees
  // the journal's new change without this note.
  void Note(std::string_view path, uint64_t nowMs);
  // The path's last note lies at least kQuietMs before nowMs (false when it
  // is not known: the journal's change time decides then).
  bool Quiet(std::string_view path, uint64_t nowMs) const;
  // A note has become quiet since the last walk began: a walk would copy it.
  bool Settled(uint64_t nowMs) const;
  // Milliseconds until the first waiting note becomes quiet (0 when one
  // already is; -1 when none waits).
  int64_t MsUntilSettled(uint64_t nowMs) const;
  // A walk begins at nowMs: the notes quiet by then are its to copy.
  void BeginWalk(uint64_t nowMs);

 private:
  static uint64_t Key(std::string_view path);
  void Forget(uint64_t nowMs);

  mutable std::mutex lock_;                          // guards everything below
  std::deque<std::pair<uint64_t, uint64_t>> order_;  // (time, key) of every note kept, oldest first
  std::unordered_map<uint64_t, uint64_t> last_;      // key -> time of its last note
  uint64_t mark_ = 0;     // notes at or before it were quiet when the last walk began
  uint64_t waiting_ = 0;  // the first note after mark_, 0 when none
};
