// Byte-level facts of the streams: frame header and trailer per wrap mode, the sync marker,
// stored blocks under the incompressible hint, what fits in a short output, and the call's
// refusals.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "deflate/deflate_state.h"
#include "inflate_oracle.h"
#include "test_support.h"
#include "token_decoder.h"

namespace {

using namespace vdeflate;

constexpr int kStreamSize = static_cast<int>(sizeof(z_stream));

// A stream with one caller-owned output buffer.
struct Stream {
    z_stream strm{};
    std::vector<uint8_t> out;

    explicit Stream(int level, uint32_t outSize, int windowBits = 47) : out(outSize) {
        EXPECT_EQ(deflateInit2_(&strm, level, Z_DEFLATED, windowBits, 6, 0, "1.2.3", kStreamSize), Z_OK);
        strm.next_out = out.data();
        strm.avail_out = outSize;
    }
    ~Stream() { deflateEnd(&strm); }

    int call(const std::vector<uint8_t>& in, int flush, uint32_t hint, bool counted = true) {
        strm.next_in = in.empty() ? nullptr : const_cast<uint8_t*>(in.data());
        strm.avail_in = static_cast<uint32_t>(in.size());
        return counted ? deflateWithHint(&strm, flush, hint) : deflate(&strm, flush, hint);
    }
    std::vector<uint8_t> written() const { return {out.begin(), out.begin() + static_cast<long>(strm.total_out)}; }
};

std::vector<uint8_t> bytes(std::initializer_list<int> list) {
    std::vector<uint8_t> v;
    for (int b : list) v.push_back(static_cast<uint8_t>(b));
    return v;
}

// Stored block lengths of a stream body, in order.
std::vector<uint32_t> storedLengths(const std::vector<uint8_t>& stream) {
    auto decoded = tokens::decode(stream.data() + 2, stream.size() - 2);
    std::vector<uint32_t> lengths;
    for (const auto& t : decoded.tokens) {
        if (t.type == tokens::Type::StoredBlock) lengths.push_back(t.value);
    }
    return lengths;
}

TEST(StreamFacts, EmptySyncFlushIsHeaderEmptyBlockAndMarker) {
    for (int level : {1, 103, 111}) {
        Stream st(level, 64);
        EXPECT_EQ(st.call({}, Z_SYNC_FLUSH, Z_HINT_NONE), Z_OK);
        EXPECT_EQ(st.written(), bytes({0x78, 0x01, 0x02, 0x00, 0x00, 0x00, 0xff, 0xff})) << level;
        // Nothing pending and no input: a repeated flush is refused.
        EXPECT_EQ(st.call({}, Z_SYNC_FLUSH, Z_HINT_NONE), Z_BUF_ERROR);
        EXPECT_STREQ(st.strm.msg, "buffer error");
    }
}

TEST(StreamFacts, WrapModesFrameTheData) {
    const auto input = testdata::make(testdata::Kind::Text, 5000);
    struct Case {
        int level, windowBits, inflateBits;
    };
    const Case cases[] = {
        {1, 47, -15}, {103, 47, -15}, {111, 47, -15}, {1, 15, 15},    {1, 31, 31},
        {1, -15, -15}, {103, -15, -15}, {103, 31, 31}, {111, 15, 15},
    };
    for (const auto& c : cases) {
        Stream st(c.level, 20000, c.windowBits);
        ASSERT_EQ(st.call(input, Z_FINISH, Z_HINT_NONE, false), Z_STREAM_END) << c.level << " " << c.windowBits;
        const auto out = st.written();
        const bool zlibFrame = c.windowBits >= 0 && c.windowBits < 16;
        const bool noChecksumFrame = c.windowBits >= 32;
        size_t bodyStart = 0;
        if (zlibFrame || noChecksumFrame) {
            ASSERT_GE(out.size(), 6u);
            EXPECT_EQ(out[0], 0x78);
            EXPECT_EQ(out[1], 0x01);
            bodyStart = 2;
        }
        if (noChecksumFrame) {
            // Four trailer bytes without a checksum: 0 once mode 0 has taken input, 1 (the value
            // after the header) in the special modes.
            const uint8_t expectedLow = c.level == 1 ? 0 : 1;
            EXPECT_EQ(std::vector<uint8_t>(out.end() - 4, out.end()), bytes({0, 0, 0, expectedLow})) << c.level;
            const auto decoded = oracle::inflateBytes(out.data() + bodyStart, out.size() - bodyStart - 4, -15);
            EXPECT_TRUE(decoded.streamEnd);
            EXPECT_EQ(decoded.data, input);
        } else {
            // inflate checks the zlib and gzip trailers' checksums.
            const auto decoded = oracle::inflateBytes(out.data(), out.size(), c.inflateBits);
            EXPECT_TRUE(decoded.streamEnd) << c.level << " " << c.windowBits;
            EXPECT_FALSE(decoded.dataError);
            EXPECT_EQ(decoded.data, input);
        }
        if (c.windowBits == 15) {
            EXPECT_EQ(st.strm.adler, oracle::adler32Of(input.data(), input.size()));
        }
        if (c.windowBits == 31) {
            EXPECT_EQ(st.strm.adler, oracle::crc32Of(input.data(), input.size()));
        }
    }
}

TEST(StreamFacts, SyncFlushEndsWithMarkerAndNoChecksum) {
    const auto input = testdata::make(testdata::Kind::Text, 20000);
    for (int level : {1, 103, 111}) {
        Stream st(level, 32768);
        ASSERT_EQ(st.call(input, Z_SYNC_FLUSH, Z_HINT_NONE), Z_OK);
        const auto out = st.written();
        EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 2), bytes({0x78, 0x01}));
        EXPECT_EQ(std::vector<uint8_t>(out.end() - 4, out.end()), bytes({0x00, 0x00, 0xff, 0xff})) << level;
        EXPECT_LE(st.strm.adler, 1u) << "no checksum is computed";
        const auto decoded = oracle::inflateBytes(out.data(), out.size(), 15);
        EXPECT_FALSE(decoded.streamEnd);
        EXPECT_EQ(decoded.data, input);
    }
}

TEST(StreamFacts, IncompressibleHintStoresBlocksOfAtMost16379) {
    const auto input = testdata::make(testdata::Kind::Text, 32768);
    struct Case {
        int level;
        uint32_t outSize;
        std::vector<uint32_t> blocks;
        unsigned long totalIn;
    };
    const Case cases[] = {
        {1, 40000, {16379, 16379, 10, 0}, 32768},
        {103, 40000, {16379, 16379, 10, 0}, 32768},
        {111, 40000, {16379, 16379, 10, 0}, 32768},
        // A short output: the block is cut at the output's end (mode 0) or sized to it.
        {1, 10000, {16379}, 9993},
        {103, 10000, {9993}, 9993},
    };
    for (const auto& c : cases) {
        Stream st(c.level, c.outSize);
        ASSERT_EQ(st.call(input, Z_SYNC_FLUSH, Z_HINT_INCOMPRESSIBLE), Z_OK);
        EXPECT_EQ(storedLengths(st.written()), c.blocks) << c.level << " " << c.outSize;
        EXPECT_EQ(st.strm.total_in, c.totalIn) << c.level << " " << c.outSize;
        EXPECT_EQ(st.strm.avail_in, 32768 - c.totalIn);
    }
}

TEST(StreamFacts, StoredBytesCountOnlyWhatFits) {
    // 100 stored bytes; the output holds the 2-byte header, the block's 5 header bytes and then
    // the given room.
    const auto input = testdata::make(testdata::Kind::Random, 100);
    struct Case {
        int level;
        uint32_t outSize;
        unsigned long totalIn;
    };
    const Case cases[] = {
        {1, 67, 60}, {1, 7, 0}, {1, 5, 0}, {1, 300, 100}, {103, 67, 60}, {103, 300, 100},
    };
    for (const auto& c : cases) {
        Stream st(c.level, c.outSize);
        ASSERT_EQ(st.call(input, Z_SYNC_FLUSH, Z_HINT_INCOMPRESSIBLE), Z_OK);
        EXPECT_EQ(st.strm.total_in, c.totalIn) << c.level << " " << c.outSize;
        EXPECT_EQ(st.strm.avail_in, 100 - c.totalIn);
        const auto decoded = oracle::inflateBytes(st.out.data(), st.strm.total_out, 15);
        EXPECT_EQ(decoded.data, std::vector<uint8_t>(input.begin(), input.begin() + static_cast<long>(c.totalIn)));
    }
}

TEST(StreamFacts, ShortOutputCountsOnlyFittingInputAndResumes) {
    const auto input = testdata::make(testdata::Kind::Text, 32768);
    for (int level : {1, 103, 111}) {
        Stream st(level, 2000);
        ASSERT_EQ(st.call(input, Z_SYNC_FLUSH, Z_HINT_NONE), Z_OK);
        EXPECT_EQ(st.strm.avail_out, 0u) << level;
        EXPECT_GT(st.strm.total_in, 2000u);
        EXPECT_LT(st.strm.total_in, 32768u);
        EXPECT_EQ(st.strm.avail_in, 32768 - st.strm.total_in) << level;
        const auto decoded = oracle::inflateBytes(st.out.data(), st.strm.total_out, 15);
        EXPECT_EQ(decoded.data.size(), st.strm.total_in) << level;

        // Mode 0: a fresh output buffer and no input is no repeated flush, so no buffer error.
        if (level != 1) continue;
        std::vector<uint8_t> more(64);
        st.strm.next_out = more.data();
        st.strm.avail_out = static_cast<uint32_t>(more.size());
        st.strm.avail_in = 0;
        EXPECT_EQ(deflateWithHint(&st.strm, Z_SYNC_FLUSH, Z_HINT_NONE), Z_OK) << level;
    }
}

TEST(StreamFacts, HuffmanOnlyHintDependsOnMode) {
    const auto input = testdata::make(testdata::Kind::Zeros, 32768);
    for (int level : {1, 103, 111}) {
        Stream plain(level, 40000), huffman(level, 40000);
        ASSERT_EQ(plain.call(input, Z_SYNC_FLUSH, Z_HINT_NONE), Z_OK);
        ASSERT_EQ(huffman.call(input, Z_SYNC_FLUSH, 1), Z_OK);
        if (level == 1) {
            // Literals only: at least one bit per byte.
            EXPECT_GE(huffman.written().size(), input.size() / 8);
            EXPECT_LT(plain.written().size(), 400u);
        } else {
            EXPECT_EQ(huffman.written(), plain.written()) << level;
        }
        EXPECT_EQ(oracle::inflateBytes(huffman.out.data(), huffman.strm.total_out, 15).data, input);
    }
}

TEST(StreamFacts, HintChangesBetweenSyncFlushedCalls) {
    const auto text = testdata::make(testdata::Kind::Text, 3000);
    const auto zeros = testdata::make(testdata::Kind::Zeros, 32768);
    for (int level : {1, 103, 111}) {
        Stream st(level, 32768);
        ASSERT_EQ(st.call(text, Z_SYNC_FLUSH, Z_HINT_INCOMPRESSIBLE), Z_OK);
        const unsigned long afterStored = st.strm.total_out;
        EXPECT_GT(afterStored, text.size());
        ASSERT_EQ(st.call(zeros, Z_SYNC_FLUSH, Z_HINT_NONE), Z_OK);
        EXPECT_LT(st.strm.total_out - afterStored, 400u) << level;
        auto expected = text;
        expected.insert(expected.end(), zeros.begin(), zeros.end());
        EXPECT_EQ(oracle::inflateBytes(st.out.data(), st.strm.total_out, 15).data, expected) << level;
    }
}

TEST(StreamFacts, CallRefusals) {
    const auto input = testdata::make(testdata::Kind::Text, 100);
    struct Case {
        const char* what;
        int flush;
        bool nullOut, nullIn, noSpace, finished;
        int expected;
        const char* msg;
    };
    const Case cases[] = {
        {"flush above finish", 5, false, false, false, false, Z_STREAM_ERROR, nullptr},
        {"negative flush", -1, false, false, false, false, Z_STREAM_ERROR, nullptr},
        {"no output buffer", Z_SYNC_FLUSH, true, false, false, false, Z_STREAM_ERROR, "stream error"},
        {"no input buffer", Z_SYNC_FLUSH, false, true, false, false, Z_STREAM_ERROR, "stream error"},
        {"no output space", Z_SYNC_FLUSH, false, false, true, false, Z_BUF_ERROR, "buffer error"},
        {"finished, not finishing", Z_SYNC_FLUSH, false, false, false, true, Z_STREAM_ERROR, "stream error"},
        {"finished, more input", Z_FINISH, false, false, false, true, Z_BUF_ERROR, "buffer error"},
    };
    for (int level : {1, 103, 111}) {
        for (const auto& c : cases) {
            Stream st(level, 4096);
            if (c.finished) {
                ASSERT_EQ(st.call(input, Z_FINISH, Z_HINT_NONE), Z_STREAM_END);
            }
            st.strm.next_in = c.nullIn ? nullptr : const_cast<uint8_t*>(input.data());
            st.strm.avail_in = static_cast<uint32_t>(input.size());
            if (c.nullOut) st.strm.next_out = nullptr;
            if (c.noSpace) st.strm.avail_out = 0;
            const z_stream before = st.strm;
            EXPECT_EQ(deflateWithHint(&st.strm, c.flush, Z_HINT_NONE), c.expected) << c.what;
            if (c.msg == nullptr) {
                EXPECT_EQ(st.strm.msg, nullptr) << c.what;
            } else {
                EXPECT_STREQ(st.strm.msg, c.msg) << c.what;
            }
            EXPECT_EQ(st.strm.total_in, before.total_in) << c.what;
            EXPECT_EQ(st.strm.avail_in, before.avail_in) << c.what;
            EXPECT_EQ(st.strm.total_out, before.total_out) << c.what;
            EXPECT_EQ(st.strm.next_in, before.next_in) << c.what;
        }
    }
}

}  // namespace

namespace {

// A stored block written while bits of an earlier block still wait in the bit buffer (after a
// partial flush, or after a call that filled the output) has a header of up to seven bytes; its
// data must still fit the pending buffer whole, or the stream breaks off mid-block. The first
// call's sizes vary so that every count of waiting bits occurs.
TEST(StreamFacts, StoredBlocksAfterWaitingBitsStayWhole) {
    const auto text = testdata::make(testdata::Kind::Text, 3000);
    const auto random = testdata::make(testdata::Kind::Random, 40000, 3);
    for (int level : {1, 103, 111}) {
        for (uint32_t extra = 0; extra < 40; extra++) {
            Stream st(level, 100000);
            // Mode 0: a partial flush leaves bits waiting. Special modes: an output that fills
            // ends the call with bits waiting.
            const bool partial = level == 1;
            st.strm.avail_out = partial ? 100000 : 300 + extra;
            const std::vector<uint8_t> first(text.begin(), text.begin() + (partial ? 100 + extra : 3000));
            ASSERT_GE(st.call(first, partial ? Z_PARTIAL_FLUSH : Z_SYNC_FLUSH, Z_HINT_NONE), 0);
            const unsigned long firstIn = st.strm.total_in;
            st.strm.avail_out = 100000 - static_cast<uint32_t>(st.strm.total_out);
            ASSERT_EQ(st.call(random, Z_SYNC_FLUSH, Z_HINT_INCOMPRESSIBLE), Z_OK);
            EXPECT_EQ(st.strm.total_in, firstIn + random.size()) << level << " " << extra;

            std::vector<uint8_t> expected(text.begin(), text.begin() + static_cast<long>(firstIn));
            expected.insert(expected.end(), random.begin(), random.end());
            const auto decoded = oracle::inflateBytes(st.out.data(), st.strm.total_out, 15);
            EXPECT_FALSE(decoded.dataError) << level << " " << extra;
            EXPECT_TRUE(decoded.data == expected) << level << " " << extra;
        }
    }
}

}  // namespace
