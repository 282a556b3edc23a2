// Per-context statistics and the final record.
#include "engine_fixture.h"

namespace vantrel::testing {
namespace {

using vantrel::engine::engineState;
using vantrel::engine::finalizeEngineResult;
using vantrel::engine::ThreadContext;

const ThreadContext &contextOf(uint32_t c) { return engineState.contexts[c]; }

TEST_F(EngineTest, FinalRecordOfThreeContexts)
{
    EngineSession session(makeSetup(ENGINE_TYPE_7_3, 3, 1 << 30));
    EngineResult result{};
    session.start(&result);
    const int32_t nonZeros[] = {100, 200, 300};
    for (int c = 0; c < 3; c++) {
        engineState.contexts[c].nonZeroSamples = nonZeros[c];
        engineState.contexts[c].zeroSamples = 50;
        engineState.contexts[c].ratioSum = 100;
    }
    finalizeEngineResult();
    EXPECT_EQ(result.nonZeroSectors, 1677721u);
    EXPECT_EQ(result.compressedSectors, 838860u);
    EXPECT_NEAR(result.accuracyPercent, 11.836, 0.0005);
    EXPECT_EQ(result.zeroSamples, 150u);
    EXPECT_EQ(result.nonZeroSamples, 600u);
    EXPECT_DOUBLE_EQ(result.ratioSum, 300.0);
}

TEST_F(EngineTest, FinalRecordWithoutNonZeroSamplesIsWellDefined)
{
    EngineSession session(makeSetup(ENGINE_TYPE_6_4, 2, 1 << 30));
    EngineResult result{};
    session.start(&result);
    finalizeEngineResult();  // nothing counted at all
    EXPECT_EQ(result.nonZeroSectors, 0u);
    EXPECT_EQ(result.compressedSectors, 0u);
    EXPECT_EQ(result.accuracyPercent, 100.0);
    engineState.contexts[1].zeroSamples = 7;
    finalizeEngineResult();
    EXPECT_EQ(result.zeroSamples, 7u);
    EXPECT_EQ(result.nonZeroSectors, 0u);
    EXPECT_EQ(result.accuracyPercent, 100.0);
}

// A sample still open when the target is reached is counted but has no ratio: the mean ratio
// the statistics and the final record give is that of the measured samples alone, wherever the
// open ones are.
TEST_F(EngineTest, MeanRatioIsThatOfTheMeasuredSamples)
{
    EngineSetup setup = makeSetup(ENGINE_TYPE_6_4, 2, 1 << 30);
    setup.maxNumSamples = 2;
    ManualRun run(setup, allOf(ContentKind::text));
    ManualDevice &device = run.device;
    // Context 0 measures one text sample of several blocks; context 1 then opens the second
    // sample, which reaches the target, and both contexts finish with it still open.
    int blocks = 0;
    do {
        ASSERT_EQ(device.answer(0), 0);
        ASSERT_LT(++blocks, 64) << "the sample never ended";
    } while (contextOf(0).regionBlock != 0);
    ASSERT_GT(blocks, 1);
    ASSERT_EQ(device.answer(1), 0);
    ASSERT_GT(contextOf(1).regionBlock, 0) << "context 1 holds a sample open";
    ASSERT_EQ(device.answer(0), 0);
    ASSERT_EQ(device.answer(1), ENGINE_STATUS_DONE);

    ContextStats first{}, second{};
    vantrel_get_contextStats(0, &first);
    vantrel_get_contextStats(1, &second);
    ASSERT_EQ(first.nonZeroSamples + second.nonZeroSamples, 2);
    EXPECT_EQ(second.inputBytes, 0u) << "the open sample credited nothing";
    const double measured = double(first.compressedBytes) / double(first.inputBytes);
    EXPECT_DOUBLE_EQ((first.ratioSum + second.ratioSum) / 2, measured);
    EXPECT_EQ(run.result.nonZeroSamples, 2u);
    EXPECT_DOUBLE_EQ(run.result.ratioSum / 2, measured);
    EXPECT_EQ(run.result.compressedSectors, uint64_t(double(run.result.nonZeroSectors) * measured));
}

TEST_F(EngineTest, ContextStatsShowTheCountsSoFar)
{
    EngineSetup setup = makeSetup(ENGINE_TYPE_6_4, 2, 1 << 30);
    ManualRun run(setup, blockSource([](uint64_t b) { return b % 2 ? ContentKind::zero : ContentKind::random; }));
    ManualDevice &device = run.device;
    int zeros = 0, nonZeros = 0;
    for (int i = 0; i < 10; i++) {
        (device.request(0).sector / 128 % 2 ? zeros : nonZeros)++;
        ASSERT_EQ(device.answer(0), 0);  // random blocks are samples of one block
    }
    ContextStats stats{};
    vantrel_get_contextStats(0, &stats);
    EXPECT_EQ(stats.zeroSamples, zeros);
    EXPECT_EQ(stats.nonZeroSamples, nonZeros);
    EXPECT_EQ(stats.compressedBytes, uint64_t(nonZeros) * 32768);
    EXPECT_GT(stats.inputBytes, 0u);
    EXPECT_GT(stats.ratioSum, nonZeros * 1.0);

    ContextStats untouched{};
    untouched.ratioSum = 5;
    vantrel_get_contextStats(1, &untouched);
    EXPECT_EQ(untouched.nonZeroSamples, 0);
    EXPECT_EQ(untouched.zeroSamples, 0);
    EXPECT_EQ(untouched.inputBytes, 0u);
    EXPECT_EQ(untouched.compressedBytes, 0u);
    EXPECT_EQ(untouched.ratioSum, 0.0);
    vantrel_get_contextStats(2, &untouched);  // no such context
    EXPECT_EQ(untouched.ratioSum, 0.0);
}

}  // namespace
}  // namespace vantrel::testing
