#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>

#include "model/HashSlot.h"
#include "sample_data.h"

using namespace orvane::tessaline::kbx::tarnel;

// Slots filled at random from few byte values and generations, so that hits, stale entries and
// ties of bytes are common; every probe agrees with a plain search over the four ways.
TEST(HashSlot, ProbeFindsTheNearestCopyOfTheCurrentBlock) {
    vantrel_model_samples::SampleRandom rng(5);
    for (int round = 0; round < 20000; ++round) {
        HashSlot slot{};
        for (uint32_t k = 0; k < 4; ++k) {
            slot.bytes[k] = static_cast<uint32_t>(rng.next() % 3);
            slot.tag[k] = hashTag(1 + static_cast<uint32_t>(rng.next() % 2),
                                  static_cast<uint32_t>(rng.next() % 32768));
        }
        const uint32_t key = static_cast<uint32_t>(rng.next() % 3);
        const uint32_t generation = 1 + static_cast<uint32_t>(rng.next() % 2);
        int32_t expected = -1;
        for (uint32_t k = 0; k < 4; ++k)
            if (slot.bytes[k] == key && slot.tag[k] >> 16 == generation)
                expected = std::max(expected, static_cast<int32_t>(slot.tag[k] & 0xFFFF));
        ASSERT_EQ(nearestCopyScalar(slot, key, generation), expected) << round;
#if VANTREL_MATCHER_SSE2
        ASSERT_EQ(nearestCopySse2(slot, key, generation), expected) << round;
#endif
    }
}
