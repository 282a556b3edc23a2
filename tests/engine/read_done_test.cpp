// The sampling state machine, driven one read at a time.
#include "engine_fixture.h"

namespace vantrel::testing {
namespace {

using vantrel::engine::engineState;
using vantrel::engine::shouldStopSampling;
using vantrel::engine::ThreadContext;

const ThreadContext &contextOf(uint32_t c) { return engineState.contexts[c]; }

TEST_F(EngineTest, FailedReadOnlyAsksAgain)
{
    EngineSetup setup = makeSetup(ENGINE_TYPE_6_4, 1, 1 << 30);
    ManualRun run(setup, allOf(ContentKind::pattern));
    ManualDevice &device = run.device;
    ASSERT_EQ(device.answer(0), 0);  // opens a sample; its next block is requested
    const uint64_t sampleStart = contextOf(0).location;
    ASSERT_EQ(device.request(0).sector * 512, sampleStart + 65536);

    size_t before = Recorder::requests().size();
    EXPECT_EQ(device.answer(0, 1), 0);
    auto requests = Recorder::requests();
    ASSERT_EQ(requests.size(), before + 1);
    EXPECT_EQ(requests.back().thread, 0u);
    EXPECT_EQ(requests.back().sector * 512, contextOf(0).location);
    EXPECT_EQ(contextOf(0).regionBlock, 2) << "the open sample stays open";
    EXPECT_EQ(contextOf(0).nonZeroSamples, 1);
    EXPECT_EQ(engineState.nonZeroSamples.load(), 1);
    EXPECT_EQ(engineState.zeroSamples.load(), 0);
}

struct FinishCase {
    const char *name;
    uint32_t readError;
    int64_t bytes;
    uint32_t deviceId;
    int32_t status;
};

TEST_F(EngineTest, FinishingChecksSetTheStatusTheLastContextReturns)
{
    const FinishCase cases[] = {
        {"short read", 0, 65535, testDeviceId, ENGINE_STATUS_SHORT_READ},
        {"wrong device", 0, -1, testDeviceId + 1, ENGINE_STATUS_WRONG_DEVICE},
    };
    for (const FinishCase &fc : cases) {
        SCOPED_TRACE(fc.name);
        vantrel::engine::initEngineDefaults();
        EngineSetup setup = makeSetup(ENGINE_TYPE_6_4, 2, 1 << 30);
        ManualRun run(setup, allOf(ContentKind::random));
        ManualDevice &device = run.device;
        EXPECT_EQ(device.answer(0, fc.readError, fc.bytes, 2, fc.deviceId), 0);
        EXPECT_EQ(engineState.status.load(), fc.status);
        EXPECT_EQ(engineState.finishedContexts.load(), 1);
        EXPECT_EQ(device.answer(1, fc.readError, fc.bytes, 2, fc.deviceId), fc.status);
        EXPECT_EQ(engineState.nonZeroSamples.load(), 0) << "the block in hand is not used";
    }
}

TEST_F(EngineTest, AbortFinishesEachContextAtItsNextCall)
{
    EngineSetup setup = makeSetup(ENGINE_TYPE_7_3, 4, 1 << 30);
    ManualRun run(setup, allOf(ContentKind::random));
    ManualDevice &device = run.device;
    ASSERT_EQ(vantrel_abort(0), 0);
    size_t requests = Recorder::requests().size();
    for (uint32_t c = 0; c < 3; c++)
        EXPECT_EQ(device.answer(c), 0);
    EXPECT_EQ(device.answer(3), ENGINE_STATUS_ABORTED);
    EXPECT_EQ(Recorder::requests().size(), requests) << "no request after an abort";
}

TEST_F(EngineTest, ZeroBlocksOutsideAndInsideASample)
{
    // Blocks alternate pattern / zero: a sample skips the zero blocks and counts nothing for them.
    EngineSetup setup = makeSetup(ENGINE_TYPE_6_4, 1, 1 << 30);
    ManualRun run(setup, blockSource([](uint64_t b) { return b % 2 ? ContentKind::zero : ContentKind::pattern; }));
    ManualDevice &device = run.device;
    // Serve until a zero block arrives with no sample open.
    while (device.request(0).sector / 128 % 2 == 0) {
        ASSERT_EQ(device.answer(0), 0);
        while (contextOf(0).regionBlock != 0)
            ASSERT_EQ(device.answer(0), 0);
    }
    long zeros = engineState.zeroSamples.load(), nonZeros = engineState.nonZeroSamples.load();
    ASSERT_EQ(device.answer(0), 0);
    EXPECT_EQ(engineState.zeroSamples.load(), zeros + 1);
    EXPECT_EQ(contextOf(0).zeroSamples, zeros + 1);
    EXPECT_EQ(contextOf(0).regionBlock, 0);

    // Open a sample on a pattern block; the zero block after it is skipped.
    while (device.request(0).sector / 128 % 2 != 0)
        ASSERT_EQ(device.answer(0), 0);
    zeros = engineState.zeroSamples.load();
    nonZeros = engineState.nonZeroSamples.load();
    ASSERT_EQ(device.answer(0), 0);
    const uint64_t start = contextOf(0).location;
    EXPECT_EQ(device.request(0).sector * 512, start + 65536);
    ASSERT_EQ(device.answer(0), 0);  // the zero block
    EXPECT_EQ(device.request(0).sector * 512, start + 2 * 65536);
    EXPECT_EQ(contextOf(0).regionBlock, 3);
    EXPECT_EQ(engineState.zeroSamples.load(), zeros);
    EXPECT_EQ(engineState.nonZeroSamples.load(), nonZeros + 1);
}

TEST_F(EngineTest, SampleAtTheDeviceEndIsClosedAtOnce)
{
    // Four very compressible blocks: every sample runs to the device's end and is closed there
    // with a full output buffer credited.
    EngineSetup setup = makeSetup(ENGINE_TYPE_6_4, 1, 4 * 65536);
    ManualRun run(setup, allOf(ContentKind::pattern));
    ManualDevice &device = run.device;
    const uint64_t first = device.request(0).sector / 128;
    for (uint64_t b = first; b < 4; b++)
        ASSERT_EQ(device.answer(0), 0);
    auto events = Recorder::events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].code, uint32_t(STATS_EVENT_SAMPLE));
    EXPECT_EQ(events[0].a, int32_t(4 - first + 1));
    EXPECT_EQ(events[0].b, first);
    EXPECT_EQ(events[0].c, (4 - first) * 65536);
    EXPECT_EQ(events[0].d, 32768u);
    EXPECT_EQ(contextOf(0).regionBlock, 0);
    EXPECT_LT(device.request(0).sector / 128, 4u);
}

TEST_F(EngineTest, SampleSpansAtMostOneUnitOfBlocks)
{
    // One pattern block, then zeros: the sample skips zero blocks until it spans 1024 blocks,
    // and the block that makes it so is measured although it is zero.
    EngineSetup setup = makeSetup(ENGINE_TYPE_6_4, 1, 4096ULL * 65536);
    setup.maxNumSamples = 100000;
    ManualRun run(setup, blockSource([](uint64_t b) { return b == 100 || b == 2148 ? ContentKind::pattern : ContentKind::zero; }));
    ManualDevice &device = run.device;
    while (contextOf(0).regionBlock == 0)
        ASSERT_EQ(device.answer(0), 0);
    const uint64_t start = contextOf(0).location / 65536;
    ASSERT_TRUE(start == 100 || start == 2148);
    for (int i = 0; i < 1023; i++)
        ASSERT_EQ(device.answer(0), 0);
    auto events = Recorder::events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].a, 1024);
    EXPECT_EQ(events[0].b, start);
    EXPECT_EQ(events[0].c, 65536u + 32768u);
    EXPECT_EQ(events[0].d, 32768u);
    EXPECT_EQ(contextOf(0).regionBlock, 0);
    EXPECT_EQ(engineState.nonZeroSamples.load(), 1);
}

struct StopCase {
    uint32_t engineType;
    long zeros, nonZeros;
    int32_t expected;
};

TEST_F(EngineTest, StopRuleTable)
{
    const StopCase cases[] = {
        {ENGINE_TYPE_7_3, 3401, 0, 1},     // 100 - 4 = 96 > 94 and more zeros than the target
        {ENGINE_TYPE_7_3, 3400, 0, 0},     // not more zeros than the target
        {ENGINE_TYPE_7_3, 3401, 60, 0},    // 98 - 4 = 94 is not above 94
        {ENGINE_TYPE_7_3, 1, 70000, 1},    // more than 70000 samples
        {ENGINE_TYPE_7_3, 0, 80000, 0},    // no zero sample yet
        {ENGINE_TYPE_6_4, 1, 69999, 0},    // exactly 70000 samples
        {ENGINE_TYPE_TARNEL, 3401, 0, 0},  // never stops by the rule
    };
    for (const StopCase &sc : cases) {
        SCOPED_TRACE(::testing::Message() << sc.engineType << ": " << sc.zeros << " / " << sc.nonZeros);
        vantrel::engine::initEngineDefaults();
        engineState.engineType = sc.engineType;
        engineState.zeroSamples = sc.zeros;
        engineState.nonZeroSamples = sc.nonZeros;
        EXPECT_EQ(shouldStopSampling(), sc.expected);
        if (sc.expected) {
            EXPECT_EQ(shouldStopSampling(), 2);
        }
    }
}

TEST_F(EngineTest, SampleTargetAndStopRuleEndSampling)
{
    EngineSetup setup = makeSetup(ENGINE_TYPE_6_4, 1, 1 << 30);
    setup.maxNumSamples = 3;
    ManualRun run(setup, allOf(ContentKind::random));
    ManualDevice &device = run.device;
    EngineResult &result = run.result;
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(device.answer(0), 0);
    EXPECT_EQ(device.answer(0), ENGINE_STATUS_DONE);
    EXPECT_EQ(result.nonZeroSamples, 3u);

    vantrel::engine::initEngineDefaults();
    setup.maxNumSamples = 20;
    EngineSession zeroSession(setup);
    ManualDevice zeroDevice(setup.deviceBytes, allOf(ContentKind::zero));
    zeroSession.start(&result);
    int calls = 0;
    int32_t rc = 0;
    while (rc == 0 && calls < 5000) {
        rc = zeroDevice.answer(0);
        calls++;
    }
    EXPECT_EQ(rc, ENGINE_STATUS_EARLY_STOP);
    // 100 - trunc(100 x eps) first exceeds 94 at 2335 samples.
    EXPECT_EQ(result.zeroSamples, 2335u);
    EXPECT_EQ(result.nonZeroSamples, 0u);
}

TEST_F(EngineTest, ExhaustiveCountingRules)
{
    // One context over 8 blocks: pattern, zero, pattern, random, zero, zero, random, random.
    const ContentKind kinds[] = {ContentKind::pattern, ContentKind::zero, ContentKind::pattern, ContentKind::random,
                                 ContentKind::zero,    ContentKind::zero, ContentKind::random,  ContentKind::random};
    EngineSetup setup = makeSetup(ENGINE_TYPE_6_4, 1, 8 * 65536);
    setup.exhaustive = true;
    setup.maxNumSamples = 1;  // neither the target nor the stop rule ends an exhaustive pass
    ManualRun run(setup, blockSource([&kinds](uint64_t b) { return kinds[b]; }));
    ManualDevice &device = run.device;
    EngineResult &result = run.result;
    std::vector<uint64_t> served;
    int32_t rc = 0;
    while (rc == 0 && device.pending(0)) {
        served.push_back(device.request(0).sector / 128);
        rc = device.answer(0);
    }
    EXPECT_EQ(served, (std::vector<uint64_t>{0, 1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(rc, ENGINE_STATUS_DONE);
    // The first sample (blocks 0 to 3) counts its three non-zero blocks and its skipped zero
    // block; block 6 is a sample of its own; block 7 uses up the range and is not counted.
    EXPECT_EQ(result.nonZeroSamples, 4u);
    EXPECT_EQ(result.zeroSamples, 3u);
    auto events = Recorder::events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].b, 0u);
    EXPECT_EQ(events[0].a, 4);
    EXPECT_EQ(events[1].b, 6u);
    EXPECT_EQ(events[1].a, 1);
    // Each non-zero block of a sample carries that sample's ratio.
    double expected = 3.0 * events[0].d / events[0].c + double(events[1].d) / events[1].c;
    EXPECT_NEAR(result.ratioSum, expected, 1e-12);

    // A range of one block counts nothing.
    vantrel::engine::initEngineDefaults();
    setup.deviceBytes = 65536;
    EngineSession single(setup);
    ManualDevice one(setup.deviceBytes, allOf(ContentKind::random));
    single.start(&result);
    EXPECT_EQ(one.answer(0), ENGINE_STATUS_DONE);
    EXPECT_EQ(result.nonZeroSamples + result.zeroSamples, 0u);
}

TEST_F(EngineTest, FailedReadOfARangesLastBlockFinishesTheContext)
{
    EngineSetup setup = makeSetup(ENGINE_TYPE_6_4, 2, 6 * 65536);
    setup.exhaustive = true;
    ManualRun run(setup, allOf(ContentKind::random));
    ManualDevice &device = run.device;
    ASSERT_EQ(device.answer(1), 0);  // block 3
    ASSERT_EQ(device.answer(1), 0);  // block 4
    EXPECT_EQ(device.request(1).sector / 128, 5u);
    EXPECT_EQ(device.answer(1, 1), 0) << "the range's last block failed: context 1 is done";
    for (const ReadRequest &request : Recorder::requests())
        EXPECT_LT(request.sector, 6 * 128u) << "no request past the device's end";
    EXPECT_EQ(device.answer(0), 0);
    EXPECT_EQ(device.answer(0), 0);
    EXPECT_EQ(device.answer(0), ENGINE_STATUS_DONE);
    EXPECT_EQ(run.result.nonZeroSamples, 4u);
}

TEST_F(EngineTest, TraceLinesAtLevelThree)
{
    EngineSetup setup = makeSetup(ENGINE_TYPE_6_4, 1, 1 << 30);
    ManualRun run(setup, allOf(ContentKind::random));
    ManualDevice &device = run.device;
    const uint64_t location = device.request(0).sector * 512;
    ASSERT_EQ(device.answer(0), 0);
    auto logs = Recorder::logs();
    ASSERT_EQ(logs.size(), 2u);
    EXPECT_EQ(logs[0].text, "Read location: " + std::to_string(location) + " rc:0 bytes read :65536");
    EXPECT_EQ(logs[0].level, 3u);
    auto events = Recorder::events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(logs[1].text, "Read location: " + std::to_string(location) + " zlib in: " + std::to_string(events[0].c));
    EXPECT_EQ(logs[1].level, 3u);
}

}  // namespace
}  // namespace vantrel::testing
