#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "model/CodeBook.h"
#include "model/CodeBookTables.h"

using namespace orvane::tessaline::kbx::tarnel;

namespace {

struct BookSet {
    const char* name;
    const uint32_t* litLen;
    const uint32_t* dist;
    uint32_t distDeficit[kNumBooks];  // distance Kraft sum = 1 - deficit / 32768
};

const BookSet kSets[] = {
    {"page", pageLitLenLengths, pageDistLengths, {30, 0, 62, 2, 30, 30, 30, 30}},
    {"card", cardLitLenLengths, cardDistLengths, {24, 0, 0, 56, 0, 25, 57, 121}},
};

// Kraft sum of one book scaled by 2^15: exact integer arithmetic.
uint64_t scaledKraft(const uint32_t* table, uint32_t symbols, uint32_t book) {
    uint64_t sum = 0;
    for (uint32_t s = 0; s < symbols; ++s) sum += uint64_t(1) << (15 - table[s * kNumBooks + book]);
    return sum;
}

}  // namespace

TEST(CodeBookTables, EveryBookHasTheStatedKraftSum) {
    for (const BookSet& set : kSets) {
        for (uint32_t b = 0; b < kNumBooks; ++b) {
            SCOPED_TRACE(std::string(set.name) + " book " + std::to_string(b));
            for (uint32_t i = 0; i < 286 * kNumBooks; ++i) ASSERT_GE(set.litLen[i], 1u);
            for (uint32_t i = 0; i < 286 * kNumBooks; ++i) ASSERT_LE(set.litLen[i], 15u);
            for (uint32_t i = 0; i < 30 * kNumBooks; ++i) ASSERT_GE(set.dist[i], 1u);
            for (uint32_t i = 0; i < 30 * kNumBooks; ++i) ASSERT_LE(set.dist[i], 15u);
            EXPECT_EQ(scaledKraft(set.litLen, 286, b), 32768u);
            EXPECT_EQ(scaledKraft(set.dist, 30, b), 32768u - set.distDeficit[b]);
        }
    }
}

TEST(CodeBookTables, KnownEntries) {
    const uint32_t literal0[] = {12, 4, 3, 8, 4, 7, 15, 8};
    const uint32_t end[] = {13, 6, 12, 11, 13, 12, 12, 14};
    const uint32_t dist0[] = {8, 2, 5, 2, 7, 6, 8, 7};
    for (uint32_t b = 0; b < kNumBooks; ++b) {
        EXPECT_EQ(pageLitLenLengths[0 * kNumBooks + b], literal0[b]);
        EXPECT_EQ(pageLitLenLengths[256 * kNumBooks + b], end[b]);
        EXPECT_EQ(pageDistLengths[0 * kNumBooks + b], dist0[b]);
    }
    // Last digits of the last rows: symbol 285 and distance 29.
    EXPECT_EQ(pageLitLenLengths[285 * kNumBooks + 7], 13u);
    EXPECT_EQ(cardLitLenLengths[285 * kNumBooks + 7], 15u);
    EXPECT_EQ(cardDistLengths[29 * kNumBooks + 7], 14u);
}
