// The device monitor's wake-up: a timeout only at the deadline, whatever the notifications, and
// no lost wake-up when the state changes just before the wait.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "frontend/monitor_wake.h"

namespace {

using Clock = std::chrono::steady_clock;

TEST(MonitorWakeTest, NotificationsWithoutTheStateDoNotEndTheWait)
{
    MonitorWake wake;
    std::atomic<bool> stop{false};
    // Wakes the waiter over and over without ever making its predicate true.
    std::thread notifier([&] {
        while (!stop.load()) {
            wake.notify();
            std::this_thread::yield();
        }
    });
    int tests = 0;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(200);
    const bool done = wake.waitUntil(deadline, [&] {
        ++tests;
        return false;
    });
    const Clock::time_point returned = Clock::now();
    stop.store(true);
    notifier.join();

    EXPECT_FALSE(done);
    EXPECT_GE(returned, deadline);
    EXPECT_GT(tests, 1) << "the predicate was not tested again after a wake-up";
}

TEST(MonitorWakeTest, StateStoredBeforeNotifyIsNeverMissed)
{
    // The state changes and the notification comes while the waiter is between its test (which
    // saw the old state) and its wait. A lost wake-up would leave the waiter asleep until its
    // deadline, far beyond any scheduling delay.
    MonitorWake wake;
    for (int round = 0; round < 20; ++round) {
        std::atomic<bool> finished{false};
        std::atomic<bool> testing{false};
        std::thread leaver([&] {
            while (!testing.load()) std::this_thread::yield();
            finished.store(true);
            wake.notify();
        });
        const Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
        const bool done = wake.waitUntil(deadline, [&] {
            const bool seen = finished.load();
            // The first test lingers after reading the old state, so that the leaver stores and
            // notifies before the wait begins.
            if (!seen && !testing.exchange(true)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            return seen;
        });
        const Clock::time_point returned = Clock::now();
        leaver.join();
        ASSERT_TRUE(done) << "round " << round;
        ASSERT_LT(returned, deadline) << "round " << round << ": the wake-up was lost";
    }

    // A predicate already true returns at once, even with a deadline in the past.
    EXPECT_TRUE(wake.waitUntil(Clock::now() - std::chrono::seconds(1), [] { return true; }));
    EXPECT_FALSE(wake.waitUntil(Clock::now() - std::chrono::seconds(1), [] { return false; }));
}

} // namespace
