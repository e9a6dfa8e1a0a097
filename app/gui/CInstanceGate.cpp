#include "app/gui/CInstanceGate.h"

#include <QString>

#include "app/gui/CInstanceServer.h"
#include "common/Texts.h"
#include "platform/process/Clock.h"
#include "ui/widgets/AppMessage.h"
#include "ui/widgets/StartupTrace.h"

namespace {

constexpr char kInitializing[] = "BrevantoInitializing";
constexpr char kExiting[] = "BrevantoExiting";
constexpr char kRunning[] = "Global\\BrevantoIsRunning";

// Test seam: BREVANTO_EXITING_TRIES replaces the number of waits for an
// exiting instance, so that a test of the give-up path need not take 20 s.
int ExitingTries() {
  bool ok = false;
  const int tries = qEnvironmentVariableIntValue("BREVANTO_EXITING_TRIES", &ok);
  return ok && tries > 0 ? tries : CInstanceGate::kExitingTries;
}

}  // namespace

bool CInstanceGate::Pass() {
  // 1. Only one process runs the gate at a time; a second one gives up.
  if (initializing_.Create(kInitializing) == plat::MutexResult::kAlreadyExists) {
    initializing_.Close();
    TraceStartup("refused-initializing");
    return false;
  }
  // 2. An instance that is shutting down is waited for.
  if (!WaitWhileExiting()) {
    TraceStartup("refused-exiting");
    return false;
  }
  // 3. Another instance of this user: bring it forward. The initialising
  //    mutex is released when this process ends.
  if (block_.Increment() >= 2) {
    const std::string handle = block_.GetWindowHandle();
    if (!handle.empty() && CInstanceServer::SendShow(handle)) TraceStartup("sent-show");
    TraceStartup("refused-running");
    return false;
  }
  // 4. The global mutex is held by whoever runs the program on this machine.
  const plat::MutexResult running = global_.Create(kRunning);
  if (running == plat::MutexResult::kAlreadyExists || running == plat::MutexResult::kAccessDenied) {
    TraceStartup("refused-another-user");
    ShowAppMessage(GetText("MAIN_UI", "ANOTHER_USER"), QMessageBox::Information);
    return false;
  }
  // 5. Let the next process through the gate.
  initializing_.Close();
  return true;
}

bool CInstanceGate::WaitWhileExiting() {
  const int tries = ExitingTries();
  for (int i = 0; i < tries; ++i) {
    if (!plat::NamedMutexExists(kExiting)) return true;
    if (i == 0) TraceStartup("waiting-exiting");
    plat::SleepMs(kExitingWaitMs);
  }
  return false;
}

void CInstanceGate::SetWindowHandle(const std::string& handle) { block_.SetWindowHandle(handle); }

void CInstanceGate::Leave(bool hasWindow) {
  if (hasWindow) block_.SetWindowHandle({});
  block_.Decrement();
  global_.Close();
}
