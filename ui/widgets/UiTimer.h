// Timers of the windows (icon animation, pop-up hide timer, countdown). They
// are made through one factory so that a test can drive them with a clock of
// its own instead of waiting for real seconds.
#pragma once
#include <functional>
#include <memory>

class CUiTimer {
 public:
  virtual ~CUiTimer() = default;
  // Starts, or restarts from now, firing every periodMs until stopped.
  virtual void Start(int periodMs) = 0;
  virtual void Stop() = 0;
  virtual bool IsActive() const = 0;
  virtual int Period() const = 0;
  // The handler may destroy the timer's owner (and with it the timer).
  void OnTimeout(std::function<void()> handler) { handler_ = std::move(handler); }

 protected:
  void Fire() {
    auto handler = handler_;  // a copy: the handler may delete this timer
    if (handler) handler();
  }

 private:
  std::function<void()> handler_;
};

using UiTimerFactory = std::function<std::unique_ptr<CUiTimer>()>;

// A Qt timer on the UI thread, or whatever the installed factory makes.
std::unique_ptr<CUiTimer> MakeUiTimer();
// Installs a factory (an empty one restores Qt timers); returns the previous.
UiTimerFactory SetUiTimerFactory(UiTimerFactory factory);
