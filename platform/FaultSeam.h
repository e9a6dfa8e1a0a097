// Test-only fault injection for the file layer. Every call of Files.h that
// touches the disk counts once; an armed seam makes the Nth counted call after
// arming fail with the chosen Windows error (once, or every call from then on).
#pragma once
#include <cstdint>

namespace plat::fault {

void Arm(uint64_t nth, uint32_t error, bool persistent = false);
void Disarm();
bool Fired();         // a fault fired since the last Arm
uint64_t Calls();     // counted calls since the last Arm
// Used by the file layer: true when this call must fail; sets the last error.
bool Hit();

}  // namespace plat::fault
