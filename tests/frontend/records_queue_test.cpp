// The front end's queue and records: level filter, blocking pops, closing, figures.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <memory>
#include <string>
#include <vector>

#include "frontend/records.h"
#include "frontend/sync_queue.h"

namespace {

using StringQueue = SyncQueue<std::string>;

std::vector<std::string> drain(StringQueue &queue)
{
    std::vector<std::string> items;
    while (auto item = queue.tryPop()) items.push_back(*item);
    return items;
}

// Pushes one item per level 0..3 and returns the levels that were kept.
std::vector<std::string> keptLevels(StringQueue &queue)
{
    for (int level = 0; level <= 3; ++level) {
        queue.push(std::make_unique<std::string>(std::to_string(level)), level);
    }
    return drain(queue);
}

TEST(SyncQueueTest, LimitFiltersByLevel)
{
    StringQueue neverSet;
    EXPECT_TRUE(keptLevels(neverSet).empty());

    const struct {
        int limit;
        std::vector<std::string> kept;
    } cases[] = {
        {-1, {}},
        {0, {}},
        {1, {"0", "1"}},
        {2, {"0", "1", "2"}},
        {100, {"0", "1", "2", "3"}},
    };
    for (const auto &c : cases) {
        StringQueue queue;
        queue.setLimit(c.limit);
        EXPECT_EQ(keptLevels(queue), c.kept) << "limit " << c.limit;
        EXPECT_TRUE(queue.empty());
    }
}

// Closing ends every waiter at once, those waiting and later ones, whatever the queue holds;
// the items stay for tryPop, and opening again hands items to waiters once more.
TEST(SyncQueueTest, CloseEndsWaitersUntilOpenedAgain)
{
    StringQueue queue;
    queue.setLimit(1);
    std::thread waiter([&] { EXPECT_EQ(queue.waitAndPop(), nullptr); });
    queue.close();
    waiter.join();
    queue.push(std::make_unique<std::string>("kept"), 1);
    EXPECT_EQ(queue.waitAndPop(), nullptr);
    queue.open();
    const auto item = queue.waitAndPop();
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(*item, "kept");
    queue.push(std::make_unique<std::string>("left"), 1);
    queue.close();
    EXPECT_EQ(drain(queue), (std::vector<std::string>{"left"}));
}

TEST(SyncQueueTest, WaitAndPopBlocksUntilPushAndDeliversEachItemOnce)
{
    StringQueue queue;
    queue.setLimit(1);
    std::atomic<int> popped{0};
    std::vector<std::string> got(2);
    auto waiter = [&](int slot) {
        got[slot] = *queue.waitAndPop();
        popped.fetch_add(1);
    };
    std::thread first(waiter, 0);
    std::thread second(waiter, 1);
    queue.push(std::make_unique<std::string>("a"), 1);
    while (popped.load() < 1) std::this_thread::yield();
    queue.push(std::make_unique<std::string>("b"), 1);
    first.join();
    second.join();
    EXPECT_EQ(popped.load(), 2);
    EXPECT_TRUE((got[0] == "a" && got[1] == "b") || (got[0] == "b" && got[1] == "a"));
    EXPECT_TRUE(queue.empty());
}

// Waits for `done` far longer than any honest run needs, so that only a waiter that is never
// woken fails.
bool finishesInTime(const std::atomic<bool> &done)
{
    for (int i = 0; i < 60000 && !done.load(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done.load();
}

// close() and closeAfterQueued() on an empty queue wake a waiter already blocked in waitAndPop,
// which then gets null. The queue is never freed: a waiter that is never woken keeps using it.
TEST(SyncQueueTest, CloseWakesAWaiterAlreadyBlocked)
{
    for (const bool afterQueued : {false, true}) {
        auto *queue = new StringQueue;
        queue->setLimit(1);
        std::atomic<bool> waiting{false};
        std::atomic<bool> done{false};
        std::atomic<bool> gotNull{false};
        std::thread waiter([&] {
            waiting.store(true);
            gotNull.store(queue->waitAndPop() == nullptr);
            done.store(true);
        });
        while (!waiting.load()) std::this_thread::yield();
        // Time for the waiter to block; a close that came first would end its wait all the same.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (afterQueued) {
            queue->closeAfterQueued();
        } else {
            queue->close();
        }
        if (!finishesInTime(done)) {
            waiter.detach();
            ADD_FAILURE() << "the close did not wake the waiter (closeAfterQueued: " << afterQueued << ")";
            continue;
        }
        waiter.join();
        EXPECT_TRUE(gotNull.load());
        delete queue;
    }
}

// closeAfterQueued hands the items queued before it to waiters, oldest first, then null; an
// item pushed after it stays for tryPop. A later close() ends the handing out at once, and a
// later closeAfterQueued never hands out more.
TEST(SyncQueueTest, CloseAfterQueuedServesTheItemsQueuedBefore)
{
    StringQueue queue;
    queue.setLimit(1);
    for (const char *item : {"a", "b", "c"}) queue.push(std::make_unique<std::string>(item), 1);
    queue.closeAfterQueued();
    queue.push(std::make_unique<std::string>("late"), 1);
    queue.closeAfterQueued();
    auto first = queue.waitAndPop();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(*first, "a");
    EXPECT_EQ(*queue.tryPop(), "b");  // tryPop takes one of those handed out
    auto third = queue.waitAndPop();
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(*third, "c");
    EXPECT_EQ(queue.waitAndPop(), nullptr);
    EXPECT_EQ(drain(queue), (std::vector<std::string>{"late"}));

    queue.open();
    for (const char *item : {"d", "e"}) queue.push(std::make_unique<std::string>(item), 1);
    queue.closeAfterQueued();
    queue.close();
    EXPECT_EQ(queue.waitAndPop(), nullptr);
    queue.closeAfterQueued();
    EXPECT_EQ(queue.waitAndPop(), nullptr);
    EXPECT_EQ(drain(queue), (std::vector<std::string>{"d", "e"}));
}

Calculations filledRecord()
{
    Calculations record(4096, 8192, 7);
    record.logLevel = 3;
    record.nonZeroBlocks = 3400;
    record.zeroBlocks = 600;
    record.compressedBytes = 1000;
    record.inputBytes = 2000;
    record.ratioSum = 1700;
    record.finished.store(true);
    record.sizeGB = 85;
    record.thinProvisioningPct = 15;
    record.compressedGB = 42.5;
    record.compressionPct = 50;
    record.accuracyPct = 4.97;
    record.deviceBytes = 107374182400ull;
    return record;
}

TEST(CalculationsTest, CopyKeepsEveryFieldAndResetKeepsRangeIndexAndSize)
{
    const Calculations original = filledRecord();
    Calculations copy(original);
    EXPECT_EQ(copy.rangeStart, 4096u);
    EXPECT_EQ(copy.rangeEnd, 8192u);
    EXPECT_EQ(copy.index, 7u);
    EXPECT_EQ(copy.logLevel, 3);
    EXPECT_EQ(copy.nonZeroBlocks, 3400);
    EXPECT_EQ(copy.ratioSum, 1700);
    EXPECT_TRUE(copy.finished.load());
    EXPECT_EQ(copy.compressedGB, 42.5);
    EXPECT_EQ(copy.accuracyPct, 4.97);
    EXPECT_EQ(copy.deviceBytes, 107374182400ull);

    // Through the base pointer the virtual reset clears the figures as well.
    threadWorkData *base = &copy;
    static_cast<Calculations *>(base)->reset();
    EXPECT_EQ(copy.nonZeroBlocks, 0);
    EXPECT_EQ(copy.zeroBlocks, 0);
    EXPECT_EQ(copy.compressedBytes, 0u);
    EXPECT_EQ(copy.inputBytes, 0u);
    EXPECT_EQ(copy.ratioSum, 0);
    EXPECT_FALSE(copy.finished.load());
    EXPECT_EQ(copy.sizeGB, 0);
    EXPECT_EQ(copy.thinProvisioningPct, 0);
    EXPECT_EQ(copy.compressedGB, 0);
    EXPECT_EQ(copy.compressionPct, 0);
    EXPECT_EQ(copy.accuracyPct, 0);
    EXPECT_EQ(copy.deviceBytes, 107374182400ull);
    EXPECT_EQ(copy.rangeStart, 4096u);
    EXPECT_EQ(copy.rangeEnd, 8192u);
    EXPECT_EQ(copy.index, 7u);
    EXPECT_EQ(copy.logLevel, 3);
}

TEST(CalculationsTest, AddingToZeroedRecordCopiesSumsButNotPercentages)
{
    Calculations totals(0, 0, 0);
    totals += filledRecord();
    EXPECT_EQ(totals.sizeGB, 85);
    EXPECT_EQ(totals.compressedGB, 42.5);
    EXPECT_EQ(totals.nonZeroBlocks, 3400);
    EXPECT_EQ(totals.zeroBlocks, 600);
    EXPECT_EQ(totals.compressedBytes, 1000u);
    EXPECT_EQ(totals.inputBytes, 2000u);
    EXPECT_EQ(totals.deviceBytes, 107374182400ull);
    EXPECT_EQ(totals.thinProvisioningPct, 0);
    EXPECT_EQ(totals.compressionPct, 0);
    EXPECT_EQ(totals.accuracyPct, 0);
    EXPECT_EQ(totals.ratioSum, 0);

    totals += filledRecord();
    EXPECT_EQ(totals.sizeGB, 170);
    EXPECT_EQ(totals.deviceBytes, 2 * 107374182400ull);
}

} // namespace
