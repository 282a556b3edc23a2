// A first-in-first-out queue of owned items shared by the front end's threads, with a level filter.
#ifndef VANTREL_FRONTEND_SYNC_QUEUE_H
#define VANTREL_FRONTEND_SYNC_QUEUE_H

#include <algorithm>
#include <condition_variable>
#include <list>
#include <memory>
#include <mutex>

// Holds owned items, oldest first, without a capacity bound. `limit` is a level filter:
// a push at `level` is accepted only when limit >= level and limit >= 1; a refused item is
// deleted. Pushes never wait; pops wait while the queue is empty, unless it is closed to its
// waiters (close). Every operation is thread-safe; the mutex is held only for the queue
// operation itself. An empty queue holds no memory: a queue made before main allocates nothing,
// so that no allocation can fail before the program's failure road can take it.
template <typename Item>
class SyncQueue {
public:
    using Pointer = std::unique_ptr<Item>;

    // Takes `item` over; queues it when `level` passes the filter, otherwise deletes it.
    // A null item is ignored. Wakes one waiter after an accepted push.
    void push(Pointer item, int level)
    {
        if (!item) return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!passes(level)) return;  // item deleted on leaving
            queue_.push_back(std::move(item));
        }
        cond_.notify_one();
    }

    // Closes the queue to its waiters: every waitAndPop, those waiting now and later ones,
    // returns null at once, whatever the queue holds, until open() is called. Allocates
    // nothing and never throws, so that the threads that wait can always be stopped, also
    // when memory has run out. Pushes and tryPop go on working.
    void close() noexcept
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            waiterItems_ = 0;
        }
        cond_.notify_all();
    }

    // Closes the queue to its waiters once the items it holds now have been handed out: waiters
    // still get those, oldest first, then null, as after close(); an item pushed from now on
    // is never handed to a waiter (tryPop still takes it). Never reopens a queue that is closed
    // already. Allocates nothing and never throws.
    void closeAfterQueued() noexcept
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            waiterItems_ = std::min(waiterItems_, queue_.size());
        }
        cond_.notify_all();
    }

    // Opens the queue to its waiters again (a new queue is open).
    void open() noexcept
    {
        std::lock_guard<std::mutex> lock(mutex_);
        waiterItems_ = kOpen;
    }

    // Blocks until an item is there, then removes and returns the oldest one; returns null
    // once the queue is closed (see close and closeAfterQueued).
    Pointer waitAndPop()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        while (queue_.empty() && waiterItems_ != 0) cond_.wait(lock);
        if (waiterItems_ == 0) return nullptr;
        return popFront();
    }

    // Removes and returns the oldest item, or null at once when the queue is empty.
    // Emptying a queue is a loop over this.
    Pointer tryPop()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (queue_.empty()) return nullptr;
        return popFront();
    }

    // Whether the queue holds no item.
    bool empty() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return queue_.empty();
    }

    // Sets the level filter; below 1 refuses every item.
    void setLimit(int limit)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        limit_ = limit;
    }

    int limit() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return limit_;
    }

    // Whether a push at `level` would pass the level filter.
    bool takes(int level) const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return passes(level);
    }

private:
    // waiterItems_ while the queue is open to its waiters.
    static constexpr size_t kOpen = ~size_t(0);

    bool passes(int level) const { return limit_ >= 1 && limit_ >= level; }

    // Removes the oldest item, counting it among those a closing queue still hands out
    // (the caller holds the mutex; the queue is not empty).
    Pointer popFront()
    {
        if (waiterItems_ != kOpen && waiterItems_ > 0) --waiterItems_;
        Pointer item = std::move(queue_.front());
        queue_.pop_front();
        return item;
    }

    std::list<Pointer> queue_;
    int limit_ = 0;
    size_t waiterItems_ = kOpen;  // queued items still handed to waiters; kOpen: all of them
    mutable std::mutex mutex_;
    std::condition_variable cond_;
};

#endif
