// model_engine_test.cpp - engine runs measured by the stripe model (400) and the card model (300).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "device_content.h"
#include "engine/engine_state.h"
#include "engine_fixture.h"
#include "model/Tarnel.h"
#include "model/Zov.h"
#include "model_run.h"

namespace vantrel::testing {
namespace {

using orvane::tessaline::kbx::tarnel::Tarnel;
using orvane::tessaline::kbx::tarnel::Zov;
using vantrel::engine::engineState;

constexpr uint32_t strip = 262144;
constexpr uint32_t width5Block = 3 * strip;  // data strips of a stripe of width 5

// One strip's content: a kind from the test device's generator, or every byte `fill`.
struct StripContent {
    ContentKind kind;
    int fill = -1;
};

// A device of width-5 stripes, three data strips each, laid end to end.
std::vector<uint8_t> stripeImage(const std::vector<std::vector<StripContent>> &stripes)
{
    std::vector<uint8_t> image(stripes.size() * width5Block);
    uint64_t seed = 1;
    for (size_t s = 0; s < stripes.size(); s++) {
        for (size_t i = 0; i < 3; i++) {
            uint8_t *at = image.data() + s * width5Block + i * strip;
            const StripContent &content = stripes[s][i];
            if (content.fill >= 0)
                std::memset(at, content.fill, strip);
            else
                fillContent(content.kind, at, strip, seed++);
        }
    }
    return image;
}

std::string zovLine(uint64_t bytesOut, uint32_t blockSize)
{
    std::ostringstream text;
    text << "Zov : (" << double(bytesOut) / blockSize << ")";
    return text.str();
}

std::string countsLine(const char *key, const std::vector<uint64_t> &counts)
{
    std::string line = key;
    for (uint64_t n : counts)
        line += std::to_string(n) + " ";
    return line;
}

class ModelEngineTest : public EngineTest {};

// Sets or removes VTRLL3, the variable that asks for the card model's node counts. The C runtime
// of Windows removes a variable set to an empty value, so there it is set to "1".
void setNodeDumpVariable(bool present)
{
#ifdef _WIN32
    _putenv_s("VTRLL3", present ? "1" : "");
#else
    if (present)
        setenv("VTRLL3", "", 1);
    else
        unsetenv("VTRLL3");
#endif
}

TEST_F(ModelEngineTest, PassGlobalsMakesOneModelPerKindAndKeepsItOnFailure)
{
    EXPECT_EQ(vantrel_get_zero_savings(), 0.0);  // no stripe model yet

    passGlobals(100, ENGINE_TYPE_ZOV, false, 9, 65536, nullptr, 0, nullptr, 0, 0, 0, 12);
    Zov *first = engineState.zovModel;
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(engineState.blockSize, int32_t(10 * strip));  // the data strips, not what was asked
    EXPECT_EQ(vantrel_get_zero_savings(), 0.0);             // a model that has seen no stripe

    passGlobals(100, ENGINE_TYPE_ZOV, false, 9, 4096, nullptr, 0, nullptr, 0, 0, 0, 5);
    ASSERT_NE(engineState.zovModel, nullptr);
    EXPECT_NE(engineState.zovModel, first);  // made anew; the first one is destroyed
    EXPECT_EQ(engineState.blockSize, int32_t(3 * strip));
    Zov *second = engineState.zovModel;

    // A bad width: the parameters are stored, the old model, seed and work-area size stay.
    const uint32_t workArea = engineState.contextMemorySize;
    try {
        passGlobals(7, ENGINE_TYPE_ZOV, false, 55, 8192, nullptr, 0, nullptr, 0, 0, 0, 17);
        FAIL() << "no exception";
    } catch (const std::runtime_error &error) {
        EXPECT_STREQ(error.what(), "[orvane::tessaline::kbx::tarnel::Zov] Error: stripe width can be at most 16");
    }
    EXPECT_EQ(engineState.zovModel, second);
    EXPECT_EQ(engineState.maxNumSamples, 7u);
    EXPECT_EQ(engineState.stripeWidth, 17u);
    EXPECT_EQ(engineState.blockSize, 8192);
    EXPECT_EQ(engineState.seed, 9u);
    EXPECT_EQ(engineState.contextMemorySize, workArea);

    // The card model is a separate object; a deflate type touches neither.
    passGlobals(100, ENGINE_TYPE_TARNEL, false, 9, 65536, nullptr, 0, nullptr, 6, 1, 2, 0);
    Tarnel *cards = engineState.tarnelModel;
    ASSERT_NE(cards, nullptr);
    EXPECT_EQ(engineState.blockSize, 65536);
    EXPECT_THROW(passGlobals(100, ENGINE_TYPE_TARNEL, false, 9, 65536, nullptr, 0, nullptr, 6, 1, 3, 0),
                 std::runtime_error);
    passGlobals(100, ENGINE_TYPE_7_3, false, 9, 65536, nullptr, 0, nullptr, 0, 0, 0, 0);
    EXPECT_EQ(engineState.tarnelModel, cards);
    EXPECT_EQ(engineState.zovModel, second);
}

// Two contexts served in turn on one thread, so that a second Zov fed the same stripes in the
// same order draws the same bytes and must reach the same totals.
TEST_F(ModelEngineTest, StripeSamplesFollowTheStripeModel)
{
    const StripContent zero{ContentKind::zero}, text{ContentKind::text}, pattern{ContentKind::pattern},
        random{ContentKind::random};
    // Pages of each stripe (48 data, 16 P, 17 Q) that lie in all-zero strips.
    const std::vector<uint64_t> zeroPagesOf = {81, 0, 16, 32};
    const std::vector<uint8_t> image = stripeImage({
        {zero, zero, zero},
        {text, text, text},
        {zero, pattern, random},
        {{ContentKind::zero, 0x01}, {ContentKind::zero, 0xFF}, zero},  // P sums to zero
    });

    const uint32_t samples = 8;
    ModelSetup setup;
    setup.contexts = 2;
    setup.deviceBytes = image.size();
    setup.maxNumSamples = samples;
    ModelSession session(setup);
    ASSERT_EQ(engineState.blockSize, int32_t(width5Block));
    ManualDevice device(image.size(), imageSource(image));
    EngineResult result{};
    session.start(&result);

    Zov oracle(5);
    uint64_t zeroPages = 0, totalPages = 0;
    uint64_t compressedOf[2] = {0, 0};
    for (uint32_t i = 0; i < samples; i++) {
        const uint32_t c = i % 2;
        const uint64_t offset = device.request(c).sector * 512;
        ASSERT_EQ(offset % width5Block, 0u);
        ASSERT_EQ(device.request(c).sectors, width5Block / 512);
        // Whatever the caller says about zeros, the model sees every block.
        ASSERT_EQ(device.answer(c, 0, -1, i % 3), 0);
        oracle.compressZov(std::vector<uint8_t>(image.begin() + offset, image.begin() + offset + width5Block));
        compressedOf[c] += oracle.bytesOut();
        zeroPages += zeroPagesOf[offset / width5Block];
        totalPages += 81;

        const LogRecord last = Recorder::logs().back();
        EXPECT_EQ(last.text, zovLine(oracle.bytesOut(), width5Block));
        EXPECT_EQ(last.level, 0u);
        EXPECT_EQ(last.thread, c);
    }

    for (uint32_t c = 0; c < 2; c++) {
        ContextStats stats{};
        vantrel_get_contextStats(c, &stats);
        EXPECT_EQ(stats.nonZeroSamples, samples / 2);
        EXPECT_EQ(stats.zeroSamples, 0);
        EXPECT_EQ(stats.inputBytes, width5Block);
        EXPECT_EQ(stats.compressedBytes, compressedOf[c]);
        EXPECT_EQ(stats.ratioSum, 1.0 / oracle.ratio());  // the same in every context
    }
    const double zeroShare = double(zeroPages) / double(totalPages);
    EXPECT_DOUBLE_EQ(vantrel_get_zero_savings(), zeroShare);
    EXPECT_EQ(vantrel_get_zero_savings(), oracle.zeroFraction());

    // The target is reached: the next block of each context finishes it, unused.
    EXPECT_EQ(device.answer(0), 0);
    EXPECT_EQ(device.answer(1), ENGINE_STATUS_DONE);
    EXPECT_EQ(result.nonZeroSamples, samples);
    EXPECT_EQ(result.zeroSamples, 0u);
    EXPECT_EQ(result.ratioSum, samples / oracle.ratio());
    const auto nonZeroSectors = uint64_t((1 - oracle.zeroFraction()) * double(image.size()) * (1.0 / 512));
    EXPECT_EQ(result.nonZeroSectors, nonZeroSectors);
    EXPECT_NEAR(double(result.nonZeroSectors), (1 - zeroShare) * double(image.size()) / 512, 1.0);
    EXPECT_EQ(result.compressedSectors, uint64_t(double(nonZeroSectors) * result.ratioSum / samples));
    EXPECT_NEAR(result.accuracyPercent, 100 * std::sqrt(std::log(2e7) / (2 * samples)), 1e-9);
}

// 6 data cards of 4096 bytes in 65536-byte blocks: the block at byte 196608 is stripe 8 and
// only its first 24576 bytes reach the card model.
TEST_F(ModelEngineTest, CardSamplesUseTheStripeNumberAndDumpTheNodes)
{
    constexpr uint32_t block = 65536, cards = 6 * 4096;
    std::vector<uint8_t> image(6 * block);
    fillContent(ContentKind::text, image.data(), image.size(), 3);
    fillContent(ContentKind::random, image.data() + 3 * block + cards, block - cards, 4);

    const std::vector<uint8_t> data(image.begin() + 3 * block, image.begin() + 3 * block + cards);
    Tarnel oracle(6, 1, 2), byBlockNumber(6, 1, 2);
    uint32_t out = 0, outByBlock = 0;
    ASSERT_EQ(oracle.compressKuv(8, data, &out), 0);
    byBlockNumber.compressKuv(3, data, &outByBlock);
    std::vector<uint64_t> in, physical, inByBlock;
    oracle.nodeBytesIn(in);
    oracle.nodeBytesOut(physical);
    byBlockNumber.nodeBytesIn(inByBlock);
    ASSERT_NE(in, inByBlock);  // the stripe number decides which nodes are charged

    for (const bool dump : {true, false}) {
        SCOPED_TRACE(dump ? "VTRLL3 set" : "VTRLL3 absent");
        Recorder::clear();
        setNodeDumpVariable(dump);
        ModelSetup setup;
        setup.engineType = ENGINE_TYPE_TARNEL;
        setup.deviceBytes = image.size();
        setup.exhaustive = true;
        ModelSession session(setup);
        session.setRange(0, 3 * block, 5 * block);
        ManualDevice device(image.size(), imageSource(image));
        EngineResult result{};
        session.start(&result);

        ASSERT_EQ(device.request(0).sector * 512, 3u * block);
        EXPECT_EQ(device.answer(0), 0);
        ContextStats stats{};
        vantrel_get_contextStats(0, &stats);
        EXPECT_EQ(stats.nonZeroSamples, 1);
        EXPECT_EQ(stats.inputBytes, cards);
        EXPECT_EQ(stats.compressedBytes, out);
        EXPECT_EQ(stats.ratioSum, 1.0 / oracle.minNodeRatio());
        EXPECT_EQ(std::string(Recorder::logs().back().text, 0, 15), "Read location: ");  // no ratio line

        EXPECT_EQ(device.answer(0), ENGINE_STATUS_DONE);  // the range's last block ends it
        EXPECT_EQ(result.nonZeroSamples, 1u);
        EXPECT_EQ(result.ratioSum, 1.0 / oracle.minNodeRatio());
        std::vector<LogRecord> dumped;
        for (const LogRecord &line : Recorder::logs())
            if (line.text.rfind("VTRL", 0) == 0)
                dumped.push_back(line);
        if (!dump) {
            EXPECT_TRUE(dumped.empty());
            continue;
        }
        ASSERT_EQ(dumped.size(), 2u);
        EXPECT_EQ(dumped[0].text, countsLine("VTRLLOGICAL=", in));
        EXPECT_EQ(dumped[1].text, countsLine("VTRLPHYSICAL=", physical));
        for (const LogRecord &line : dumped) {
            EXPECT_EQ(line.level, 3u);
            EXPECT_EQ(line.thread, 0u);
        }
    }
    setNodeDumpVariable(false);
}

// A block the model refuses is no measurement: it is not counted and the device ends; nothing
// is read past the block. Without any model object a block only counts.
TEST_F(ModelEngineTest, BlocksTheModelRefusesEndTheDevice)
{
    {
        SCOPED_TRACE("20 data cards do not fit in a 65536-byte block");
        std::vector<uint8_t> image(4 * 65536);
        fillContent(ContentKind::text, image.data(), image.size(), 5);
        ModelSetup setup;
        setup.engineType = ENGINE_TYPE_TARNEL;
        setup.dataCards = 20;
        setup.deviceBytes = image.size();
        ModelSession session(setup);
        ManualDevice device(image.size(), imageSource(image));
        EngineResult result{};
        session.start(&result);
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(device.answer(0), ENGINE_STATUS_MEASURE_FAILED);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(),
                  "[orvane::tessaline::kbx::tarnel::compressKuv] Error: Input stripe vector does not have length 81920\n");
        ContextStats stats{};
        vantrel_get_contextStats(0, &stats);
        EXPECT_EQ(stats.nonZeroSamples, 0);
        EXPECT_EQ(stats.inputBytes, 0u);
        EXPECT_EQ(result.nonZeroSamples, 0u);
        EXPECT_FALSE(device.pending(0));
    }
    // A caller that goes on after passGlobals threw: no stripe model at all, or a card model
    // kept from an earlier call beside a card count of 0.
    delete engineState.zovModel;
    engineState.zovModel = nullptr;
    struct FailedSetUp {
        uint32_t engineType, dataCards, stripeWidth;
        bool modelKept;  // a model object stays from before, and refuses the block
    };
    for (const FailedSetUp &failed :
         {FailedSetUp{ENGINE_TYPE_ZOV, 0, 4, false}, FailedSetUp{ENGINE_TYPE_TARNEL, 0, 0, true}}) {
        SCOPED_TRACE(failed.engineType);
        EXPECT_THROW(passGlobals(10, failed.engineType, false, 1, 65536, nullptr, 0, Recorder::onLog,
                                 failed.dataCards, 1, 2, failed.stripeWidth),
                     std::runtime_error);
        uint32_t need = 0;
        vantrel_init(Recorder::onReadRequest, nullptr, 1, &need);
        std::vector<uint64_t> memory(need / 8 + 1);
        vantrel_set_memory(reinterpret_cast<uint8_t *>(memory.data()), need);
        std::vector<uint8_t> image(4 * 65536, 7);
        ManualDevice device(image.size(), imageSource(image));
        EngineResult result{};
        vantrel_start(testDeviceId, image.size() / 512, &result);
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(device.answer(0), failed.modelKept ? ENGINE_STATUS_MEASURE_FAILED : 0);
        ::testing::internal::GetCapturedStderr();  // the kept card model refuses the empty stripe
        ContextStats stats{};
        vantrel_get_contextStats(0, &stats);
        EXPECT_EQ(stats.nonZeroSamples, failed.modelKept ? 0 : 1);
        EXPECT_EQ(stats.compressedBytes, 0u);
        EXPECT_EQ(vantrel_get_zero_savings(), 0.0);
        EXPECT_EQ(device.pending(0), !failed.modelKept);
    }
}

// Four sampler threads on four contexts share one stripe model while a monitor reads the
// statistics. Every stripe has one zero data strip, so the zero share is known whatever
// stripes were drawn.
TEST_F(ModelEngineTest, ThreadsShareOneStripeModel)
{
    const StripContent zero{ContentKind::zero}, text{ContentKind::text}, binary{ContentKind::binary};
    const std::vector<uint8_t> image = stripeImage(std::vector<std::vector<StripContent>>(8, {text, zero, binary}));
    const double zeroShare = 1.0 - 65.0 / 81.0;

    ModelSetup setup;
    setup.contexts = 4;
    setup.deviceBytes = image.size();
    setup.maxNumSamples = 12;
    const ThreadedRun run(setup, image, width5Block, [zeroShare] {
        for (uint32_t c = 0; c < 4; c++) {
            ContextStats stats{};
            vantrel_get_contextStats(c, &stats);
            EXPECT_EQ(stats.zeroSamples, 0);
        }
        const double z = vantrel_get_zero_savings();
        EXPECT_TRUE(z == 0.0 || z == zeroShare) << z;
    });

    EXPECT_EQ(run.outcome.status, ENGINE_STATUS_DONE);
    EXPECT_GE(run.result.nonZeroSamples, 12u);
    EXPECT_EQ(run.outcome.reads, run.result.nonZeroSamples + 4);  // one unused block per context
    EXPECT_EQ(vantrel_get_zero_savings(), zeroShare);
    const double ratio = engineState.zovModel->ratio();
    EXPECT_GT(ratio, 1.2);  // text and records compress, their parity less so
    EXPECT_EQ(run.result.ratioSum, double(run.result.nonZeroSamples) / ratio);
    EXPECT_EQ(run.result.nonZeroSectors, uint64_t((1 - zeroShare) * double(image.size()) * (1.0 / 512)));
    int zovLines = 0;
    for (const LogRecord &line : Recorder::logs())
        zovLines += line.text.rfind("Zov : (", 0) == 0;
    EXPECT_EQ(uint64_t(zovLines), run.result.nonZeroSamples);
}

// The same for the card model: every stripe charges 4096 logical bytes to one node of each of
// its seven cards (six data cards and the parity card).
TEST_F(ModelEngineTest, ThreadsShareOneCardModel)
{
    std::vector<uint8_t> image(16 * 65536);
    fillContent(ContentKind::text, image.data(), image.size(), 6);

    ModelSetup setup;
    setup.engineType = ENGINE_TYPE_TARNEL;
    setup.contexts = 4;
    setup.deviceBytes = image.size();
    setup.maxNumSamples = 12;
    const ThreadedRun run(setup, image, 65536, [] {
        ContextStats stats{};
        vantrel_get_contextStats(3, &stats);
        EXPECT_EQ(stats.zeroSamples, 0);
    });

    EXPECT_EQ(run.outcome.status, ENGINE_STATUS_DONE);
    EXPECT_GE(run.result.nonZeroSamples, 12u);
    uint64_t inputBytes = 0;
    for (uint32_t c = 0; c < 4; c++) {
        ContextStats stats{};
        vantrel_get_contextStats(c, &stats);
        inputBytes += stats.inputBytes;
    }
    EXPECT_EQ(inputBytes, run.result.nonZeroSamples * 6 * 4096);
    std::vector<uint64_t> logical;
    engineState.tarnelModel->nodeBytesIn(logical);
    uint64_t charged = 0;
    for (uint64_t n : logical)
        charged += n;
    EXPECT_EQ(charged, run.result.nonZeroSamples * 7 * 4096);
    EXPECT_EQ(run.result.ratioSum, double(run.result.nonZeroSamples) / engineState.tarnelModel->minNodeRatio());
}

}  // namespace
}  // namespace vantrel::testing
