// Configuration entry points: memory layout, parameters, abort, start and read locations.
#include <algorithm>
#include <cstring>
#include <ctime>

#include "engine_fixture.h"

extern "C" uint32_t cCallerMemoryNeed(uint32_t threads);
extern "C" int32_t cCallerAbortTwice(void);

namespace vantrel::testing {
namespace {

using vantrel::engine::END_OF_RANGE;
using vantrel::engine::engineState;
using vantrel::engine::nextReadLocation;
using vantrel::engine::ThreadContext;

constexpr uint64_t perRecord = sizeof(ThreadContext) + 393216;

void configure(uint32_t engineType, uint64_t seed = 1, int32_t blockSize = 65536)
{
    passGlobals(3400, engineType, false, seed, blockSize, nullptr, 0, nullptr, 0, 0, 0, 0);
}

TEST_F(EngineTest, MemoryFormulaAndLayoutForTwinContexts)
{
    configure(ENGINE_TYPE_7_3);
    uint32_t need = 0;
    EXPECT_EQ(vantrel_init(Recorder::onReadRequest, nullptr, 10, &need), 0);
    EXPECT_EQ(need, 20 * perRecord);

    std::vector<uint64_t> memory(need / 8 + 1, ~0ULL);
    auto *base = reinterpret_cast<uint8_t *>(memory.data());
    ASSERT_EQ(vantrel_set_memory(base, need), 0);
    EXPECT_EQ(engineState.threads, 10);
    ASSERT_EQ(reinterpret_cast<uint8_t *>(engineState.contexts), base);
    for (int r : {0, 19}) {
        const ThreadContext &record = engineState.contexts[r];
        EXPECT_EQ(record.workArea, base + 20 * sizeof(ThreadContext) + r * 393216);
        EXPECT_EQ(record.arenaBase, record.workArea + 32768);
        EXPECT_EQ(record.stream.next_out, record.workArea);
        EXPECT_EQ(record.stream.avail_out, 32768u);
        EXPECT_EQ(record.stream.opaque, &record);
        EXPECT_EQ(record.cursor, 0u);
    }
    EXPECT_EQ(base[need - 1], 0) << "the whole memory is zeroed";
}

TEST_F(EngineTest, SetMemoryLowersThreadsOrRefuses)
{
    configure(ENGINE_TYPE_6_4);
    uint32_t need = 0;
    vantrel_init(Recorder::onReadRequest, nullptr, 10, &need);
    EXPECT_EQ(need, 10 * perRecord);
    std::vector<uint64_t> memory(need / 8 + 1);
    auto *base = reinterpret_cast<uint8_t *>(memory.data());

    EXPECT_EQ(vantrel_set_memory(base, uint32_t(3 * perRecord + perRecord / 2)), 0);
    EXPECT_EQ(engineState.threads, 3);

    EXPECT_EQ(vantrel_set_memory(base, uint32_t(perRecord - 1)), 1);
    EXPECT_EQ(engineState.threads, 3);
    // Without a layout nothing is sampled and no context can be touched.
    EngineResult result{};
    result.nonZeroSamples = 99;
    EXPECT_EQ(vantrel_start(testDeviceId, 1 << 21, &result), 0);
    EXPECT_TRUE(Recorder::requests().empty());
    EXPECT_EQ(result.nonZeroSamples, 0u);
    uint8_t block[65536] = {};
    EXPECT_EQ(vantrel_read_done(testDeviceId, 0, 0, 65536, block, 2), 0);
}

TEST_F(EngineTest, MemoryNeedSaturatesInsteadOfWrapping)
{
    configure(ENGINE_TYPE_7_3);
    uint32_t need = 0;
    vantrel_init(Recorder::onReadRequest, nullptr, 100000, &need);
    EXPECT_EQ(need, UINT32_MAX);
}

TEST_F(EngineTest, PassGlobalsStoresParameters)
{
    EXPECT_EQ(engineState.contextMemorySize, 262144u);
    configure(ENGINE_TYPE_7_3, 7, 131072);
    EXPECT_EQ(engineState.blockSize, 131072);
    EXPECT_EQ(engineState.seed, 7u);
    EXPECT_EQ(engineState.contextMemorySize, 393216u);

    uint64_t before = uint64_t(std::time(nullptr));
    configure(ENGINE_TYPE_7_3, 0);
    uint64_t after = uint64_t(std::time(nullptr));
    EXPECT_GE(engineState.seed, before);
    EXPECT_LE(engineState.seed, after);

    configure(ENGINE_TYPE_6_4, 1, 0);  // no usable block size: the default takes its place
    EXPECT_EQ(engineState.blockSize, 65536);
}

TEST_F(EngineTest, AbortReportsARepeatedRequest)
{
    EXPECT_EQ(vantrel_abort(0), 0);
    EXPECT_EQ(engineState.status.load(), ENGINE_STATUS_ABORTED);
    engineState.status = ENGINE_STATUS_DONE;
    EXPECT_EQ(vantrel_abort(0), 3);
    EXPECT_EQ(engineState.status.load(), ENGINE_STATUS_ABORTED);
    vantrel_startEx(1, 2, 3, 4);
    EXPECT_EQ(vantrel_get_zero_savings(), 0.0);
}

TEST_F(EngineTest, CCallersLinkAgainstTheEntryPoints)
{
    EXPECT_EQ(cCallerMemoryNeed(4), 4 * perRecord);
    EXPECT_EQ(cCallerAbortTwice(), 3);
}

TEST_F(EngineTest, StartRequestsOneBlockPerContext)
{
    EngineSession session(makeSetup(ENGINE_TYPE_7_3, 5, 1 << 30));
    EngineResult result{};
    session.start(&result);
    auto requests = Recorder::requests();
    ASSERT_EQ(requests.size(), 5u);
    for (uint32_t c = 0; c < 5; c++) {
        EXPECT_EQ(requests[c].thread, c);
        EXPECT_EQ(requests[c].sectors, 128u);
        EXPECT_EQ(requests[c].deviceId, testDeviceId);
        EXPECT_EQ(requests[c].sector % 128, 0u);
    }
}


TEST_F(EngineTest, StartEndsASampleLeftOpenAndMeasuresAfresh)
{
    // The sample target finishes the only context while its sample is open (the stream set up,
    // input counted). A new start must end that stream, empty the arena and clear the stream's
    // counts, or the next sample would be fed to an ended stream and fail.
    for (uint32_t type : {uint32_t(ENGINE_TYPE_6_4), uint32_t(ENGINE_TYPE_7_3)}) {
        SCOPED_TRACE(type);
        vantrel::engine::initEngineDefaults();
        Recorder::clear();
        EngineSetup setup = makeSetup(type, 1, 1 << 30);
        setup.maxNumSamples = 1;
        ManualRun run(setup, allOf(ContentKind::pattern));
        ASSERT_EQ(run.device.answer(0), 0);
        ASSERT_NE(engineState.contexts[0].regionBlock, 0) << "the sample needs more than one block";
        ASSERT_EQ(run.device.answer(0), ENGINE_STATUS_DONE);
        ASSERT_NE(engineState.contexts[0].stream.state, nullptr);

        Recorder::clear();
        engineState.maxNumSamples = 3400;  // the second start runs until a sample is measured
        run.session.start(&run.result);
        for (uint32_t r = 0; r < (type == ENGINE_TYPE_7_3 ? 2u : 1u); r++) {
            const ThreadContext &context = engineState.contexts[r];
            EXPECT_EQ(context.stream.state, nullptr);
            EXPECT_EQ(context.arenaUsed, 0u);
            EXPECT_EQ(context.stream.total_in, 0u);
            EXPECT_EQ(context.regionBlock, 0);
        }
        for (int reads = 0; reads < 64 && Recorder::events().empty(); reads++)
            ASSERT_EQ(run.device.answer(0), 0);
        ASSERT_FALSE(Recorder::events().empty());
        const StatsEventRecord event = Recorder::events()[0];
        EXPECT_NE(event.code, uint32_t(STATS_EVENT_COMPRESSION_ERROR));
        EXPECT_GT(event.c, 65536u);
        EXPECT_EQ(event.d, 32768u);
    }
}
TEST_F(EngineTest, SeedOneDrawsTheKnownBlocks)
{
    EngineSetup setup = makeSetup(ENGINE_TYPE_7_3, 1, 1 << 30);
    ManualRun run(setup, [](uint64_t, uint8_t *out, size_t n) { std::memset(out, 0, n); });
    ManualDevice &device = run.device;
    ASSERT_TRUE(device.pending(0));
    EXPECT_EQ(device.request(0).sector, 825984u);  // block 6453, byte offset 422903808
    std::vector<uint64_t> blocks;
    for (int i = 0; i < 2; i++) {
        ASSERT_EQ(device.answer(0), 0);  // a zero block: the next start is drawn
        blocks.push_back(device.request(0).sector / 128);
    }
    EXPECT_EQ(blocks, (std::vector<uint64_t>{4393, 15050}));
}

TEST_F(EngineTest, ThreadRangesAndExhaustiveLocations)
{
    EngineSetup setup = makeSetup(ENGINE_TYPE_6_4, 3, 1 << 30);
    setup.exhaustive = true;
    EngineSession session(setup);
    vantrel_threads_params(2, 1000000, 2000000);
    EXPECT_EQ(engineState.contexts[2].rangeStart, 15u);
    EXPECT_EQ(engineState.contexts[2].rangeEnd, 30u);
    for (uint64_t block = 15; block < 30; block++)
        ASSERT_EQ(nextReadLocation(2), block * 65536);
    EXPECT_EQ(nextReadLocation(2), END_OF_RANGE);
    EXPECT_EQ(nextReadLocation(2), END_OF_RANGE);

    vantrel_threads_params(1, 655360, 655360);  // empty range
    EXPECT_EQ(nextReadLocation(1), END_OF_RANGE);
    vantrel_threads_params(99, 0, 65536);  // no such context: ignored
}

TEST_F(EngineTest, DeviceSmallerThanABlockAlwaysReadsBlockZero)
{
    EngineSession session(makeSetup(ENGINE_TYPE_6_4, 1, 40000));
    EngineResult result{};
    session.start(&result);
    for (int i = 0; i < 20; i++)
        ASSERT_EQ(nextReadLocation(0), 0u);
}

TEST_F(EngineTest, LargeDevicesDrawBlocksBeyondTheSigned32BitRange)
{
    // 2^33 blocks of 512 bytes: a 32-bit count would be negative; the 64-bit count spans all.
    EngineSetup setup = makeSetup(ENGINE_TYPE_6_4, 1, 1ULL << 42);
    setup.blockSize = 512;
    EngineSession session(setup);
    EngineResult result{};
    session.start(&result);
    uint64_t highest = 0;
    for (int i = 0; i < 200; i++) {
        uint64_t location = nextReadLocation(0);
        ASSERT_LT(location, 1ULL << 42);
        ASSERT_EQ(location % 512, 0u);
        highest = std::max(highest, location);
    }
    EXPECT_GT(highest, 1ULL << 41);
}

// Exhaustive mode with more contexts than blocks: the contexts with empty ranges are finished at
// the start, so the one range that holds blocks is read to its end and the pass ends with a
// final record. Only when no range holds a block are the past-the-end requests made.
TEST_F(EngineTest, EmptyExhaustiveRangesAreFinishedAtTheStart)
{
    EngineSetup setup = makeSetup(ENGINE_TYPE_6_4, 4, 2 * 65536);  // ranges: 3 empty, then [0, 2)
    setup.exhaustive = true;
    ManualRun run(setup, allOf(ContentKind::random));
    for (uint32_t c = 0; c < 3; c++)
        EXPECT_FALSE(run.device.pending(c)) << c;
    ASSERT_TRUE(run.device.pending(3));
    EXPECT_EQ(run.device.answer(3), 0);
    EXPECT_EQ(run.device.answer(3), ENGINE_STATUS_DONE);
    EXPECT_EQ(run.result.nonZeroSamples, 1u);

    EngineSetup tiny = makeSetup(ENGINE_TYPE_6_4, 2, 1000);  // less than one block: all empty
    tiny.exhaustive = true;
    ManualRun none(tiny, allOf(ContentKind::random));
    for (uint32_t c = 0; c < 2; c++) {
        ASSERT_TRUE(none.device.pending(c));
        EXPECT_EQ(none.device.request(c).sector, END_OF_RANGE / 512);
    }
}

}  // namespace
}  // namespace vantrel::testing
