// A first-in-first-out queue of owned items shared by the front end's threads, with a level filter.
#ifndef VANTREL_FRONTEND_SYNC_QUEUE_H
#define VANTREL_FRONTEND_SYNC_QUEUE_H

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
            closed_ = true;
        }
        cond_.notify_all();
    }

    // Opens the queue to its waiters again (a new queue is open).
    void open() noexcept
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = false;
    }

    // Blocks until an item is there, then removes and returns the oldest one; returns null
    // once the queue is closed.
    Pointer waitAndPop()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        while (queue_.empty() && !closed_) cond_.wait(lock);
        if (closed_) return nullptr;
        Pointer item = std::move(queue_.front());
        queue_.pop_front();
        return item;
    }

    // Removes and returns the oldest item, or null at once when the queue is empty.
    // Emptying a queue is a loop over this.
    Pointer tryPop()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (queue_.empty()) return nullptr;
        Pointer item = std::move(queue_.front());
        queue_.pop_front();
        return item;
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
    bool passes(int level) const { return limit_ >= 1 && limit_ >= level; }


    std::list<Pointer> queue_;
    int limit_ = 0;
    bool closed_ = false;
    mutable std::mutex mutex_;
    std::condition_variable cond_;
};

#endif
