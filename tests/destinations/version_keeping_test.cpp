// Versions kept by age: the rule on a clock the test sets, checked against the windows worked
// out pair by pair; the age limit, the ceiling and the count rule of older plans.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "common/PlanSettings.h"
#include "destinations/VersionKeeping.h"

namespace {

constexpr int64_t kHour = 3600, kDay = 86400;

// The window of a revision this old, from the table of tiers (not from the code under test).
int64_t WindowByHand(int64_t age) {
  const int64_t tiers[][2] = {{kHour, 0}, {kDay, 600}, {7 * kDay, kHour}, {30 * kDay, kDay}};
  for (const auto& [below, width] : tiers)
    if (age < below) return width;
  return 7 * kDay;
}

TEST(VersionKeeping, ThousandSavesOverNinetyDaysKeepWhatTheWindowsSay) {
  // Bursts of saves seconds apart, edits every few minutes, and days between sessions.
  std::mt19937_64 random(27);
  std::vector<int64_t> saves{1'700'000'000};
  while (saves.size() < 1000) {
    const uint64_t kind = random() % 10;
    int64_t gap = kind < 5   ? 5 + random() % 115
                  : kind < 8 ? 600 + random() % 2400
                             : kHour + random() % (18 * kHour);
    if (saves.size() > 980) gap = 1 + random() % 120;  // the last hour holds several
    saves.push_back(saves.back() + gap);
  }
  const int64_t span = saves.back() - saves.front();
  ASSERT_GT(span, 80 * kDay);
  ASSERT_LT(span, 100 * kDay);

  // Save i turns save i - 1 into revision i - 1 and rotates, on the clock of save i.
  std::vector<StoredVersion> store;
  for (size_t i = 1; i < saves.size(); ++i) {
    store.push_back({static_cast<int64_t>(i - 1), saves[i - 1]});
    const std::vector<int64_t> kept = RevisionsToKeep(store, saves[i], kKeepYear, 998);
    std::erase_if(store, [&](const StoredVersion& v) {
      return std::find(kept.begin(), kept.end(), v.number) == kept.end();
    });
  }

  // By hand: a revision stays when no later revision shares its window at its age now.
  const int64_t now = saves.back();
  std::vector<int64_t> expected;
  std::vector<int> perWindow(5, 0);
  for (size_t j = 0; j + 1 < saves.size(); ++j) {
    const int64_t width = WindowByHand(now - saves[j]);
    bool shadowed = false;
    for (size_t k = j + 1; k + 1 < saves.size() && width > 0; ++k)
      shadowed |= saves[k] / width == saves[j] / width;
    if (shadowed) continue;
    expected.push_back(static_cast<int64_t>(j));
    ++perWindow[width == 0 ? 0 : width == 600 ? 1 : width == kHour ? 2 : width == kDay ? 3 : 4];
  }
  std::vector<int64_t> got;
  for (const StoredVersion& v : store) got.push_back(v.number);
  EXPECT_EQ(got, expected);
  for (int tier = 0; tier < 5; ++tier) EXPECT_GT(perWindow[tier], 1) << "tier " << tier;
  EXPECT_LT(expected.size(), 400u);
}

TEST(VersionKeeping, AgeLimitCeilingAndTheCountRule) {
  const int64_t now = 1'800'000'000;
  struct Row {
    const char* what;
    int32_t keepDays;
    std::vector<int64_t> kept;
    std::vector<StoredVersion> revisions;
    int32_t most = 998;
  } rows[] = {
      {"replaced over a day ago goes",
       kKeepDay,
       {2, 3},
       {{1, now - 3 * kDay}, {2, now - 2 * kDay}, {3, now - 60}}},
      {"the newest revision never goes for its age", kKeepMonth, {1}, {{1, now - 400 * kDay}}},
      {"no limit of age", kKeepAsManyAsFit, {1, 2}, {{1, now - 400 * kDay}, {2, now - 300 * kDay}}},
      {"the ceiling drops the oldest",
       kKeepYear,
       {3, 4},
       {{1, now - 50}, {2, now - 40}, {3, now - 30}, {4, now - 20}},
       2},
      {"under a week old: one per hour, even two in one day",
       kKeepYear,
       {1, 2, 3},
       {{1, now - 6 * kDay - 14 * kHour}, {2, now - 6 * kDay - 12 * kHour}, {3, now - 60}}},
      {"equal times: the higher number is newer",
       kKeepYear,
       {8},
       {{7, now - 2 * kHour}, {8, now - 2 * kHour}}},
  };
  for (const Row& row : rows)
    EXPECT_EQ(RevisionsToKeep(row.revisions, now, row.keepDays, row.most), row.kept) << row.what;

  // Without an age setting, or a time in the listing, the newest by number are kept.
  const std::vector<VersionEntry> listed = {{"r(0002)", 2, 1, now - 2 * kHour},
                                            {"r(0005)", 5, 1, now - 2 * kHour + 1},
                                            {"r(0009)", 9, 1, now - 3 * kHour}};
  using Flags = std::vector<bool>;
  EXPECT_EQ(RevisionsToRemove(listed, 9, true, now, 3, kKeepByCount, now),
            Flags({true, true, false}));
  EXPECT_EQ(RevisionsToRemove(listed, 9, true, now, 999, kKeepMonth, now),
            Flags({true, false, false}));
  std::vector<VersionEntry> untimed = listed;
  untimed[0].time = 0;
  EXPECT_EQ(RevisionsToRemove(untimed, 9, false, 0, 3, kKeepMonth, now),
            Flags({true, true, false}));
  EXPECT_EQ(RevisionsToRemove(listed, 9, false, 0, 1, kKeepMonth, now), Flags(3, true));
}

}  // namespace
