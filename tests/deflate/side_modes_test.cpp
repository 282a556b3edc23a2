// The special modes as the token decoder sees their output: matcher facts, stopping at the output's
// end, stored fallback, the tree decision of mode 3 and the window restart.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "deflate/deflate_state.h"
#include "inflate_oracle.h"
#include "test_support.h"
#include "token_decoder.h"

namespace {

using namespace vdeflate;
using tokens::Token;
using tokens::Type;

struct Stream {
    z_stream strm{};
    std::vector<uint8_t> out;

    Stream(int level, uint32_t outSize) : out(outSize) {
        EXPECT_EQ(drive::initLikeEngine(strm, level), Z_OK);
        strm.next_out = out.data();
        strm.avail_out = outSize;
    }
    ~Stream() { deflateEnd(&strm); }

    // deflate itself, so that stopFlag is still visible afterwards.
    int call(const std::vector<uint8_t>& in, uint32_t hint = Z_HINT_NONE) {
        strm.next_in = const_cast<uint8_t*>(in.data());
        strm.avail_in = static_cast<uint32_t>(in.size());
        return deflate(&strm, Z_SYNC_FLUSH, hint);
    }
    std::vector<Token> tokens() const { return tokens::decode(out.data() + 2, strm.total_out - 2).tokens; }
};

std::vector<Token> only(const std::vector<Token>& all, Type type) {
    std::vector<Token> v;
    for (const auto& t : all) {
        if (t.type == type) v.push_back(t);
    }
    return v;
}

// The Windows build's matcher layout never matches the entry of a window's first position, so
// there a repeated byte's match in mode 1, which has no backward extension, starts one byte later.
#ifdef _WIN32
constexpr bool kWindowsLayout = true;
#else
constexpr bool kWindowsLayout = false;
#endif

TEST(SpecialMode, RepeatedByteIsOneLiteralThenDistanceOneMatch) {
    const std::vector<uint8_t> input(1000, 'a');
    struct Case {
        int level;
        size_t leadingLiterals;
        std::vector<uint32_t> pieces;
        size_t trailingLiterals;
    };
    // Mode 3 extends to the end; mode 1 stops three bytes before it.
    const Case cases[] = {
        {103, 1, {258, 258, 258, 225}, 0},
        kWindowsLayout ? Case{111, 2, {258, 258, 258, 221}, 3} : Case{111, 1, {258, 258, 258, 222}, 3},
    };
    for (const auto& c : cases) {
        Stream st(c.level, 4096);
        ASSERT_EQ(st.call(input), Z_OK);
        const auto all = st.tokens();
        ASSERT_GE(all.size(), 3u);
        EXPECT_EQ(all[0].type, Type::StaticBlock);
        EXPECT_EQ(all[1].type, Type::Literal);
        std::vector<uint32_t> pieces;
        for (const auto& t : only(all, Type::Match)) {
            EXPECT_EQ(t.distance, 1u);
            pieces.push_back(t.value);
        }
        EXPECT_EQ(pieces, c.pieces) << c.level;
        EXPECT_EQ(only(all, Type::Literal).size(), c.leadingLiterals + c.trailingLiterals) << c.level;
        EXPECT_EQ(st.strm.total_in, input.size());
    }
}

// Side-window hash of the masked bytes at p, to build inputs whose probes are known.
uint32_t sideHash(const uint8_t* p, bool threeBytes) {
    uint32_t v = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
                 static_cast<uint32_t>(p[3]) << 24;
    if (threeBytes) v &= 0xffffff;
    return (v * 2654435761u) >> 20;
}

// A 16-byte pattern at 0 and again at distance, 'z' between: no other position shares the
// pattern's hash bucket, so the probe at distance sees position 0.
std::vector<uint8_t> patternAtDistance(uint32_t distance, bool threeBytes) {
    for (uint64_t seed = 1;; seed++) {
        std::mt19937_64 rng(seed);
        std::vector<uint8_t> data(distance + 40, 'z');
        for (int i = 0; i < 16; i++) data[i] = data[distance + i] = static_cast<uint8_t>(rng());
        for (size_t i = distance + 16; i < data.size(); i++) data[i] = static_cast<uint8_t>(rng());
        const uint32_t target = sideHash(data.data(), threeBytes);
        bool clear = true;
        for (uint32_t p = 1; p < distance && clear; p++) clear = sideHash(data.data() + p, threeBytes) != target;
        if (clear && data[distance + 16] != 'z') return data;
    }
}

TEST(SpecialMode, LongestDistanceIs32506) {
    struct Case {
        int level;
        uint32_t distance;
        bool matched;
    };
    const Case cases[] = {{103, 32506, true}, {103, 32507, false}, {111, 32506, true}, {111, 32507, false}};
    for (const auto& c : cases) {
        const auto input = patternAtDistance(c.distance, c.level == 111);
        Stream st(c.level, 32768);
        ASSERT_EQ(st.call(input), Z_OK);
        bool found = false;
        for (const auto& t : only(st.tokens(), Type::Match)) {
            EXPECT_LE(t.distance, 32506u);
            found = found || t.distance == c.distance;
        }
        EXPECT_EQ(found, c.matched) << c.level << " " << c.distance;
        EXPECT_EQ(oracle::inflateBytes(st.out.data(), st.strm.total_out, 15).data, input);
    }
}

TEST(SpecialMode, StopsAtTheFirstCodeThatDoesNotFit) {
    struct Case {
        int level;
        testdata::Kind kind;
        uint32_t outSize;
        uint32_t stopFlag;
        uint32_t leadingLiterals;  // before the whole 258-byte pieces, when a piece did not fit
    };
    const Case cases[] = {
        {111, testdata::Kind::Text, 60, 3, 0},
        {103, testdata::Kind::Text, 90, 3, 0},
        {111, testdata::Kind::Zeros, 16, 1, kWindowsLayout ? 2u : 1u},
        {103, testdata::Kind::Zeros, 16, 1, 1},
        // A budget of 12 bytes or less: literals only; the Windows layout's bound is 8 bytes.
        kWindowsLayout ? Case{111, testdata::Kind::Zeros, 14, 1, 2} : Case{111, testdata::Kind::Zeros, 14, 3, 0},
    };
    for (const auto& c : cases) {
        const auto input = testdata::make(c.kind, 4000);
        Stream st(c.level, c.outSize);
        ASSERT_EQ(st.call(input), Z_OK);
        const deflate_state* s = st.strm.state;
        EXPECT_EQ(s->stopFlag, c.stopFlag) << c.level << " " << c.outSize;
        EXPECT_EQ(s->sideBuffer->fill, st.strm.total_in) << "the input position is the first byte not encoded";
        EXPECT_EQ(st.strm.avail_in, input.size() - st.strm.total_in);
        EXPECT_EQ(st.strm.avail_out, 0u) << "filled up with empty blocks";
        if (c.stopFlag == 1) {
            EXPECT_EQ(st.strm.total_in % 258, c.leadingLiterals) << c.level << ": literals, then whole 258-byte pieces";
        }
        const auto decoded = oracle::inflateBytes(st.out.data(), st.strm.total_out, 15);
        EXPECT_FALSE(decoded.dataError);
        EXPECT_EQ(decoded.data.size(), st.strm.total_in) << c.level << " " << c.outSize;

        // After the coded block only empty static blocks follow, filling the output.
        const auto all = tokens::decode(st.out.data() + 2, st.strm.total_out - 2).tokens;
        bool closed = false;
        for (const auto& t : all) {
            if (closed) {
                EXPECT_TRUE(t.type == Type::StaticBlock || t.type == Type::EndOfBlock);
            }
            closed = closed || t.type == Type::EndOfBlock;
        }

        // deflateWithHint leaves the counts as deflate set them and clears the flag.
        Stream again(c.level, c.outSize);
        again.strm.next_in = const_cast<uint8_t*>(input.data());
        again.strm.avail_in = static_cast<uint32_t>(input.size());
        ASSERT_EQ(deflateWithHint(&again.strm, Z_SYNC_FLUSH, Z_HINT_NONE), Z_OK);
        EXPECT_EQ(again.strm.total_in, st.strm.total_in);
        EXPECT_EQ(again.strm.state->stopFlag, 0u);
    }
}

TEST(SpecialMode, IncompressibleStepsAreStored) {
    const auto input = testdata::make(testdata::Kind::Random, 32768);
    for (int level : {103, 111}) {
        Stream st(level, 40000);
        ASSERT_EQ(st.call(input), Z_OK);
        std::vector<std::pair<Type, uint32_t>> seen;
        for (const auto& t : st.tokens()) seen.emplace_back(t.type, t.value);
        const std::vector<std::pair<Type, uint32_t>> expected = {
            {Type::StoredBlock, 16379}, {Type::StoredBlock, 16379}, {Type::StoredBlock, 10},
            {Type::StaticBlock, 0},     {Type::EndOfBlock, 0},      {Type::StoredBlock, 0}};
        EXPECT_EQ(seen, expected) << level;
        EXPECT_EQ(st.strm.total_in, input.size());
    }
}

TEST(SpecialMode, Mode3ChoosesDynamicTreesOnceForText) {
    const auto text = testdata::make(testdata::Kind::Text, 32768);
    Stream st(103, 32768);
    ASSERT_EQ(st.call(text), Z_OK);
    EXPECT_EQ(st.strm.state->treeState, 0u);
    EXPECT_EQ(st.strm.state->curLitTree, st.strm.state->dyn_ltree);
    // Static codes until the decision, then an empty stored block and a dynamic header.
    const auto all = st.tokens();
    ASSERT_GE(all.size(), 4u);
    EXPECT_EQ(all.front().type, Type::StaticBlock);
    EXPECT_EQ(all[all.size() - 3].type, Type::EndOfBlock);
    EXPECT_EQ(all[all.size() - 2].type, Type::StoredBlock);
    EXPECT_EQ(all[all.size() - 2].value, 0u);
    EXPECT_EQ(all.back().type, Type::DynamicBlock);
    EXPECT_EQ(oracle::inflateBytes(st.out.data(), st.strm.total_out, 15).data, text);

    // The next call opens with the same dynamic trees; a reset decides afresh.
    const unsigned long before = st.strm.total_out;
    ASSERT_EQ(st.call(text), Z_OK);
    EXPECT_EQ(tokens::decode(st.out.data() + before, st.strm.total_out - before).tokens.front().type,
              Type::DynamicBlock);
    ASSERT_EQ(deflateReset(&st.strm), Z_OK);
    EXPECT_EQ(st.strm.state->treeState, 1u);
    EXPECT_EQ(st.strm.state->curLitTree, static_ltree);
}

TEST(SpecialMode, Mode3KeepsStaticTreesWhenTheyArePreferred) {
    struct Case {
        testdata::Kind kind;
        uint32_t outSize;
    };
    // Random bytes: the estimate prefers static codes. Text with little output space: fixed early.
    const Case cases[] = {{testdata::Kind::Random, 40000}, {testdata::Kind::Text, 150}};
    for (const auto& c : cases) {
        const auto input = testdata::make(c.kind, 32768);
        Stream st(103, c.outSize);
        ASSERT_EQ(st.call(input), Z_OK);
        EXPECT_EQ(st.strm.state->treeState, 2u);
        EXPECT_TRUE(only(st.tokens(), Type::DynamicBlock).empty());
    }
}

TEST(SpecialMode, PreferDynamicRightAfterReset) {
    // Every frequency 1: total 286, dynamic estimate 2348 bits against 2436 static: static wins.
    Stream st(103, 64);
    EXPECT_EQ(_tr_prefer_dynamic(st.strm.state), 0);
    // One dominant literal makes the dynamic code pay.
    st.strm.state->dyn_ltree['e'].fc = 5000;
    EXPECT_EQ(_tr_prefer_dynamic(st.strm.state), 1);
}

TEST(SpecialMode, FullWindowStartsOver) {
    const auto input = testdata::make(testdata::Kind::Text, 32768 + 500);
    for (int level : {103, 111}) {
        Stream st(level, 65536);
        const std::vector<uint8_t> first(input.begin(), input.begin() + 32768);
        const std::vector<uint8_t> second(input.begin() + 32768, input.end());
        ASSERT_EQ(st.call(first), Z_OK);
        const SideBuffer* sb = st.strm.state->sideBuffer;
        EXPECT_EQ(sb->fill, 0u);
        bool hashClear = true;
        for (uint32_t h : sb->hash) hashClear = hashClear && h == 0;
        EXPECT_TRUE(hashClear);
        ASSERT_EQ(st.call(second), Z_OK);
        EXPECT_EQ(sb->fill, 500u);
        EXPECT_EQ(oracle::inflateBytes(st.out.data(), st.strm.total_out, 15).data, input);
    }
}

}  // namespace

namespace {

// Runs one matcher call on a fresh stream's window and returns the tokens it wrote.
std::vector<Token> matchOnce(int level, const std::vector<uint8_t>& input, uint32_t outSpace, bool windowsLayout) {
    z_stream strm{};
    EXPECT_EQ(drive::initLikeEngine(strm, level), Z_OK);
    deflate_state* s = strm.state;
    std::memcpy(s->sideBuffer->window, input.data(), input.size());
    strm.avail_out = outSpace;
    send_bits(s, 2, 3);  // static block header
    const auto length = static_cast<uint32_t>(input.size());
    if (windowsLayout) {
        side_match_windows_layout(s, s->sideBuffer->window, length, outSpace);
    } else {
        side_match(s, s->sideBuffer->window, length, outSpace);
    }
    send_code(s, END_BLOCK, static_ltree);
    bi_windup(s);
    auto decoded = tokens::decode(s->pending_buf, s->pending).tokens;
    deflateEnd(&strm);
    return decoded;
}

size_t leadingLiterals(const std::vector<Token>& all) {
    size_t n = 0;
    while (n + 1 < all.size() && all[n + 1].type == Type::Literal) n++;
    return n;
}

TEST(SpecialMode, WindowsLayoutNeverMatchesTheFirstPositionsEntry) {
    const std::vector<uint8_t> input(1000, 'a');
    struct Case {
        bool windowsLayout;
        uint32_t outSpace;
        size_t leading;  // literals before the first match
        bool matches;
    };
    const Case cases[] = {
        {false, 4096, 1, true},
        {true, 4096, 2, true},
        // A budget of 10 bytes: literals only under the 12-byte bound, a search under the 8-byte one.
        {false, 10, 0, false},
        {true, 10, 2, true},
    };
    for (const auto& c : cases) {
        // In the Windows build side_match has the Windows layout itself: only the Linux build
        // reaches both.
        if (kWindowsLayout && !c.windowsLayout) continue;
        const auto all = matchOnce(111, input, c.outSpace, c.windowsLayout);
        const bool matched = !only(all, Type::Match).empty();
        EXPECT_EQ(matched, c.matches) << c.windowsLayout << " " << c.outSpace;
        if (matched) {
            EXPECT_EQ(leadingLiterals(all), c.leading) << c.windowsLayout << " " << c.outSpace;
        }
    }
}

}  // namespace

namespace {

TEST(SpecialMode, Mode2StoresStepsWithoutMatches) {
    struct Case {
        testdata::Kind kind;
        uint32_t hint;
        bool stored;
    };
    // One recorded symbol per input byte forces a stored block, unless the hint asks for Huffman
    // coding only; then the cheapest block wins, and for text that is a coded one.
    const Case cases[] = {
        {testdata::Kind::Random, Z_HINT_NONE, true},
        {testdata::Kind::Text, 1, false},
        {testdata::Kind::Random, 1, true},
    };
    for (const auto& c : cases) {
        const auto input = testdata::make(c.kind, 1000);
        Stream st(102, 4096);
        ASSERT_EQ(st.call(input, c.hint), Z_OK);
        const auto all = st.tokens();
        ASSERT_FALSE(all.empty());
        EXPECT_EQ(all.front().type == Type::StoredBlock && all.front().value == 1000, c.stored)
            << testdata::kindName(c.kind) << " hint " << c.hint;
        EXPECT_EQ(oracle::inflateBytes(st.out.data(), st.strm.total_out, 15).data, input);
    }
}

}  // namespace

namespace {

TEST(SpecialMode, FullFlushForgetsTheWindow) {
    const auto input = testdata::make(testdata::Kind::LongRepeats, 20000);
    for (int level : {103, 111}) {
        Stream st(level, 32768);
        st.strm.next_in = const_cast<uint8_t*>(input.data());
        st.strm.avail_in = static_cast<uint32_t>(input.size());
        ASSERT_EQ(deflate(&st.strm, Z_FULL_FLUSH, Z_HINT_NONE), Z_OK);
        EXPECT_EQ(st.strm.state->sideBuffer->fill, 0u);
        // What follows the flush decodes without the data before it.
        const unsigned long flushedAt = st.strm.total_out;
        ASSERT_EQ(st.call(input), Z_OK);
        const auto tail = oracle::inflateBytes(st.out.data() + flushedAt, st.strm.total_out - flushedAt, -15);
        EXPECT_FALSE(tail.dataError);
        EXPECT_EQ(tail.data, input);
    }
}

TEST(SpecialMode, HeaderDeclaresTheSideWindowWhateverTheWindowBits) {
    const auto input = testdata::make(testdata::Kind::LongRepeats, 30000);
    struct Case {
        int level;
        uint8_t cmf;  // 0x18: a 512-byte window; 0x78: 32 KiB
    };
    // Mode 0 keeps to its 512-byte window; the special modes refer back across their 32 KiB side
    // window, so that is what they declare.
    const Case cases[] = {{1, 0x18}, {103, 0x78}, {111, 0x78}};
    for (const auto& c : cases) {
        z_stream strm{};
        ASSERT_EQ(deflateInit2_(&strm, c.level, Z_DEFLATED, 9, 6, 0, "1.2.3", static_cast<int>(sizeof strm)), Z_OK);
        std::vector<uint8_t> out(40000);
        strm.next_out = out.data();
        strm.avail_out = static_cast<uint32_t>(out.size());
        strm.next_in = const_cast<uint8_t*>(input.data());
        strm.avail_in = static_cast<uint32_t>(input.size());
        ASSERT_EQ(deflate(&strm, Z_FINISH, Z_HINT_NONE), Z_STREAM_END);
        EXPECT_EQ(out[0], c.cmf) << c.level;
        EXPECT_EQ((out[0] * 256 + out[1]) % 31, 0);
        out.resize(strm.total_out);
        deflateEnd(&strm);
        const auto decoded = oracle::inflateBytes(out.data(), out.size(), 15);
        EXPECT_TRUE(decoded.streamEnd);
        EXPECT_FALSE(decoded.dataError);
        EXPECT_EQ(decoded.data, input);
    }
}

}  // namespace

namespace {

// Finishing a stream: every mode ends its deflate data with exactly one final block and frames it
// with the checksum of the input it took, whether the data needed one block or many (stored
// steps, the mode-3 tree decision, several window passes) and whether the output took it in one
// call or in many.
TEST(SpecialMode, FinishWritesOneFinalBlockAndTheChecksum) {
    const auto input = testdata::make(testdata::Kind::Mixed, 100000);
    struct Case {
        int level;
        uint32_t hint;
        int windowBits;
        uint32_t outputPiece;  // output space offered per call
    };
    const Case cases[] = {
        {101, 0, 15, 200000}, {102, 0, 15, 200000}, {103, 0, 15, 200000}, {110, 0, 31, 200000},
        {111, 0, 31, 200000}, {103, 2, 15, 200000}, {111, 2, 31, 200000}, {103, 0, 15, 3000},
        {111, 0, 31, 3000},   {111, 2, 15, 3000},
    };
    for (const auto& c : cases) {
        z_stream strm{};
        ASSERT_EQ(deflateInit2_(&strm, c.level, Z_DEFLATED, c.windowBits, 6, 0, "1.2.3", static_cast<int>(sizeof strm)),
                  Z_OK);
        std::vector<uint8_t> out(400000);
        strm.next_in = const_cast<uint8_t*>(input.data());
        strm.avail_in = static_cast<uint32_t>(input.size());
        int ret = Z_OK;
        for (int calls = 0; ret == Z_OK && calls < 1000; calls++) {
            strm.next_out = out.data() + strm.total_out;
            strm.avail_out = c.outputPiece;
            ret = deflateWithHint(&strm, Z_FINISH, c.hint);
        }
        EXPECT_EQ(ret, Z_STREAM_END) << c.level << " hint " << c.hint << " out " << c.outputPiece;
        out.resize(strm.total_out);
        deflateEnd(&strm);
        const auto decoded = oracle::inflateBytes(out.data(), out.size(), c.windowBits);
        EXPECT_TRUE(decoded.streamEnd) << c.level << " hint " << c.hint << " out " << c.outputPiece;
        EXPECT_FALSE(decoded.dataError) << c.level << " hint " << c.hint << " out " << c.outputPiece;
        EXPECT_TRUE(decoded.data == input) << c.level << " hint " << c.hint << " out " << c.outputPiece;
    }
}

}  // namespace

namespace {

// The matcher's output budget follows the caller's space as an unsigned amount: a buffer of 2 GiB
// or more must compress like any other, not fall back to storing.
TEST(SpecialMode, OutputSpaceOfTwoGibibytesStillCompresses) {
    const auto input = testdata::make(testdata::Kind::Text, 20000);
    for (int level : {103, 111}) {
        for (uint32_t space : {32768u, 0x80000000u, 0xffffffffu}) {
            z_stream strm{};
            ASSERT_EQ(drive::initLikeEngine(strm, level), Z_OK);
            std::vector<uint8_t> out(65536);  // the stream is far shorter than the space it is told of
            strm.next_out = out.data();
            strm.avail_out = space;
            strm.next_in = const_cast<uint8_t*>(input.data());
            strm.avail_in = static_cast<uint32_t>(input.size());
            ASSERT_EQ(deflateWithHint(&strm, Z_SYNC_FLUSH, Z_HINT_NONE), Z_OK);
            EXPECT_EQ(strm.total_in, input.size());
            EXPECT_LT(strm.total_out, input.size() / 2) << level << " " << space;
            const auto decoded = oracle::inflateBytes(out.data(), strm.total_out, 15);
            EXPECT_EQ(decoded.data, input);
            deflateEnd(&strm);
        }
    }
}

}  // namespace
