// The single-instance gate: one instance per machine and one user at a time.
// Pass() is the start-up gate; Leave() undoes it at exit.
#pragma once
#include <string>

#include "platform/process/Locks.h"

class CInstanceGate {
 public:
  static constexpr int kExitingTries = 100;
  static constexpr int kExitingWaitMs = 200;

  CInstanceGate() = default;
  CInstanceGate(const CInstanceGate&) = delete;
  CInstanceGate& operator=(const CInstanceGate&) = delete;

  // True when this process may continue. On refusal the reason is traced; a
  // running instance of this user is asked to show itself, another user's
  // instance is reported with "ANOTHER_USER".
  bool Pass();
  // Publishes the running instance's window handle (its socket name).
  void SetWindowHandle(const std::string& handle);
  // Clears the window handle when hasWindow, leaves the instance count and
  // releases the global mutex.
  void Leave(bool hasWindow);

  plat::InstanceBlock& Block() { return block_; }

 private:
  bool WaitWhileExiting();

  plat::InstanceBlock block_;
  plat::NamedMutex initializing_;  // held while the gate runs
  plat::NamedMutex global_;        // held for the life of the process
};
