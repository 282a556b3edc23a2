// Device figures, the ratio cap, the accuracy bound, the run's totals and the finished test.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>

#include "frontend/summaries.h"

namespace {

constexpr int64_t kGiB = int64_t(1) << 30;

struct DeviceCase {
    const char *what;
    std::vector<ContextStats> stats;
    double zeroSavings;
    int64_t deviceBytes;
    StorageType kind;
    bool allowNegative;
    double deltaError;
    double sizeGB, thinPct, compressedGB, compressionPct, accuracyPct;
};

TEST(Summaries, DeviceFiguresFromContextStats)
{
    const DeviceCase cases[] = {
        {"VRT, 3400 non-zero and 600 zero samples, mean ratio 0.5",
         {{3400, 600, 0, 0, 1700.0}}, 0, 100 * kGiB, STORAGE_VRT, false, 1e7,
         85, 15, 42.5, 50, 4.9722},
        {"the same spread over three contexts; an idle context's ratio sum is not added",
         {{1000, 100, 0, 0, 500.0}, {2400, 500, 0, 0, 1200.0}, {0, 0, 0, 0, 7.0}}, 0, 100 * kGiB,
         STORAGE_VRT, false, 1e7, 85, 15, 42.5, 50, 4.9722},
        {"mean ratio 1.05 is capped", {{3400, 600, 0, 0, 3570.0}}, 0, 100 * kGiB, STORAGE_VRT,
         false, 1e7, 85, 15, 84.99915, 0.001, 4.9722},
        {"mean ratio 1.05 kept with --allowNegativeComp", {{3400, 600, 0, 0, 3570.0}}, 0,
         100 * kGiB, STORAGE_VRT, true, 1e7, 85, 15, 89.25, -5, 4.9722},
        {"KSM sizes come from the model's zero savings and ratio, not the counts",
         {{10, 0, 0, 0, 0.4}, {30, 0, 0, 0, 0.4}}, 0.25, 64 * kGiB, STORAGE_KSM, false, 1e7,
         48, 25, 19.2, 60, 100 * std::sqrt(std::log(2e7) / 80)},
        {"--deltaError 100", {{3400, 0, 0, 0, 1700.0}}, 0, kGiB, STORAGE_VRT, false, 100,
         1, 0, 0.5, 50, 2.7914},
        {"50 samples", {{50, 0, 0, 0, 25.0}}, 0, kGiB, STORAGE_VRT, false, 1e7,
         1, 0, 0.5, 50, 41.0015},
        {"one sample: the accuracy range is capped to 100", {{1, 0, 0, 0, 0.5}}, 0, kGiB,
         STORAGE_VRT, false, 1e7, 1, 0, 0.5, 50, 100},
    };
    for (const DeviceCase &c : cases) {
        SCOPED_TRACE(c.what);
        Calculations figures(0, 0, 0);
        figures.deviceBytes = 12345;
        figures.sizeGB = 99;  // stale figures of an earlier tick are dropped
        summarizeStats(c.stats.data(), static_cast<int>(c.stats.size()), c.zeroSavings,
                       c.deviceBytes, c.kind, c.allowNegative, c.deltaError, &figures);
        EXPECT_NEAR(figures.sizeGB, c.sizeGB, 1e-9);
        EXPECT_NEAR(figures.thinProvisioningPct, c.thinPct, 1e-9);
        EXPECT_NEAR(figures.compressedGB, c.compressedGB, 1e-9);
        EXPECT_NEAR(figures.compressionPct, c.compressionPct, 1e-9);
        EXPECT_NEAR(figures.accuracyPct, c.accuracyPct, 1e-4);
        EXPECT_EQ(figures.deviceBytes, 12345u);  // the reset keeps the device size
    }
}

TEST(Summaries, CountersAreSummedAndTheRatioSumKept)
{
    const ContextStats stats[] = {{3, 4, 100, 50, 1.5}, {5, 6, 1000, 300, 2.0}};
    Calculations figures(0, 0, 0);
    summarizeStats(stats, 2, 0, kGiB, STORAGE_VRT, false, 1e7, &figures);
    EXPECT_EQ(figures.nonZeroBlocks, 8);
    EXPECT_EQ(figures.zeroBlocks, 10);
    EXPECT_EQ(figures.inputBytes, 1100u);
    EXPECT_EQ(figures.compressedBytes, 350u);
    EXPECT_DOUBLE_EQ(figures.ratioSum, 3.5);  // the sum, not the mean
}

TEST(Summaries, RatioCapHasTheExactBits)
{
    uint64_t bits;
    std::memcpy(&bits, &kRatioCap, sizeof bits);
    EXPECT_EQ(bits, 0x3FEFFFEB074A771Dull);
}

TEST(Summaries, AccuracyBoundIsHoeffding)
{
    EXPECT_NEAR(accuracyBound(3400, 1e7), 0.049722, 1e-6);
    EXPECT_NEAR(accuracyBound(10000, 1e7), 0.0290, 1e-4);
    EXPECT_NEAR(accuracyBound(100, 1e7), 0.2899, 1e-4);
}

TEST(Summaries, TotalsAreWeightedBySize)
{
    Calculations totals(0, 0, 0), first(0, 0, 0), second(0, 0, 0);
    first.sizeGB = 10;
    first.compressedGB = 5;
    first.deviceBytes = 20 * kGiB;
    first.compressionPct = 50;
    second.sizeGB = 30;
    second.compressedGB = 24;
    second.deviceBytes = 40 * kGiB;

    totals += first;
    EXPECT_EQ(finaliseTotals(&totals), &totals);
    EXPECT_NEAR(totals.compressionPct, 50, 1e-9);
    EXPECT_NEAR(totals.thinProvisioningPct, 50, 1e-9);

    totals += second;
    finaliseTotals(&totals);
    EXPECT_NEAR(totals.sizeGB, 40, 1e-9);
    EXPECT_NEAR(totals.compressedGB, 29, 1e-9);
    EXPECT_NEAR(totals.compressionPct, 27.5, 1e-9);
    EXPECT_NEAR(totals.thinProvisioningPct, 100.0 / 3, 1e-9);
    EXPECT_EQ(totals.accuracyPct, 0);
}

TEST(Summaries, AllThreadsFinished)
{
    EXPECT_TRUE(allThreadsFinished({}));
    threadWorkData a(0, 0, 0), b(0, 0, 1);
    a.finished = true;
    EXPECT_FALSE(allThreadsFinished({&a, &b}));
    EXPECT_FALSE(allThreadsFinished({&b, &a}));
    b.finished = true;
    EXPECT_TRUE(allThreadsFinished({&a, &b}));
}

}  // namespace
