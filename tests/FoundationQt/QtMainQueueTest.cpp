#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>

#include <thread>
#include <vector>

#include "Foundation/Qt/QtMainQueue.h"

namespace qv {
namespace {

TEST(QtMainQueue, PostsDelaysTimersAndCancellationOnTheEventLoop) {
    int argc = 0;
    QCoreApplication app(argc, nullptr);
    QtMainQueue queue;
    std::vector<std::string> events;
    const auto mainThread = std::this_thread::get_id();
    bool allOnMain = true;
    auto note = [&](std::string e) {
        allOnMain &= std::this_thread::get_id() == mainThread;
        events.push_back(std::move(e));
    };

    std::thread other([&] { queue.post([&] { note("from other thread"); }); });
    other.join();
    queue.post([&] { note("posted"); });
    auto cancelled = queue.postAfter(0.02, [&] { note("cancelled"); });
    cancelled.cancel();
    queue.postAfter(0.03, [&] { note("delayed"); });
    int ticks = 0;
    TaskHandle timer;
    timer = queue.scheduleRepeating(0.01, [&] {
        if (++ticks == 3) {
            timer.cancel();
            note("three ticks");
        }
    });
    QTimer::singleShot(150, &app, &QCoreApplication::quit);
    app.exec();

    EXPECT_TRUE(allOnMain);
    EXPECT_EQ(ticks, 3);
    EXPECT_EQ(events.front(), "from other thread");
    EXPECT_EQ(events[1], "posted");
    EXPECT_EQ(std::count(events.begin(), events.end(), "delayed"), 1);
    EXPECT_EQ(std::count(events.begin(), events.end(), "cancelled"), 0);
    EXPECT_EQ(std::count(events.begin(), events.end(), "three ticks"), 1);
}

}  // namespace
}  // namespace qv
