// memory_failure_test.cpp - stripe-model runs in which one allocation size cannot be had.
//
// This program replaces the global operator new: an allocation of exactly the size that a test
// names fails with std::bad_alloc, as it would when memory runs out, and every other one is
// served by malloc.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "device_content.h"
#include "engine/engine_state.h"
#include "engine_fixture.h"
#include "model/Zov.h"
#include "model_run.h"

namespace {

std::atomic<std::size_t> failingSize{0};

}  // namespace

void *operator new(std::size_t size)
{
    if (size != 0 && size == failingSize.load())
        throw std::bad_alloc();
    if (void *block = std::malloc(size != 0 ? size : 1))
        return block;
    throw std::bad_alloc();
}

void operator delete(void *block) noexcept { std::free(block); }
void operator delete(void *block, std::size_t) noexcept { std::free(block); }

namespace vantrel::testing {
namespace {

constexpr uint32_t strip = 262144;
constexpr uint32_t width5Block = 3 * strip;  // the data strips of a stripe of width 5
constexpr uint32_t qStripBytes = 17 * 16384;  // the stripe model's Q parity strip

// Makes allocations of `size` bytes fail while it lives.
struct FailingAllocations {
    explicit FailingAllocations(std::size_t size) { failingSize = size; }
    ~FailingAllocations() { failingSize = 0; }
};

class MemoryFailureTest : public EngineTest {};

// A stripe that cannot be measured, whether the engine's copy of it or the model's parity
// cannot be allocated, is no sample: it is not counted, every context ends, and the device
// ends with the measurement failure instead of figures. The model reports its own failure.
TEST_F(MemoryFailureTest, AStripeThatCannotBeMeasuredEndsTheDevice)
{
    std::vector<uint8_t> image(8 * width5Block);
    fillContent(ContentKind::text, image.data(), image.size(), 3);
    struct Case {
        const char *what;
        std::size_t size;
        const char *modelLine;  // on standard output
    };
    const Case cases[] = {
        {"the engine's copy of the stripe", width5Block, ""},
        {"the model's Q strip", qStripBytes,
         "[orvane::tessaline::kbx::tarnel::compressZov] Exception occurred. Compression was not sucessful.\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        vantrel::engine::initEngineDefaults();
        Recorder::clear();
        ModelSetup setup;
        setup.contexts = 3;
        setup.deviceBytes = image.size();
        ::testing::internal::CaptureStdout();
        std::string printed;
        {
            const FailingAllocations failing(c.size);
            // The serving threads' buffers are a sector larger, so that only the engine's and
            // the model's allocations meet the failing size.
            const ThreadedRun run(setup, image, width5Block + 512, [] {});
            printed = ::testing::internal::GetCapturedStdout();
            EXPECT_EQ(run.outcome.status, ENGINE_STATUS_MEASURE_FAILED);
            EXPECT_EQ(run.outcome.reads, 3u) << "one block per context, none after the failure";
            EXPECT_EQ(run.result.nonZeroSamples, 0u);
            EXPECT_EQ(run.result.compressedSectors, 0u);
        }
        EXPECT_EQ(vantrel::engine::engineState.zovModel->bytesOut(), 0u);
        // The model writes its own line for each stripe it failed on: the first context's, and
        // those of the contexts whose blocks reached it before they saw the device ending.
        const std::string line = c.modelLine;
        std::string expected;
        while (expected.size() < printed.size())
            expected += line;
        EXPECT_EQ(printed, expected);
        EXPECT_GE(printed.size(), line.size()) << "the first failure is reported";
    }
}

}  // namespace
}  // namespace vantrel::testing
