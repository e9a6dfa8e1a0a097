// Test-only fault injection for the file layer. Every step of Files.h that
// touches the disk (an open, each chunk written or read, a sync, a rename, a
// folder read) counts once; an armed seam makes the Nth counted step after
// arming fail with the chosen Windows error (once, or every step from then
// on). Clean-up after a failure (removing a temporary file) is never counted,
// so a fault leaves the disk as a real failure at that step would.
#pragma once
#include <cstdint>

namespace plat::fault {

void Arm(uint64_t nth, uint32_t error, bool persistent = false);
void Disarm();
bool Fired();      // a fault fired since the last Arm
uint64_t Calls();  // counted calls since the last Arm
// Used by the file layer: true when this call must fail; sets the last error.
bool Hit();
// The calling thread's steps are never counted: for the program's own
// background threads (device watch), whose file reads would otherwise take a
// fault meant for the step a test aims at.
void ExemptThisThread();

// A pause before each chunk of a file copy, for tests that need a copy that
// takes long (a slow disk): set here, or in a program under test by the
// variable BREVANTO_FAULT_COPY_DELAY_MS (read once). 0: no pause.
void SetCopyDelay(uint32_t ms);
uint32_t CopyDelay();

}  // namespace plat::fault
