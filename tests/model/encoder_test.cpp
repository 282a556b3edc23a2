#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "model/CodeBook.h"
#include "model/Encoder.h"

using namespace orvane::tessaline::kbx::tarnel;

TEST(Encoder, ReversesExtraValuesAndTakesCodesFromTheirBooks) {
    const CodeBook books(pageLitLenLengths, pageDistLengths);
    const Encoder encoder(4224, &books);
    struct Case {
        uint32_t length, distance;
        uint32_t lenSymbol, lenBits, lenExtra;
        uint32_t distSymbol, distBits, distExtra;
    };
    const Case cases[] = {
        {13, 6, 265, 1, 1, 4, 1, 1},
        {21, 24578, 269, 2, 2, 29, 13, 4096},
        {259, 32768, 285, 0, 0, 29, 13, 8191},
        {4, 1, 257, 0, 0, 0, 0, 0},
        {24, 25, 270, 2, 0, 9, 3, 0},
    };
    // Literal/length codes from book 3, distance codes from book 6.
    std::vector<Token> tokens;
    for (const Case& c : cases) tokens.push_back({c.length + 256, c.distance});
    const std::vector<EncodedSymbol> records = encoder.encode(tokens, 3, 6);
    ASSERT_EQ(records.size(), std::size(cases));
    for (std::size_t i = 0; i < records.size(); ++i) {
        const Case& c = cases[i];
        const EncodedSymbol& r = records[i];
        SCOPED_TRACE(c.length);
        EXPECT_EQ(r.symbol, c.length + 256);
        EXPECT_EQ(r.codeLength, books.litLenLength(3, c.lenSymbol));
        EXPECT_EQ(r.code, books.litLenCode(3, c.lenSymbol));
        EXPECT_EQ(r.lengthExtraBits, c.lenBits);
        EXPECT_EQ(r.lengthExtra, c.lenExtra);
        EXPECT_EQ(r.distanceCodeLength, books.distLength(6, c.distSymbol));
        EXPECT_EQ(r.distanceCode, books.distCode(6, c.distSymbol));
        EXPECT_EQ(r.distanceExtraBits, c.distBits);
        EXPECT_EQ(r.distanceExtra, c.distExtra);
        EXPECT_EQ(r.isLiteral, 0);
        EXPECT_EQ(r.isEnd, 0);
        EXPECT_EQ(r.lane, 0u);
    }
}

TEST(Encoder, LiteralsAndEndCarryOnlyTheirCode) {
    const CodeBook books(cardLitLenLengths, cardDistLengths);
    const Encoder encoder(16, &books);
    std::vector<Token> tokens;
    for (uint32_t v = 0; v < 256; v += 17) tokens.push_back({v, 0xFFFFFFFFu});
    tokens.push_back({256, 0xFFFFFFFFu});
    const std::vector<EncodedSymbol> records = encoder.encode(tokens, 5, 5);
    ASSERT_EQ(records.size(), tokens.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
        const EncodedSymbol& r = records[i];
        const bool end = i + 1 == records.size();
        SCOPED_TRACE(r.symbol);
        EXPECT_EQ(r.symbol, tokens[i].value);
        EXPECT_EQ(r.codeLength, books.litLenLength(5, r.symbol));
        EXPECT_EQ(r.code, books.litLenCode(5, r.symbol));
        EXPECT_EQ(r.isLiteral, 1);
        EXPECT_EQ(r.isEnd, end ? 1 : 0);
        EXPECT_EQ(r.lengthExtraBits + r.lengthExtra + r.distanceCodeLength + r.distanceCode +
                      r.distanceExtraBits + r.distanceExtra + r.lane,
                  0u);
    }
}

TEST(Encoder, Reverse) {
    EXPECT_EQ(Encoder::reverse(0x5, 0), 0u);
    EXPECT_EQ(Encoder::reverse(0x1, 1), 1u);
    EXPECT_EQ(Encoder::reverse(0x1, 13), 0x1000u);
    EXPECT_EQ(Encoder::reverse(0x6, 4), 0x6u);
    EXPECT_EQ(Encoder::reverse(0xB, 4), 0xDu);
    EXPECT_EQ(Encoder::reverse(0xFFB, 4), 0xDu);  // bits above n are ignored
    EXPECT_EQ(Encoder::reverse(0x1, 16), 0x8000u);
    EXPECT_EQ(Encoder::reverse(8191, 13), 8191u);
}
