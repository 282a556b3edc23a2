// Deflate measurement: caps, credits, the unit boundary, the hint and the output itself.
#include <algorithm>
#include <cmath>
#include <random>

#include "engine/incompressibility_check.h"
#include "engine_fixture.h"
#include "tests/deflate/inflate_oracle.h"

namespace vantrel::testing {
namespace {

using vantrel::engine::engineState;
using vantrel::engine::IncompressibilityCheck;
using vantrel::engine::noGainInput;
using vantrel::engine::ThreadContext;

TEST_F(EngineTest, InputCapEndsASampleWithAFullBuffer)
{
    EngineSetup setup = makeSetup(ENGINE_TYPE_6_4, 1, 1 << 30);
    ManualRun run(setup, allOf(ContentKind::pattern));
    ManualDevice &device = run.device;
    while (Recorder::events().empty())
        ASSERT_EQ(device.answer(0), 0);
    auto event = Recorder::events()[0];
    EXPECT_EQ(event.a, 8);
    EXPECT_EQ(event.c, 491520u);
    EXPECT_EQ(event.d, 32768u);
    ContextStats stats{};
    vantrel_get_contextStats(0, &stats);
    EXPECT_DOUBLE_EQ(stats.ratioSum, 1.0 / 15);
    EXPECT_EQ(stats.inputBytes, 491520u);
    EXPECT_EQ(stats.compressedBytes, 32768u);
}

TEST(TwoStreamCreditTest, NoGainSamplesGetTheAdjustedInput)
{
    EXPECT_EQ(noGainInput(32768, 32768), 32125u);
    EXPECT_EQ(noGainInput(20000, 32768), 19758u);
}

TEST_F(EngineTest, TwoStreamIncompressibleSampleIsCreditedWithTheAdjustment)
{
    EngineSetup setup = makeSetup(ENGINE_TYPE_7_3, 1, 1 << 30);
    ManualRun run(setup, allOf(ContentKind::random));
    ManualDevice &device = run.device;
    ASSERT_EQ(device.answer(0), 0);
    auto events = Recorder::events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].code, uint32_t(STATS_EVENT_TWO_STREAM_SAMPLE));
    EXPECT_EQ(events[0].d, 32768u);
    EXPECT_LT(events[0].c, 32768u);
    ContextStats stats{};
    vantrel_get_contextStats(0, &stats);
    // The credited input gives a ratio of the raw ratio plus 0.02, to single precision.
    EXPECT_NEAR(stats.ratioSum, 32768.0 / events[0].c, 1e-12);
    EXPECT_GT(stats.ratioSum, 1.02);
}

TEST_F(EngineTest, UnitBoundaryEndsASampleOnTheUnitsLastBlock)
{
    // Exhaustive ranges place the sample starts: block 1023 ends after its last slice, a sample
    // from block 1022 runs on past block 1024.
    struct Case {
        uint64_t firstBlock;
        int32_t spans;
    };
    for (Case uc : {Case{1023, 1}, Case{1022, 8}}) {
        SCOPED_TRACE(uc.firstBlock);
        vantrel::engine::initEngineDefaults();
        Recorder::clear();
        EngineSetup setup = makeSetup(ENGINE_TYPE_6_4, 1, 2048ULL * 65536);
        setup.exhaustive = true;
        EngineSession session(setup);
        vantrel_threads_params(0, int64_t(uc.firstBlock * 65536), int64_t(2048ULL * 65536));
        ManualDevice device(setup.deviceBytes, allOf(ContentKind::pattern));
        EngineResult result{};
        session.start(&result);
        while (Recorder::events().empty())
            ASSERT_EQ(device.answer(0), 0);
        auto event = Recorder::events()[0];
        EXPECT_EQ(event.b, uc.firstBlock);
        EXPECT_EQ(event.a, uc.spans);
        EXPECT_EQ(event.d, 32768u);
    }
}

TEST_F(EngineTest, SmallBlocksMeasureInShortSlicesAndCapTheUnit)
{
    // 512-byte blocks: one short slice per block, and a unit of 131072 blocks would not fit the
    // 16-bit block count, so a sample spans at most 32767 blocks.
    EngineSetup setup = makeSetup(ENGINE_TYPE_6_4, 1, 65536ULL * 512);
    setup.blockSize = 512;
    setup.exhaustive = true;
    setup.withLog = false;
    EngineSession session(setup);
    vantrel_threads_params(0, 100 * 512, int64_t(setup.deviceBytes));
    ManualDevice device(setup.deviceBytes,
                        blockSource([](uint64_t b) { return b == 100 ? ContentKind::text : ContentKind::zero; }, 512));
    EngineResult result{};
    session.start(&result);
    while (Recorder::events().empty())
        ASSERT_EQ(device.answer(0), 0);
    auto event = Recorder::events()[0];
    EXPECT_EQ(event.b, 100u);
    EXPECT_EQ(event.a, 32767);
    EXPECT_EQ(event.c, 1024u) << "the text block and the zero block that ended the sample";
}

TEST_F(EngineTest, RandomStartIsNotDrawnOnTheDevicesLastBlock)
{
    // Type 116 starts a sample at a random offset, but a sample on the last block is closed
    // after it with a full buffer credited: it must hold the whole block, not a few bytes.
    EngineSetup setup = makeSetup(ENGINE_TYPE_11_6, 1, 3 * 65536);
    ManualRun run(setup, allOf(ContentKind::text));
    size_t lastBlockSamples = 0;
    for (int i = 0; i < 60; i++)
        ASSERT_EQ(run.device.answer(0), 0);
    for (const StatsEventRecord &event : Recorder::events()) {
        EXPECT_LE(double(event.d) / event.c, 1.0) << "block " << event.b;
        if (event.b == 2) {
            lastBlockSamples++;
            EXPECT_EQ(event.c, 65536u);
        }
    }
    EXPECT_GT(lastBlockSamples, 0u);
}

TEST_F(EngineTest, UnknownEngineTypeMeasuresLikeType64)
{
    std::vector<std::vector<StatsEventRecord>> runs;
    for (uint32_t type : {uint32_t(ENGINE_TYPE_6_4), 99u}) {
        vantrel::engine::initEngineDefaults();
        Recorder::clear();
        ManualRun run(makeSetup(type, 1, 1 << 30), allOf(ContentKind::text));
        for (int i = 0; i < 12; i++)
            ASSERT_EQ(run.device.answer(0), 0);
        runs.push_back(Recorder::events());
    }
    ASSERT_FALSE(runs[0].empty());
    ASSERT_EQ(runs[0].size(), runs[1].size());
    for (size_t i = 0; i < runs[0].size(); i++) {
        EXPECT_EQ(runs[1][i].code, uint32_t(STATS_EVENT_SAMPLE));
        EXPECT_EQ(runs[1][i].b, runs[0][i].b);
        EXPECT_EQ(runs[1][i].c, runs[0][i].c);
    }
}

TEST_F(EngineTest, CompressionErrorIsLoggedReportedAndTheSampleDropped)
{
    // An arena too small for the stream's state: set-up fails, the compression call then
    // refuses the stream, and the sample is dropped without touching memory past the arena.
    EngineSetup setup = makeSetup(ENGINE_TYPE_6_4, 1, 1 << 30);
    ManualRun run(setup, allOf(ContentKind::text));
    engineState.contextMemorySize = 40000;
    const uint64_t first = run.device.request(0).sector;
    ASSERT_EQ(run.device.answer(0), 0);
    auto events = Recorder::events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].code, uint32_t(STATS_EVENT_COMPRESSION_ERROR));
    EXPECT_EQ(events[0].a, vdeflate::Z_STREAM_ERROR);
    EXPECT_EQ(events[0].b, first / 128);
    EXPECT_EQ(events[0].d, 1u) << "the engine's non-zero samples";
    auto logs = Recorder::logs();
    ASSERT_EQ(logs.size(), 2u);
    EXPECT_EQ(logs[1].text, "Compression error: (-2)");
    EXPECT_EQ(logs[1].level, 0u);
    const ThreadContext &context = engineState.contexts[0];
    EXPECT_EQ(context.regionBlock, 0) << "the context starts over";
    EXPECT_EQ(context.inputBytes, 0u);
    EXPECT_EQ(context.ratioSum, 0.0);
    EXPECT_LE(context.arenaUsed, 40000u - 32768u);
}

TEST(IncompressibilityCheckTest, Verdicts)
{
    std::vector<uint8_t> zeros(32768, 0), counting(32768), random(32768);
    for (size_t i = 0; i < counting.size(); i++)
        counting[i] = uint8_t(i);
    IncompressibilityCheck check;
    EXPECT_EQ(check.isIncompressible(zeros.data(), 32768), 0u);
    EXPECT_DOUBLE_EQ(IncompressibilityCheck::byteEntropy(zeros.data(), 32768), 0.0);
    EXPECT_EQ(check.isIncompressible(counting.data(), 32768), 0u);
    EXPECT_DOUBLE_EQ(IncompressibilityCheck::byteEntropy(counting.data(), 32768), 8.0);

    int incompressible = 0;
    for (uint64_t seed = 1; seed <= 50; seed++) {
        fillContent(ContentKind::random, random.data(), random.size(), seed);
        incompressible += check.isIncompressible(random.data(), 32768) == 2;
        EXPECT_EQ(check.verdict, check.isIncompressible(random.data(), 32768));
        EXPECT_EQ(check.isIncompressible(random.data(), 4095), 0u);
    }
    EXPECT_GE(incompressible, 48);
    fillContent(ContentKind::text, random.data(), random.size(), 3);
    EXPECT_EQ(check.isIncompressible(random.data(), 32768), 0u);
}

// The verdict, computed the plain way: a set of the changes' low five bits per 255-byte chunk.
uint32_t plainVerdict(const uint8_t *data, int32_t length)
{
    if (length < 4096)
        return 0;
    int32_t repeats = 0;
    for (int32_t s = 0; s < length; s += 256) {
        bool seen[32] = {};
        uint8_t prev = 0;
        for (int32_t i = s; i < std::min(s + 255, length); i++) {
            int v = (prev ^ data[i]) & 31;
            repeats += seen[v];
            seen[v] = true;
            prev = data[i];
        }
    }
    int counts[256] = {};
    for (int i = 0; i < 256; i++)
        counts[data[i]]++;
    double entropy = 0;
    for (int count : counts)
        if (count)
            entropy -= count / 256.0 * std::log2(count / 256.0);
    return (length - repeats) * 777 >= length * 100 && entropy > 6.5 ? 2 : 0;
}

TEST(IncompressibilityCheckTest, AgreesWithThePlainCountNearTheThreshold)
{
    // Random bytes with a growing share replaced by a constant cross the threshold.
    std::mt19937_64 rng(5);
    std::vector<uint8_t> slice(32768);
    int verdicts[3] = {};
    for (int share = 0; share <= 100; share += 2) {
        fillContent(ContentKind::random, slice.data(), slice.size(), uint64_t(share) + 1);
        for (uint8_t &b : slice)
            if (int(rng() % 100) < share)
                b = 'e';
        for (int32_t length : {4096, 20000, 32768}) {
            IncompressibilityCheck check;
            uint32_t verdict = check.isIncompressible(slice.data(), length);
            ASSERT_EQ(verdict, plainVerdict(slice.data(), length)) << share << "% constant, " << length << " bytes";
            verdicts[verdict]++;
        }
    }
    EXPECT_GT(verdicts[0], 0);
    EXPECT_GT(verdicts[2], 0);
}

// The measured output is a zlib stream: the system's inflate must give back exactly the bytes
// the sample was credited with, no more and no fewer, in device order, zero blocks left out.
TEST_F(EngineTest, MeasuredOutputDecodesToTheCreditedInput)
{
    const auto kindOf = [](uint64_t b) { return b % 3 == 1 ? ContentKind::zero : ContentKind::text; };
    for (uint32_t type : {ENGINE_TYPE_6_4, ENGINE_TYPE_7_1, ENGINE_TYPE_7_2, ENGINE_TYPE_7_3, ENGINE_TYPE_11_6}) {
        SCOPED_TRACE(type);
        vantrel::engine::initEngineDefaults();
        Recorder::clear();
        EngineSetup setup = makeSetup(type, 1, 1 << 30);
        EngineSession session(setup);
        ContentSource source = blockSource(kindOf);
        ManualDevice device(setup.deviceBytes, source);
        EngineResult result{};
        session.start(&result);
        // Start a sample on a text block, then serve until it ends.
        while (kindOf(device.request(0).sector / 128) == ContentKind::zero)
            ASSERT_EQ(device.answer(0), 0);
        while (Recorder::events().empty())
            ASSERT_EQ(device.answer(0), 0);
        auto event = Recorder::events()[0];
        ASSERT_GT(event.c, 0u);

        std::vector<uint8_t> expected, block(65536);
        for (uint64_t b = event.b; expected.size() < event.c + 65536; b++) {
            if (kindOf(b) == ContentKind::zero)
                continue;
            source(b * 65536, block.data(), block.size());
            expected.insert(expected.end(), block.begin(), block.end());
        }
        // Only what the library wrote is output: type 116 may leave the buffer's tail unused.
        const ThreadContext &context = engineState.contexts[0];
        const uint8_t *output = context.workArea;
        const size_t written = size_t(context.stream.next_out - output);
        ASSERT_LE(written, 32768u);
        EXPECT_EQ(output[0], 0x78);
        EXPECT_EQ(output[1], 0x01);
        const oracle::Decoded inflated = oracle::inflateBytes(output, written, 15);
        ASSERT_FALSE(inflated.dataError);
        const std::vector<uint8_t> &decoded = inflated.data;
        ASSERT_EQ(decoded.size(), event.c);
        // Type 116 starts at a random offset within the first 64 KiB.
        size_t offset = 0;
        if (type == ENGINE_TYPE_11_6)
            offset = size_t(std::search(expected.begin(), expected.end(), decoded.begin(), decoded.begin() + 4096) -
                            expected.begin());
        ASSERT_LE(offset, 65536u);
        ASSERT_LE(offset + decoded.size(), expected.size());
        EXPECT_TRUE(std::equal(decoded.begin(), decoded.end(), expected.begin() + offset));
    }
}

}  // namespace
}  // namespace vantrel::testing
