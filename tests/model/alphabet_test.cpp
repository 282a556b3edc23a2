#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "model/Deflate.h"

using namespace orvane::tessaline::kbx::tarnel;

namespace {

struct SymbolCase {
    uint32_t input;  // match length or distance
    uint32_t symbol;
    uint32_t extraBits;
    uint32_t extraValue;
};

}  // namespace

TEST(SymbolAlphabet, LengthEdges) {
    const Deflate tables;
    const SymbolCase cases[] = {
        {4, 257, 0, 0},    {11, 264, 0, 0},   {12, 265, 1, 0},   {13, 265, 1, 1},
        {20, 269, 2, 0},   {21, 269, 2, 1},   {227, 283, 5, 31}, {228, 284, 5, 0},
        {258, 284, 5, 30}, {259, 285, 0, 0},
    };
    for (const SymbolCase& c : cases) {
        SCOPED_TRACE(c.input);
        EXPECT_EQ(tables.lengthSymbol(c.input), c.symbol);
        EXPECT_EQ(tables.lengthExtraBits(c.symbol), c.extraBits);
        EXPECT_EQ(tables.lengthExtraValue(c.input), c.extraValue);
    }
}

TEST(SymbolAlphabet, DistanceEdges) {
    const Deflate tables;
    const SymbolCase cases[] = {
        {1, 0, 0, 0},     {4, 3, 0, 0},         {5, 4, 1, 0},        {6, 4, 1, 1},
        {7, 5, 1, 0},     {24576, 28, 13, 8191}, {24577, 29, 13, 0}, {32768, 29, 13, 8191},
    };
    for (const SymbolCase& c : cases) {
        SCOPED_TRACE(c.input);
        EXPECT_EQ(tables.distanceSymbol(c.input), c.symbol);
        EXPECT_EQ(tables.distanceExtraBits(c.symbol), c.extraBits);
        EXPECT_EQ(tables.distanceExtraValue(c.input), c.extraValue);
    }
}

// The extra-bit count of every length and distance symbol, as RFC 1951 gives them (the length
// symbols shifted by one length). Counts of values that are powers of two are where a
// floating-point logarithm lands a hair above the integer on some units.
TEST(SymbolAlphabet, ExtraBitsOfEverySymbol) {
    const Deflate tables;
    const uint32_t lengthBits[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                     2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
    const uint32_t distanceBits[30] = {0, 0, 0, 0, 1, 1, 2,  2,  3,  3,  4,  4,  5,  5,  6,
                                       6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
    for (uint32_t i = 0; i < 29; ++i) EXPECT_EQ(tables.lengthExtraBits(257 + i), lengthBits[i]) << 257 + i;
    for (uint32_t d = 0; d < 30; ++d) EXPECT_EQ(tables.distanceExtraBits(d), distanceBits[d]) << d;
}

// Every length and distance is its symbol's base plus an extra value that fits the symbol's
// extra bits, and the symbols cover their ranges in order without gaps.
TEST(SymbolAlphabet, TablesAreConsistentOverTheWholeRange) {
    const Deflate tables;
    uint32_t previous = 257;
    for (uint32_t len = 4; len <= 259; ++len) {
        const uint32_t s = tables.lengthSymbol(len);
        ASSERT_TRUE(s == previous || s == previous + 1) << len;
        previous = s;
        ASSERT_EQ(tables.lengthBase(s) + tables.lengthExtraValue(len), len);
        ASSERT_LE(len, tables.lengthMax(s));
        ASSERT_LT(tables.lengthExtraValue(len), 1u << tables.lengthExtraBits(s));
    }
    EXPECT_EQ(previous, 285u);
    previous = 0;
    for (uint32_t d = 1; d <= 32768; ++d) {
        const uint32_t s = tables.distanceSymbol(d);
        ASSERT_TRUE(s == previous || s == previous + 1) << d;
        previous = s;
        ASSERT_EQ(tables.distanceBase(s) + tables.distanceExtraValue(d), d);
        ASSERT_LE(d, tables.distanceMax(s));
        ASSERT_LT(tables.distanceExtraValue(d), 1u << tables.distanceExtraBits(s));
    }
    EXPECT_EQ(previous, 29u);
}

TEST(SymbolAlphabet, Histogram) {
    const Deflate tables;
    // Counters start dirty and of the wrong size: histogram clears and sizes them.
    std::vector<uint32_t> lit(286, 7), dist(30, 7);

    tables.histogram({}, lit, dist);
    EXPECT_EQ(lit, std::vector<uint32_t>(286, 0));
    EXPECT_EQ(dist, std::vector<uint32_t>(30, 0));

    tables.histogram({{256, 0xFFFFFFFFu}}, lit, dist);
    EXPECT_EQ(lit[256], 1u);
    EXPECT_EQ(dist, std::vector<uint32_t>(30, 0));

    const std::vector<Token> tokens = {
        {65, 0xFFFFFFFFu}, {65, 0xFFFFFFFFu}, {4 + 256, 1},      {13 + 256, 6},
        {259 + 256, 32768}, {12 + 256, 5},     {256, 0xFFFFFFFFu},
    };
    tables.histogram(tokens, lit, dist);
    std::vector<uint32_t> wantLit(286, 0), wantDist(30, 0);
    wantLit[65] = 2;
    wantLit[257] = 1;
    wantLit[265] = 2;
    wantLit[285] = 1;
    wantLit[256] = 1;
    wantDist[0] = 1;
    wantDist[4] = 2;
    wantDist[29] = 1;
    EXPECT_EQ(lit, wantLit);
    EXPECT_EQ(dist, wantDist);
}
