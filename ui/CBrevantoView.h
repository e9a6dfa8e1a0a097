// The main view inside the main frame. It owns the engine-event pump (its
// 100 ms timer) and for now shows a header and a placeholder where the plan
// list will be drawn.
#pragma once
#include <QWidget>

#include "ui/EventPump.h"

class CBrevantoView : public QWidget {
  Q_OBJECT
 public:
  // Runs the engine start-up routine before any widget is built.
  explicit CBrevantoView(QWidget* parent = nullptr);

  // Drains the engine events; the plan grid connects to its eventArrived.
  CEventPump* EventPump() { return &pump_; }

 private:
  // Built before the engine starts, so the events of start-up are queued.
  CEventPump pump_;
};
