// Every engine setting and hint, over varied inputs and output sizes: the system zlib's inflate
// decodes the output to exactly the first total_in input bytes.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "inflate_oracle.h"
#include "test_support.h"

namespace {

using testdata::Kind;

constexpr size_t kInputSize = 160 * 1024;  // several windows
constexpr uint32_t kWholeInput = 0;        // marker: output room for the whole input

using Case = std::tuple<int, uint32_t, Kind, uint32_t>;  // level, hint, input, output size

class RoundTrip : public ::testing::TestWithParam<Case> {};

TEST_P(RoundTrip, InflateGivesTheCountedInput) {
    const auto [level, hint, kind, outSize] = GetParam();
    const auto input = testdata::make(kind, kInputSize);
    const uint32_t size = outSize == kWholeInput ? static_cast<uint32_t>(input.size() + input.size() / 8 + 4096) : outSize;
    const auto run = drive::likeEngine(input, level, hint, size);
    ASSERT_GE(run.status, 0);

    const auto decoded = oracle::inflateBytes(run.output.data(), run.output.size(), 15);
    ASSERT_FALSE(decoded.dataError);
    ASSERT_EQ(decoded.data.size(), run.totalIn);
    EXPECT_TRUE(std::equal(decoded.data.begin(), decoded.data.end(), input.begin()));
    if (outSize == kWholeInput) {
        EXPECT_EQ(run.totalIn, input.size());
    } else if (run.totalIn < input.size()) {
        // A buffer smaller than the compressed input ends full.
        EXPECT_EQ(run.output.size(), size);
    }
}

std::string caseName(const ::testing::TestParamInfo<Case>& info) {
    const auto [level, hint, kind, outSize] = info.param;
    return "level" + std::to_string(level) + "_hint" + std::to_string(hint) + "_" + testdata::kindName(kind) + "_out" +
           (outSize == kWholeInput ? std::string("whole") : std::to_string(outSize));
}

INSTANTIATE_TEST_SUITE_P(EngineSettings, RoundTrip,
                         ::testing::Combine(::testing::Values(1, 103, 111), ::testing::Values(0u, 1u, 2u, 3u),
                                            ::testing::ValuesIn(testdata::allKinds()),
                                            ::testing::Values(32768u, 3000u, 300u, kWholeInput)),
                         caseName);

}  // namespace
