#pragma once

#include <QObject>
#include <QTimer>

#include "Foundation/Clock.h"
#include "Foundation/MainQueue.h"

namespace qv {

// The main queue on the Qt event loop of the thread that created it (the GUI thread).
class QtMainQueue final : public MainQueue {
  public:
    QtMainQueue();
    ~QtMainQueue() override;

    void post(std::function<void()> task) override;
    TaskHandle postAfter(Seconds delay, std::function<void()> task) override;
    TaskHandle scheduleRepeating(Seconds interval, std::function<void()> tick) override;
    Seconds now() const override;

  private:
    QObject* context_;
    SystemClock clock_;
};

}  // namespace qv
