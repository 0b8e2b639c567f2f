#include "Foundation/Qt/QtMainQueue.h"

#include <QMetaObject>

#include <cmath>

namespace qv {

QtMainQueue::QtMainQueue() : context_(new QObject) {}

QtMainQueue::~QtMainQueue() {
    delete context_;
}

void QtMainQueue::post(std::function<void()> task) {
    QMetaObject::invokeMethod(
        context_, [task = std::move(task)] { task(); }, Qt::QueuedConnection);
}

TaskHandle QtMainQueue::postAfter(Seconds delay, std::function<void()> task) {
    auto handle = TaskHandle::make();
    int ms = static_cast<int>(std::lround(std::max(0.0, delay) * 1000.0));
    QTimer::singleShot(ms, Qt::PreciseTimer, context_, [handle, task = std::move(task)] {
        if (!handle.isCancelled()) {
            task();
        }
    });
    return handle;
}

TaskHandle QtMainQueue::scheduleRepeating(Seconds interval, std::function<void()> tick) {
    auto handle = TaskHandle::make();
    auto* timer = new QTimer(context_);
    timer->setTimerType(Qt::PreciseTimer);
    timer->setInterval(static_cast<int>(std::lround(std::max(0.001, interval) * 1000.0)));
    QObject::connect(timer, &QTimer::timeout, timer, [timer, handle, tick = std::move(tick)] {
        if (handle.isCancelled()) {
            timer->stop();
            timer->deleteLater();
            return;
        }
        tick();
    });
    timer->start();
    return handle;
}

Seconds QtMainQueue::now() const {
    return clock_.now();
}

}  // namespace qv
