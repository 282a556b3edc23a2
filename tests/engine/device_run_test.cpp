// Whole devices served from memory by several sampler threads, as a front end serves them.
#include <cmath>

#include "engine_fixture.h"

namespace vantrel::testing {
namespace {

constexpr size_t MiB = 1 << 20;

double nonZeroFraction(const EngineResult &r, uint64_t deviceBytes) { return double(r.nonZeroSectors) * 512 / deviceBytes; }
double ratio(const EngineResult &r) { return r.nonZeroSectors ? double(r.compressedSectors) / r.nonZeroSectors : 0; }

struct DeviceCase {
    const char *name;
    std::vector<Region> regions;
    uint32_t engineType;
    int32_t status;
    double nonZeroLow, nonZeroHigh;  // expected share of non-zero data
    // Expected compressed / non-zero. Samples the contexts still hold open when the target is
    // reached are counted but never measured (up to one per context); the ratio is the mean of
    // the measured samples, so they do not lower it.
    double ratioLow, ratioHigh;
};

TEST_F(EngineTest, WholeDevicesGiveTheExpectedEstimates)
{
    const DeviceCase cases[] = {
        {"all zero", {{ContentKind::zero, 4 * MiB}}, ENGINE_TYPE_7_3, ENGINE_STATUS_EARLY_STOP, 0, 0, 0, 0},
        {"all random", {{ContentKind::random, 4 * MiB}}, ENGINE_TYPE_6_4, ENGINE_STATUS_DONE, 1, 1, 0.95, 1.03},
        {"text", {{ContentKind::text, 4 * MiB}}, ENGINE_TYPE_7_2, ENGINE_STATUS_DONE, 1, 1, 0.2, 0.7},
        {"binary records", {{ContentKind::binary, 4 * MiB}}, ENGINE_TYPE_7_3, ENGINE_STATUS_DONE, 1, 1, 0.3, 0.9},
        {"random, odd size", {{ContentKind::random, 4 * MiB + 1000}}, ENGINE_TYPE_11_6, ENGINE_STATUS_DONE, 1, 1, 0.95, 1.03},
        {"tiny: three text blocks", {{ContentKind::text, 3 * 65536}}, ENGINE_TYPE_7_1, ENGINE_STATUS_DONE, 1, 1, 0.2, 0.7},
        {"tiny: less than a block", {{ContentKind::text, 40000}}, ENGINE_TYPE_7_3, ENGINE_STATUS_SHORT_READ, 0, 0, 0, 0},
    };
    for (const DeviceCase &dc : cases) {
        SCOPED_TRACE(dc.name);
        vantrel::engine::initEngineDefaults();
        std::vector<uint8_t> image = buildImage(dc.regions);
        InMemoryDevice device(image);
        EngineSetup setup = makeSetup(dc.engineType, 4, 0);
        setup.maxNumSamples = 100;
        setup.withLog = false;
        RunOutcome outcome = device.run(setup, 4);
        EXPECT_EQ(outcome.status, dc.status);
        if (dc.status == ENGINE_STATUS_SHORT_READ)
            continue;
        const uint64_t usable = image.size() / 512 * 512;
        EXPECT_GE(nonZeroFraction(outcome.result, usable), dc.nonZeroLow - 1e-9);
        EXPECT_LE(nonZeroFraction(outcome.result, usable), dc.nonZeroHigh + 1e-9);
        EXPECT_GE(ratio(outcome.result), dc.ratioLow);
        EXPECT_LE(ratio(outcome.result), dc.ratioHigh);
        if (dc.status == ENGINE_STATUS_DONE) {
            EXPECT_GE(outcome.result.nonZeroSamples, 100u);
            EXPECT_LE(outcome.result.nonZeroSamples, 103u) << "at most one extra sample per other context";
        } else {
            EXPECT_EQ(outcome.result.nonZeroSamples, 0u);
            EXPECT_GT(outcome.result.zeroSamples, 100u);
        }
        EXPECT_EQ(outcome.totals.nonZeroSamples, int64_t(outcome.result.nonZeroSamples));
        EXPECT_EQ(outcome.totals.zeroSamples, int64_t(outcome.result.zeroSamples));
    }
}

TEST_F(EngineTest, HalfZeroDeviceIsEstimatedAtHalfItsSize)
{
    std::vector<uint8_t> image = alternatingImage(ContentKind::text, 8 * MiB, MiB / 4);
    InMemoryDevice device(image);
    EngineSetup setup = makeSetup(ENGINE_TYPE_7_1, 6, 0);
    setup.maxNumSamples = 300;
    RunOutcome outcome = device.run(setup, 3);
    EXPECT_EQ(outcome.status, ENGINE_STATUS_DONE);
    EXPECT_NEAR(nonZeroFraction(outcome.result, image.size()), 0.5, 0.1);
    EXPECT_NEAR(outcome.result.accuracyPercent, 100 * std::sqrt(std::log(2e7) / (2.0 * outcome.result.nonZeroSamples)), 1e-9);
}

TEST_F(EngineTest, ExhaustivePassCountsEveryBlockButEachRangesLast)
{
    // Random blocks are samples of one block, so the counts follow block by block.
    std::vector<Region> regions;
    std::vector<bool> isZero;
    for (int b = 0; b < 203; b++) {
        bool zero = (b * 7919 % 11) < 4;
        regions.push_back({zero ? ContentKind::zero : ContentKind::random, 65536});
        isZero.push_back(zero);
    }
    std::vector<uint8_t> image = buildImage(regions);
    for (uint32_t type : {ENGINE_TYPE_6_4, ENGINE_TYPE_7_3}) {
        SCOPED_TRACE(type);
        vantrel::engine::initEngineDefaults();
        InMemoryDevice device(image);
        EngineSetup setup = makeSetup(type, 5, 0);
        setup.exhaustive = true;
        setup.maxNumSamples = 10;
        RunOutcome outcome = device.run(setup, 4);
        EXPECT_EQ(outcome.status, ENGINE_STATUS_DONE);
        // Ranges of 40 blocks, the last one 43; each range's last block is not counted.
        uint64_t zeros = 0, nonZeros = 0;
        for (int c = 0; c < 5; c++) {
            int first = c * 40, end = c == 4 ? 203 : first + 40;
            for (int b = first; b < end - 1; b++)
                (isZero[b] ? zeros : nonZeros)++;
        }
        EXPECT_EQ(outcome.result.zeroSamples, zeros);
        EXPECT_EQ(outcome.result.nonZeroSamples, nonZeros);
        EXPECT_EQ(outcome.reads, 203u);
    }
}

TEST_F(EngineTest, ExhaustiveFigureWeightsEachSampleByTheNonZeroBlocksItUsed)
{
    // Each of three contexts reads a range of 25 blocks: P = pattern, R = random, Z = zero. The
    // pattern samples reach the input cap in their eighth non-zero block (491520 bytes in, a full
    // 32768-byte buffer out: a ratio of 1/15 whatever the compressor), the second across a zero
    // block; P P P R fills its buffer in the random block, a sample of four blocks; each R alone
    // is a sample of one block. The range's last block is never used.
    const char range[] = "PPPPPPPP" "R" "PPPPZPPPP" "R" "PPPR" "R" "R";
    const int rangeBlocks = sizeof range - 1, contexts = 3;
    std::vector<Region> regions;
    for (int c = 0; c < contexts; c++) {
        for (int b = 0; b < rangeBlocks; b++) {
            const char kind = range[b];
            regions.push_back({kind == 'P' ? ContentKind::pattern : kind == 'R' ? ContentKind::random : ContentKind::zero,
                               65536});
        }
    }
    std::vector<uint8_t> image = buildImage(regions, 5);
    InMemoryDevice device(image);
    EngineSetup setup = makeSetup(ENGINE_TYPE_6_4, contexts, 0);
    setup.exhaustive = true;
    setup.withLog = false;
    RunOutcome outcome = device.run(setup, contexts);
    ASSERT_EQ(outcome.status, ENGINE_STATUS_DONE);

    // Each sample's ratio, weighted by the non-zero blocks of the device it spans, summed per
    // context in the order its samples ended, as the contexts sum them.
    std::vector<double> weightedSums(contexts, 0.0);
    uint64_t weights = 0, capped = 0;
    const std::vector<StatsEventRecord> events = Recorder::events();
    ASSERT_EQ(events.size(), 6u * contexts);
    for (const StatsEventRecord &event : events) {
        ASSERT_EQ(event.code, uint32_t(STATS_EVENT_SAMPLE));
        int weight = 0;
        for (uint32_t b = event.b; b < event.b + uint32_t(event.a); b++)
            weight += range[b % rangeBlocks] != 'Z';
        if (weight == 8) {
            EXPECT_EQ(event.c, 491520u) << "block " << event.b;
            EXPECT_EQ(event.d, 32768u) << "block " << event.b;
            capped++;
        }
        weightedSums[event.thread] += weight * double(event.d) / double(event.c);
        weights += uint64_t(weight);
    }
    EXPECT_EQ(capped, 2u * contexts);
    // 8 + 1 + 8 + 1 + 4 + 1 non-zero blocks per range, each counted once; the zero block too.
    EXPECT_EQ(weights, 23u * contexts);
    EXPECT_EQ(outcome.result.nonZeroSamples, weights);
    EXPECT_EQ(outcome.result.zeroSamples, 1u * contexts);
    double ratioSum = 0;
    for (double sum : weightedSums)
        ratioSum += sum;
    EXPECT_DOUBLE_EQ(outcome.result.ratioSum, ratioSum);
    // The figure: the non-zero data times the block-weighted mean ratio.
    const double expectedNonZero = double(image.size()) * (69.0 / 72.0) / 512;
    EXPECT_EQ(outcome.result.nonZeroSectors, uint64_t(expectedNonZero));
    EXPECT_EQ(outcome.result.compressedSectors, uint64_t(double(outcome.result.nonZeroSectors) * ratioSum / weights));
}

// Sampling and an exhaustive pass of the same engine type agree within the sampling run's
// reported accuracy, on the share of non-zero data and on its compressed fraction.
class SamplingAgreesWithExhaustive : public EngineTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(SamplingAgreesWithExhaustive, WithinTheReportedAccuracy)
{
    const size_t unit = MiB / 2;
    const std::vector<Region> layout = {
        {ContentKind::text, 3 * unit},   {ContentKind::zero, 2 * unit},    {ContentKind::binary, 3 * unit},
        {ContentKind::random, 2 * unit}, {ContentKind::pattern, 2 * unit}, {ContentKind::zero, 1 * unit},
        {ContentKind::text, 3 * unit},
    };
    std::vector<uint8_t> image = buildImage(layout, 7);
    InMemoryDevice device(image);

    EngineSetup setup = makeSetup(GetParam(), 4, 0);
    setup.maxNumSamples = 400;
    setup.withLog = false;
    setup.withEvents = false;
    RunOutcome sampled = device.run(setup, 4);
    ASSERT_EQ(sampled.status, ENGINE_STATUS_DONE);

    vantrel::engine::initEngineDefaults();
    setup.exhaustive = true;
    RunOutcome exhaustive = device.run(setup, 4);
    ASSERT_EQ(exhaustive.status, ENGINE_STATUS_DONE);

    const double accuracy = sampled.result.accuracyPercent / 100;
    EXPECT_NEAR(nonZeroFraction(sampled.result, image.size()), nonZeroFraction(exhaustive.result, image.size()), accuracy);
    EXPECT_NEAR(ratio(sampled.result), ratio(exhaustive.result), accuracy);
    // The known content: 13 of 16 units are non-zero.
    EXPECT_NEAR(nonZeroFraction(exhaustive.result, image.size()), 13.0 / 16, 0.02);
}

INSTANTIATE_TEST_SUITE_P(DeflateTypes, SamplingAgreesWithExhaustive,
                         ::testing::Values(ENGINE_TYPE_6_4, ENGINE_TYPE_7_1, ENGINE_TYPE_7_2, ENGINE_TYPE_7_3,
                                           ENGINE_TYPE_11_6));

}  // namespace
}  // namespace vantrel::testing
