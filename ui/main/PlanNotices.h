// Which engine events become pop-ups, and their texts: finished runs and
// first backups with the number of files copied (a run the user asked for
// says so even when nothing was new; a continuous plan, which runs at every
// save, says only its first backup and what the user asked for), failing copies once per plan and
// cause until a copy of that plan succeeds again, and the other problems that leave files
// unprotected at most once per kind and plan a minute. No Qt: the main frame shows what it answers.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>

struct EventData;

struct PlanNotice {
  std::string text;
  bool warning = false;  // else information
};

class CPlanNotices {
 public:
  static constexpr int64_t kProblemQuietSeconds = 60;
  // The plan's name for an identifier ("" when it is gone).
  using NameLookup = std::function<std::string(uint32_t)>;
  // Whether the plan copies continuously (false when it is gone).
  using ContinuousLookup = std::function<bool(uint32_t)>;
  // A "Show Notification" setting as it is now (asked only when a pop-up
  // may follow: events come by the thousand).
  using Switch = std::function<bool()>;

  CPlanNotices(NameLookup names, ContinuousLookup continuous, Switch statusOn, Switch errorsOn)
      : names_(std::move(names)),
        continuous_(std::move(continuous)),
        statusOn_(std::move(statusOn)),
        errorsOn_(std::move(errorsOn)) {}

  std::optional<PlanNotice> OnEvent(const EventData& event, int64_t now);

 private:
  std::optional<PlanNotice> RunFinished(const EventData& event, int64_t copied);
  std::optional<PlanNotice> CopyFailed(const EventData& event);
  std::optional<PlanNotice> Problem(const EventData& event, int64_t now);

  NameLookup names_;
  ContinuousLookup continuous_;
  Switch statusOn_, errorsOn_;
  std::map<uint32_t, int64_t> scanCopied_;              // files copied by a running first scan
  std::set<std::pair<uint32_t, int32_t>> failingSaid_;  // (plan, error) said since its last success
  std::map<std::pair<int32_t, uint32_t>, int64_t> problemShown_;  // (event, plan) -> when
};
