#include "destinations/VersionKeeping.h"

#include <algorithm>

namespace {

constexpr int64_t kMinute = 60;
constexpr int64_t kHour = 60 * kMinute;
constexpr int64_t kDay = 24 * kHour;
constexpr int64_t kWeek = 7 * kDay;

// Floor division: times before 1970 fall in their own windows too.
int64_t WindowOf(int64_t time, int64_t width) {
  return time >= 0 ? time / width : -((-time + width - 1) / width);
}

bool Newer(const StoredVersion& a, const StoredVersion& b) {
  return a.time != b.time ? a.time > b.time : a.number > b.number;
}

}  // namespace

int64_t KeepWindowOfAge(int64_t age) {
  if (age < kHour) return 0;
  if (age < kDay) return 10 * kMinute;
  if (age < kWeek) return kHour;
  if (age < 30 * kDay) return kDay;
  return kWeek;
}

namespace {

// RevisionsToKeep as a flag per revision.
std::vector<bool> KeepFlags(const std::vector<StoredVersion>& revisions, int64_t now,
                            int32_t keepDays, int32_t maxRevisions) {
  struct Ranked {
    StoredVersion v;
    size_t index;
  };
  std::vector<Ranked> order(revisions.size());  // newest first
  for (size_t i = 0; i < order.size(); ++i) order[i] = {revisions[i], i};
  std::sort(order.begin(), order.end(),
            [](const Ranked& a, const Ranked& b) { return Newer(a.v, b.v); });
  std::vector<bool> keep(revisions.size(), false);
  size_t kept = 0;
  const size_t most = static_cast<size_t>(std::max(maxRevisions, 0));
  for (size_t at = 0; at < order.size() && kept < most; ++at) {
    const StoredVersion& v = order[at].v;
    // When this version was replaced: the time of the next newer revision
    // (the newest revision is the one the latest copy replaced: never old).
    if (at > 0 && keepDays > 0 && now - order[at - 1].v.time > int64_t{keepDays} * kDay) break;
    // A newer revision in v's window lies between v and it in this order, so
    // the next newer one tells whether the window has a newer one.
    const int64_t width = KeepWindowOfAge(now - v.time);
    if (width > 0 && at > 0 && WindowOf(order[at - 1].v.time, width) == WindowOf(v.time, width))
      continue;
    keep[order[at].index] = true;
    ++kept;
  }
  return keep;
}

}  // namespace

std::vector<int64_t> RevisionsToKeep(const std::vector<StoredVersion>& revisions, int64_t now,
                                     int32_t keepDays, int32_t maxRevisions) {
  const std::vector<bool> keep = KeepFlags(revisions, now, keepDays, maxRevisions);
  std::vector<int64_t> numbers;
  for (size_t i = 0; i < revisions.size(); ++i)
    if (keep[i]) numbers.push_back(revisions[i].number);
  return numbers;
}

std::vector<bool> RevisionsToRemove(const std::vector<VersionEntry>& listed, int64_t highest,
                                    bool movesLatest, int64_t latestTime, int32_t versions,
                                    int32_t keepDays, int64_t now) {
  std::vector<bool> removes(listed.size(), false);
  const bool byAge = keepDays != kKeepByCount &&
                     std::none_of(listed.begin(), listed.end(),
                                  [](const VersionEntry& entry) { return entry.time == 0; });
  if (!byAge || versions <= 1) {
    // The previous latest copy becomes highest + 1; a copy killed between its
    // rotation and its replacement left none, and then one more old one stays.
    const int64_t keepFrom = highest - versions + (movesLatest ? 3 : 2);
    for (size_t i = 0; i < listed.size(); ++i) removes[i] = listed[i].number < keepFrom;
    return removes;
  }
  std::vector<StoredVersion> revisions;
  revisions.reserve(listed.size() + 1);
  for (const VersionEntry& entry : listed) revisions.push_back({entry.number, entry.time});
  if (movesLatest) revisions.push_back({highest + 1, latestTime});
  const std::vector<bool> keep = KeepFlags(revisions, now, keepDays, versions - 1);
  for (size_t i = 0; i < listed.size(); ++i) removes[i] = !keep[i];
  return removes;
}
