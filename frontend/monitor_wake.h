// The device monitor's wake-up: sampler threads signal that they are done, the monitor waits for it with a timeout.
#ifndef VANTREL_FRONTEND_MONITOR_WAKE_H
#define VANTREL_FRONTEND_MONITOR_WAKE_H

#include <chrono>
#include <condition_variable>
#include <mutex>

// A condition variable without state of its own: the waiter's predicate reads the state (atomic
// values stored by the notifying threads), and a notifier takes the mutex after its store, so a
// store made between the waiter's test and its wait is never missed. Standard library only,
// since the Windows build has no Boost.Thread.
class MonitorWake {
public:
    // Wakes the waiting monitor. Call after storing the change that its predicate reads.
    // Thread-safe; never waits beyond taking the mutex.
    void notify()
    {
        { std::lock_guard<std::mutex> lock(mutex_); }
        cond_.notify_all();
    }

    // Blocks until `done()` is true or `deadline` has passed, whichever comes first; `done` is
    // tested under the mutex, first before any wait and again after every wake-up, so a spurious
    // wake-up returns to the wait. Returns true when `done()` held, false only once the deadline
    // has passed with `done()` still false. Thread-safe; meant for one waiting thread.
    template <typename Predicate>
    bool waitUntil(std::chrono::steady_clock::time_point deadline, Predicate done)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return cond_.wait_until(lock, deadline, done);
    }

private:
    std::mutex mutex_;
    std::condition_variable cond_;
};

#endif
