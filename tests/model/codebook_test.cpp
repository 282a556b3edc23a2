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

namespace {

// Canonical codes, checked from their definition: taken in order of (length, symbol), the
// first code is 0 and each next one is the previous plus one, shifted left by the growth in
// length. In a complete book the last code is all ones.
void expectCanonical(const std::vector<uint32_t>& lengths, const std::vector<uint32_t>& codes,
                     bool complete) {
    std::vector<uint32_t> order;
    for (uint32_t len = 1; len <= 15; ++len)
        for (uint32_t s = 0; s < lengths.size(); ++s)
            if (lengths[s] == len) order.push_back(s);
    ASSERT_EQ(order.size(), lengths.size());
    uint32_t expected = 0;
    for (std::size_t i = 0; i < order.size(); ++i) {
        const uint32_t s = order[i];
        if (i > 0) expected = (expected + 1) << (lengths[s] - lengths[order[i - 1]]);
        ASSERT_EQ(codes[s], expected) << "symbol " << s;
        ASSERT_LT(codes[s], 1u << lengths[s]);
    }
    if (complete) {
        EXPECT_EQ(expected, (1u << lengths[order.back()]) - 1);
    }
}

}  // namespace

TEST(CodeBook, BuildsCanonicalCodesForEveryBook) {
    for (const BookSet& set : kSets) {
        const CodeBook books(set.litLen, set.dist);
        for (uint32_t b = 0; b < kNumBooks; ++b) {
            SCOPED_TRACE(std::string(set.name) + " book " + std::to_string(b));
            std::vector<uint32_t> lengths, codes;
            for (uint32_t s = 0; s < 286; ++s) {
                lengths.push_back(books.litLenLength(b, s));
                codes.push_back(books.litLenCode(b, s));
                ASSERT_EQ(lengths.back(), set.litLen[s * kNumBooks + b]);
            }
            expectCanonical(lengths, codes, true);
            lengths.clear();
            codes.clear();
            for (uint32_t d = 0; d < 30; ++d) {
                lengths.push_back(books.distLength(b, d));
                codes.push_back(books.distCode(b, d));
            }
            expectCanonical(lengths, codes, set.distDeficit[b] == 0);
        }
    }
}

TEST(CodeBook, SelectsTheCheapestBookLaterOnTies) {
    const CodeBook page(pageLitLenLengths, pageDistLengths);
    uint32_t book = 99;

    EXPECT_EQ(page.selectBook({}, &book), 0u);
    EXPECT_EQ(book, 7u);

    EXPECT_EQ(page.selectBook({{256, 0xFFFFFFFFu}}, &book), 6u);
    EXPECT_EQ(book, 1u);

    // Book 5 made a copy of book 1: the end symbol now costs 6 in both, and book 5 wins.
    std::vector<uint32_t> litLen(pageLitLenLengths, pageLitLenLengths + 286 * kNumBooks);
    std::vector<uint32_t> dist(pageDistLengths, pageDistLengths + 30 * kNumBooks);
    for (uint32_t s = 0; s < 286; ++s) litLen[s * kNumBooks + 5] = litLen[s * kNumBooks + 1];
    for (uint32_t d = 0; d < 30; ++d) dist[d * kNumBooks + 5] = dist[d * kNumBooks + 1];
    const CodeBook tied(litLen.data(), dist.data());
    EXPECT_EQ(tied.selectBook({{256, 0xFFFFFFFFu}}, &book), 6u);
    EXPECT_EQ(book, 5u);
}

TEST(CodeBook, CostIsTheExactBitCountUnderTheChosenBook) {
    for (const BookSet& set : kSets) {
        SCOPED_TRACE(set.name);
        const CodeBook books(set.litLen, set.dist);
        // A longest match at the farthest distance, a short one and two literals.
        const std::vector<Token> tokens = {
            {'a', 0xFFFFFFFFu}, {'b', 0xFFFFFFFFu}, {259 + 256, 32768}, {21 + 256, 100},
            {256, 0xFFFFFFFFu}};
        uint32_t cheapest = 0xFFFFFFFFu;
        uint32_t cheapestBook = 0;
        for (uint32_t b = 0; b < kNumBooks; ++b) {
            const uint32_t cost = set.litLen['a' * kNumBooks + b] + set.litLen['b' * kNumBooks + b] +
                                  set.litLen[285 * kNumBooks + b] + set.dist[29 * kNumBooks + b] + 13 +
                                  set.litLen[269 * kNumBooks + b] + 2 +
                                  set.dist[13 * kNumBooks + b] + 5 +
                                  set.litLen[256 * kNumBooks + b];
            if (cost <= cheapest) {
                cheapest = cost;
                cheapestBook = b;
            }
        }
        uint32_t book = 99;
        EXPECT_EQ(books.selectBook(tokens, &book), cheapest);
        EXPECT_EQ(book, cheapestBook);
    }
}
