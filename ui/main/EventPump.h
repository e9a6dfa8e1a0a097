// The main view's engine-event pump: a receiver subscribed to both global
// event channels and a 100 ms timer (the view's timer 6) that empties it on
// the UI thread. Each event is handed to whoever listens (the plan grid, the
// notification icon, the pop-ups). The activity log is not fed from this
// queue: the pump starts the process's activity logger, which takes every
// event from the channels themselves, whatever this queue drops, and each
// drain first writes what the logger holds.
#pragma once
#include <QObject>
#include <QTimer>

#include "common/EngineEvents.h"

class CEventPump : public QObject {
  Q_OBJECT
 public:
  static constexpr int kIntervalMs = 100;

  // Subscribes the receiver at once: events posted from here on are queued
  // (at most CMessageReciever::kMaxQueued) even before Start().
  explicit CEventPump(QObject* parent = nullptr);
  ~CEventPump() override;

  void Start();
  void Stop();
  bool IsRunning() const { return timer_.isActive(); }

  // Writes the activity logger's records, then pops until the queue is
  // empty, handling each event; returns how many were handled. The timer calls this; a caller may
  // too (UI thread only).
  int Drain();

  CMessageReciever& Receiver() { return receiver_; }

 signals:
  // One handled event. Emitted
  // on the UI thread; connect directly (EventData is not a Qt meta type).
  void eventArrived(CMEvent* source, const EventData& event);
  // After each timer tick's drain: the place for the periodic checks that
  // share this timer (the power state).
  void drained();

 private:
  void OnTick();

  CMessageReciever receiver_;
  QTimer timer_;
};
