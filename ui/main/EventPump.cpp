#include "ui/main/EventPump.h"

#include "engine/ActivityLogger.h"

namespace {

// Test seam: BREVANTO_PUMP_INTERVAL_MS slows the pump, standing for a busy
// interface thread, so that a test can make the bounded queue overflow.
int PumpInterval() {
  bool ok = false;
  const int ms = qEnvironmentVariableIntValue("BREVANTO_PUMP_INTERVAL_MS", &ok);
  return ok && ms > 0 ? ms : CEventPump::kIntervalMs;
}

}  // namespace

CEventPump::CEventPump(QObject* parent) : QObject(parent) {
  // The activity log is fed apart from this queue, which may drop.
  CActivityLogger::Instance().Start();
  timer_.setInterval(PumpInterval());
  connect(&timer_, &QTimer::timeout, this, &CEventPump::OnTick);
}

CEventPump::~CEventPump() { timer_.stop(); }

void CEventPump::Start() { timer_.start(); }

void CEventPump::Stop() { timer_.stop(); }

int CEventPump::Drain() {
  // Every record first, also of the events this queue dropped.
  CActivityLogger::Instance().Flush();
  int handled = 0;
  CMEvent* source = nullptr;
  EventData event;
  // Events arriving while this runs are taken in the same pass.
  while (receiver_.Pop(&source, &event)) {
    emit eventArrived(source, event);
    ++handled;
  }
  return handled;
}

void CEventPump::OnTick() {
  Drain();
  emit drained();
}
