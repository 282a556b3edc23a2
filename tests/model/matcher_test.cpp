#include <gtest/gtest.h>

#include <cstdint>
#include <algorithm>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "model/Compressor.h"
#include "reference_matcher.h"
#include "sample_data.h"

using namespace orvane::tessaline::kbx::tarnel;
using namespace vantrel_model_samples;

namespace {

constexpr uint32_t kLit = 0xFFFFFFFFu;

// Rebuilds the block from tokens, checking the token rules on the way.
std::vector<uint8_t> replay(const std::vector<Token>& tokens) {
    std::vector<uint8_t> out;
    EXPECT_FALSE(tokens.empty());
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        const Token& t = tokens[i];
        if (t.value < 256) {
            EXPECT_EQ(t.distance, kLit);
            out.push_back(static_cast<uint8_t>(t.value));
            continue;
        }
        if (t.value == 256) {
            EXPECT_EQ(t.distance, kLit);
            EXPECT_EQ(i + 1, tokens.size()) << "end token before the end";
            continue;
        }
        const uint32_t length = t.value - 256;
        EXPECT_GE(length, 4u);
        EXPECT_LE(length, 259u);
        EXPECT_GE(t.distance, 1u);
        if (t.distance == 0 || t.distance > out.size() || length < 4 || length > 259) {
            ADD_FAILURE() << "bad match at token " << i;
            return out;
        }
        for (uint32_t k = 0; k < length; ++k) out.push_back(out[out.size() - t.distance]);
    }
    EXPECT_EQ(tokens.back().value, 256u);
    return out;
}

// Runs of equal tokens, as (value, distance, count), for comparing long streams.
struct TokenRun {
    uint32_t value, distance, count;
    bool operator==(const TokenRun& o) const {
        return value == o.value && distance == o.distance && count == o.count;
    }
};
std::vector<TokenRun> runs(const std::vector<Token>& tokens) {
    std::vector<TokenRun> out;
    for (const Token& t : tokens) {
        if (!out.empty() && out.back().value == t.value && out.back().distance == t.distance)
            ++out.back().count;
        else
            out.push_back({t.value, t.distance, 1});
    }
    return out;
}

void PrintTo(const TokenRun& r, std::ostream* os) { *os << "{" << r.value << "," << r.distance << " x" << r.count << "}"; }

struct Fixture {
    CodeBook books{pageLitLenLengths, pageDistLengths};
};

}  // namespace

TEST(Matcher, HashOfThreeBytes) {
    EXPECT_EQ(Compressor::hash3(0, 0, 0), 0u);
    EXPECT_EQ(Compressor::hash3(0, 0, 1), 1u);
    // v = 0x010203: (66051 >> 9) + (66051 >> 3) + 66051 = 129 + 8256 + 66051 = 74436 -> & 511
    EXPECT_EQ(Compressor::hash3(1, 2, 3), 74436u & 511u);
    EXPECT_EQ(Compressor::hash3(255, 255, 255), (32767u + 2097151u + 16777215u) & 511u);
}

TEST(Matcher, AllZeroBlocks) {
    Fixture f;
    struct Case {
        uint32_t size;
        std::vector<TokenRun> expected;
    };
    const Case cases[] = {
        {16896, {{0, kLit, 4}, {256 + 256, 1, 65}, {252 + 256, 1, 1}, {256, kLit, 1}}},
        {4224, {{0, kLit, 4}, {256 + 256, 1, 16}, {124 + 256, 1, 1}, {256, kLit, 1}}},
    };
    for (const Case& c : cases) {
        Compressor compressor(c.size, 2, 3, 5, 1, &f.books);
        const std::vector<uint8_t> block(c.size, 0);
        const std::vector<Token> tokens = compressor.matchFull(block.data());
        EXPECT_EQ(tokens.size(), c.size == 16896 ? 71u : 22u);
        EXPECT_EQ(runs(tokens), c.expected);
    }
}

TEST(Matcher, FiveByteRepeatGrowsFromLaneOneTo259) {
    Fixture f;
    std::vector<uint8_t> block(4224);
    const uint8_t pattern[] = {7, 1, 2, 3, 4};
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = pattern[i % 5];
    Compressor compressor(4224, 2, 3, 5, 1, &f.books);
    const std::vector<TokenRun> expected = {{7, kLit, 1}, {1, kLit, 1}, {2, kLit, 1}, {3, kLit, 1},
                                       {4, kLit, 1}, {259 + 256, 5, 1}, {256 + 256, 5, 15},
                                       {120 + 256, 5, 1}, {256, kLit, 1}};
    EXPECT_EQ(runs(compressor.matchFull(block.data())), expected);
}

TEST(Matcher, BlockWithoutRepeatsIsAllLiterals) {
    Fixture f;
    // Pick random bytes and make sure no four-byte group occurs twice.
    std::vector<uint8_t> block;
    for (uint64_t seed = 1;; ++seed) {
        block = randomBlock(4224, seed);
        std::set<uint32_t> groups;
        bool unique = true;
        for (std::size_t i = 0; i + 4 <= block.size() && unique; ++i)
            unique = groups.insert(uint32_t(block[i]) << 24 | block[i + 1] << 16 |
                                   block[i + 2] << 8 | block[i + 3])
                         .second;
        if (unique) break;
    }
    Compressor compressor(4224, 2, 3, 5, 1, &f.books);
    const std::vector<Token> tokens = compressor.matchFull(block.data());
    ASSERT_EQ(tokens.size(), 4225u);
    for (std::size_t i = 0; i < 4224; ++i) ASSERT_EQ(tokens[i].value, block[i]);
}

// Replay gives the block back for varied data; the matcher reads nothing past the block (the
// block is copied into an exactly sized buffer, which ASan guards) and keeps no state from the
// previous block.
TEST(Matcher, ReplayGivesTheBlockBack) {
    Fixture f;
    std::vector<std::vector<uint8_t>> blocks = {
        textBlock(16896, 1), binaryBlock(16896, 2), randomBlock(16896, 3),
        textBlock(4224, 4),  binaryBlock(4224, 5),  randomBlock(4224, 6),
    };
    // Runs of one byte, a repeat starting in the first four bytes, and data that changes at
    // the last four bytes.
    std::vector<uint8_t> mixed = textBlock(4224, 7);
    for (std::size_t i = 1000; i < 1700; ++i) mixed[i] = 0xAA;
    for (std::size_t i = 4220; i < 4224; ++i) mixed[i] = mixed[i - 600];
    blocks.push_back(mixed);
    std::vector<uint8_t> early(4224);
    for (std::size_t i = 0; i < early.size(); ++i) early[i] = static_cast<uint8_t>(i % 3 * 40);
    blocks.push_back(early);

    Compressor big(16896, 2, 3, 5, 1, &f.books);
    Compressor small(4224, 2, 3, 5, 1, &f.books);
    std::size_t matches = 0;
    for (const std::vector<uint8_t>& block : blocks) {
        Compressor& c = block.size() == 16896 ? big : small;
        const std::vector<Token> tokens = c.matchFull(block.data());
        EXPECT_EQ(replay(tokens), block);
        EXPECT_EQ(c.matchFull(block.data()).size(), tokens.size()) << "state left over";
        for (const Token& t : tokens) matches += t.value > 256;
    }
    EXPECT_GT(matches, 1000u);

    // Tiny blocks: the first step never matches, and the last step's lanes 1..3 cannot start one.
    for (uint32_t size : {4u, 8u, 12u, 16u, 20u}) {
        Compressor tiny(size, 2, 3, 5, 1, &f.books);
        std::vector<uint8_t> zeros(size, 0);
        const std::vector<Token> tokens = tiny.matchFull(zeros.data());
        EXPECT_EQ(replay(tokens), zeros) << size;
        EXPECT_EQ(tokens.size(), size == 4 ? 5u : 6u) << size;
    }
}

TEST(Compressor, RejectsSettingsItDoesNotModel) {
    Fixture f;
    EXPECT_NO_THROW(Compressor(16896, 2, 3, 5, 1, &f.books));
    EXPECT_THROW(Compressor(16896, 1, 3, 5, 1, &f.books), std::invalid_argument);
    EXPECT_THROW(Compressor(16896, 2, 4, 5, 1, &f.books), std::invalid_argument);
    EXPECT_THROW(Compressor(16896, 2, 3, 5, 0, &f.books), std::invalid_argument);
    EXPECT_THROW(Compressor(16898, 2, 3, 5, 1, &f.books), std::invalid_argument);
    EXPECT_THROW(Compressor(32772, 2, 3, 5, 1, &f.books), std::invalid_argument);
    EXPECT_NO_THROW(Compressor(32768, 2, 3, 5, 1, &f.books));
    EXPECT_THROW(Compressor(16896, 2, 3, 5, 1, nullptr), std::invalid_argument);
}

// Hash entries are tagged with the block they belong to, and the tags start again after
// 65535 blocks: an entry left from the first block must not match when its tag comes round.
TEST(Matcher, OldBlocksNeverMatchWhenTagsComeRound) {
    Fixture f;
    Compressor compressor(8, 2, 3, 5, 1, &f.books);
    const std::vector<uint8_t> distinct = {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'};
    const std::vector<uint8_t> zeros(8, 0);
    const std::vector<Token> expected = compressor.matchFull(distinct.data());
    ASSERT_EQ(expected.size(), 9u);  // eight literals and the end
    // Zeros only ever touch slot 0, so the distinct block's slots keep their first entries;
    // after 65534 more blocks the next block gets the first block's tag again.
    for (int i = 0; i < 65534; ++i) ASSERT_EQ(compressor.matchFull(zeros.data()).size(), 6u);
    const std::vector<Token> again = compressor.matchFull(distinct.data());
    ASSERT_EQ(again.size(), expected.size());
    EXPECT_EQ(replay(again), distinct);
}

namespace {

// Bytes named by letters, for hand-built blocks.
std::vector<uint8_t> bytesOf(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

std::vector<Token> literalsOf(const std::string& s) {
    std::vector<Token> out;
    for (unsigned char c : s) out.push_back({c, kLit});
    return out;
}

void append(std::vector<Token>& to, const std::vector<Token>& more) {
    to.insert(to.end(), more.begin(), more.end());
}

std::vector<std::pair<uint32_t, uint32_t>> pairsOf(const std::vector<Token>& tokens) {
    std::vector<std::pair<uint32_t, uint32_t>> out;
    for (const Token& t : tokens) out.emplace_back(t.value, t.distance);
    return out;
}

}  // namespace

TEST(Matcher, HandBuiltBlocks) {
    Fixture f;
    struct Case {
        const char* what;
        std::string block;
        std::vector<Token> expected;
    };
    std::vector<Case> cases;
    {
        // WXYZ at 0 (stored in way 0) and at 5 (lane 1 of step 4, way 1): at the last step the
        // copy at 5 is the nearer, so the match has distance 7, not 12.
        std::vector<Token> t = literalsOf("WXYZa");
        t.push_back({4 + 256, 5});
        append(t, literalsOf("bcd"));
        t.push_back({4 + 256, 7});
        t.push_back({256, kLit});
        cases.push_back({"nearest copy across ways", "WXYZaWXYZbcdWXYZ", t});
    }
    {
        // A match opened at lane 2 (two bytes) goes on for two bytes in the next step; lane 0
        // there has a copy (CDxy at 4), but cutting the open match at lane 0 would leave it
        // two bytes long, so the match ends at 4 bytes and x, y are literals.
        std::vector<Token> t = literalsOf("ABCDCDxypq");
        t.push_back({4 + 256, 10});
        append(t, literalsOf("xyrstuvwzk"));
        t.push_back({256, kLit});
        cases.push_back({"no cut below 4 bytes", "ABCDCDxypqABCDxyrstuvwzk", t});
    }
    {
        // At the last step only lane 0 may start a match: lane 1's bytes (with the repeated
        // upper half) would be XYZW, which occurs at 0.
        cases.push_back({"last step", "XYZWabcdefghWXYZ", literalsOf("XYZWabcdefghWXYZ")});
        cases.back().expected.push_back({256, kLit});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<uint8_t> block = bytesOf(c.block);
        Compressor compressor(static_cast<uint32_t>(block.size()), 2, 3, 5, 1, &f.books);
        const std::vector<Token> tokens = compressor.matchFull(block.data());
        EXPECT_EQ(pairsOf(tokens), pairsOf(c.expected));
        EXPECT_EQ(replay(tokens), block);
    }
}

// A match that opened at lane 1 grows 3, 7, ..., 259 and stops there even though the next
// byte still matches: the match ends at 259 and that byte is a literal.
TEST(Matcher, GrowthStopsAt259) {
    Fixture f;
    std::vector<uint8_t> block = randomBlock(4224, 40);
    const std::vector<uint8_t> copy(block.begin(), block.begin() + 260);
    std::copy(copy.begin(), copy.end(), block.begin() + 401);  // bytes 401..660
    block[661] = static_cast<uint8_t>(block[260] ^ 0xFF);
    Compressor compressor(4224, 2, 3, 5, 1, &f.books);
    const std::vector<Token> tokens = compressor.matchFull(block.data());
    EXPECT_EQ(replay(tokens), block);
    const auto at = std::find_if(tokens.begin(), tokens.end(),
                                 [](const Token& t) { return t.value == 259 + 256; });
    ASSERT_NE(at, tokens.end());
    EXPECT_EQ(at->distance, 401u);
    ASSERT_NE(at + 1, tokens.end());
    EXPECT_EQ(at[1].value, block[660]);
}

// The word-wise matcher (skipped steps over repeating windows, arithmetic decisions, tagged
// entries) gives exactly the tokens of the plain step-by-step matcher, on data that exercises
// every decision, for large, small and tiny blocks, with one compressor reused across blocks.
TEST(Matcher, SameTokensAsThePlainStepByStepMatcher) {
    Fixture f;
    uint64_t seed = 100;
    for (uint32_t size : {32768u, 16896u, 4224u, 1000u, 64u, 20u, 12u, 8u, 4u, 0u}) {
        Compressor compressor(size, 2, 3, 5, 1, &f.books);
        std::vector<std::vector<uint8_t>> blocks = matcherStressBlocks(size, ++seed);
        blocks.push_back(textBlock(size, ++seed));
        blocks.push_back(binaryBlock(size, ++seed));
        blocks.push_back(randomBlock(size, ++seed));
        blocks.push_back(std::vector<uint8_t>(size, 0));
        for (std::size_t b = 0; b < blocks.size(); ++b) {
            const std::vector<uint8_t> block = blocks[b];  // exactly sized: ASan guards its end
            const std::vector<Token> expected =
                vantrel_model_reference::referenceMatch(block.data(), size);
            ASSERT_EQ(replay(expected), block) << "reference, size " << size << " block " << b;
            ASSERT_EQ(pairsOf(compressor.matchFull(block.data())), pairsOf(expected))
                << "size " << size << " block " << b;
        }
    }
}
