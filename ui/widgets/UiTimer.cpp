#include "ui/widgets/UiTimer.h"

#include <QTimer>

namespace {

class CQtUiTimer : public CUiTimer {
 public:
  CQtUiTimer() {
    QObject::connect(&timer_, &QTimer::timeout, [this] { Fire(); });
  }
  void Start(int periodMs) override { timer_.start(periodMs); }
  void Stop() override { timer_.stop(); }
  bool IsActive() const override { return timer_.isActive(); }
  int Period() const override { return timer_.interval(); }

 private:
  QTimer timer_;
};

// Only the UI thread makes window timers, so the factory needs no lock.
UiTimerFactory& Factory() {
  static UiTimerFactory factory;
  return factory;
}

}  // namespace

std::unique_ptr<CUiTimer> MakeUiTimer() {
  if (Factory()) return Factory()();
  return std::make_unique<CQtUiTimer>();
}

UiTimerFactory SetUiTimerFactory(UiTimerFactory factory) {
  UiTimerFactory previous = std::move(Factory());
  Factory() = std::move(factory);
  return previous;
}
