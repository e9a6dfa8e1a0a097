#include "engine/CTask.h"

#include "plans/Schedule.h"
#include "platform/process/Clock.h"

CTask::CTask(int64_t baseTime, int32_t scheduleNum, int32_t scheduleUnit, uint32_t key, bool unique)
    : scheduleUnit_(scheduleUnit),
      scheduleNum_(scheduleNum),
      key_(key),
      unique_(unique),
      baseTime_(baseTime) {
  RecomputeDue();
}

void CTask::RecomputeDue() {
  nextDue_.store(ComputeDueNow(scheduleUnit_, scheduleNum_, baseTime_, lastRun_.load()));
}

void CTask::MarkRun() {
  lastRun_.store(plat::Now());
  RecomputeDue();
}
