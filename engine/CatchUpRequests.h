// Requests for a plan's catch-up walk: a walk over the plan's sources that
// notes in its journal every file the journal does not know or that changed
// since its last copy. Anyone may ask (the change monitor after lost
// events, the plan list after a plan's sources changed, start-up); the
// plan's working thread takes the request at its next look.
#pragma once
#include <cstdint>
#include <string>

namespace catchup {

// planId 0 asks every plan. reason is for the trace only.
void Request(uint32_t planId, const std::string& reason);
// True once per request made for this plan (or for all) since its last Take.
bool Take(uint32_t planId);
// Forgets the plan (it was deleted).
void Forget(uint32_t planId);
// Requests made so far (for tests and the trace).
uint64_t RequestCount();

}  // namespace catchup
