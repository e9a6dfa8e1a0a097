#include "ui/main/RunSoon.h"

#include <QCoreApplication>
#include <QTimer>
#include <utility>

void RunSoon(QObject* context, std::function<void()> fn) {
  auto* timer = new QTimer(context != nullptr ? context : QCoreApplication::instance());
  timer->setSingleShot(true);
  QObject::connect(timer, &QTimer::timeout, timer, [timer, fn = std::move(fn)] {
    timer->deleteLater();
    fn();
  });
  timer->start(0);
}
