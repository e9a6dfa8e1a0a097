#include <mutex>

#include "common/ActivityLog.h"

namespace {
std::mutex g_providerLock;  // guards g_provider
PlanInfoProvider g_provider;
}  // namespace

void SetPlanInfoProvider(PlanInfoProvider provider) {
  std::lock_guard<std::mutex> g(g_providerLock);
  g_provider = std::move(provider);
}

bool LookUpPlanForLog(uint32_t planId, PlanInfoForLog* info) {
  PlanInfoProvider provider;
  {
    std::lock_guard<std::mutex> g(g_providerLock);
    provider = g_provider;
  }
  // Called without the lock: the provider takes the plan list's lock.
  return provider && info && provider(planId, info);
}
