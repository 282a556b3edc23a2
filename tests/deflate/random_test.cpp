// Randomized round trips over every level, hint, memory level, window size, piece and output size.
#include <gtest/gtest.h>

#include "random_round_trip.h"

namespace {

TEST(RandomRoundTrip, ManySeeds) {
    for (uint64_t seed = 1; seed <= 1500; seed++) {
        const std::string failure = randomtrip::run(seed);
        ASSERT_TRUE(failure.empty()) << failure;
    }
}

}  // namespace
