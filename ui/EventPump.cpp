#include "ui/EventPump.h"

#include "engine/ActivityLog.h"

CEventPump::CEventPump(QObject* parent) : QObject(parent) {
  timer_.setInterval(kIntervalMs);
  connect(&timer_, &QTimer::timeout, this, &CEventPump::OnTick);
}

CEventPump::~CEventPump() { timer_.stop(); }

void CEventPump::Start() { timer_.start(); }

void CEventPump::Stop() { timer_.stop(); }

int CEventPump::Drain() {
  int handled = 0;
  CMEvent* source = nullptr;
  EventData event;
  // Events arriving while this runs are taken in the same pass.
  while (receiver_.Pop(&source, &event)) {
    CLogSet::Instance().LogEvent(event);
    emit eventArrived(source, event);
    ++handled;
  }
  return handled;
}

void CEventPump::OnTick() {
  Drain();
  emit drained();
}
