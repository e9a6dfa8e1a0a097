#include "engine/CatchUpRequests.h"

#include <map>
#include <mutex>

namespace catchup {
namespace {

struct Registry {
  std::mutex lock;  // guards everything below
  uint64_t allGeneration = 0;
  uint64_t requests = 0;
  std::map<uint32_t, uint64_t> seenAll;  // plan -> allGeneration it last took
  std::map<uint32_t, bool> pendingOne;   // plan -> asked for this plan alone
};

Registry& Reg() {
  static Registry* r = new Registry;  // never destroyed: threads may ask at exit
  return *r;
}

}  // namespace

void Request(uint32_t planId, const std::string&) {
  Registry& r = Reg();
  std::lock_guard<std::mutex> g(r.lock);
  ++r.requests;
  if (planId == 0)
    ++r.allGeneration;
  else
    r.pendingOne[planId] = true;
}

bool Take(uint32_t planId) {
  Registry& r = Reg();
  std::lock_guard<std::mutex> g(r.lock);
  bool due = false;
  auto one = r.pendingOne.find(planId);
  if (one != r.pendingOne.end() && one->second) {
    one->second = false;
    due = true;
  }
  uint64_t& seen = r.seenAll[planId];
  if (seen != r.allGeneration) {
    seen = r.allGeneration;
    due = true;
  }
  return due;
}

void Forget(uint32_t planId) {
  Registry& r = Reg();
  std::lock_guard<std::mutex> g(r.lock);
  r.seenAll.erase(planId);
  r.pendingOne.erase(planId);
}

uint64_t RequestCount() {
  Registry& r = Reg();
  std::lock_guard<std::mutex> g(r.lock);
  return r.requests;
}

}  // namespace catchup
