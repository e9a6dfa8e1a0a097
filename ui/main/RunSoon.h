// Work the UI thread does once its event loop is next free.
#pragma once
#include <functional>

class QObject;

// Runs fn on the UI thread from a zero timer, not from a posted event (which
// is what a zero-delay single shot becomes). When fn opens a modal window,
// Qt's glib event loop would not deliver, inside a posted event's handler,
// the calls other threads posted before it began: a worker waiting for its
// call to be handled would wait for ever. fn is dropped if context goes
// first (a null context: the application).
void RunSoon(QObject* context, std::function<void()> fn);
