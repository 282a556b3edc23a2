// Stream set-up, reset and end: the refusals, the level and window tables, the allocations in
// their order, and what each entry point does to a stream without state.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "deflate/deflate_state.h"
#include "test_support.h"

namespace {

using namespace vdeflate;

constexpr int kStreamSize = static_cast<int>(sizeof(z_stream));

// Records every allocation and release; fails the allocation numbered failAt (from 0).
struct AllocLog {
    struct Block {
        uint32_t items, size;
        void* address;
    };
    std::vector<Block> allocs;
    std::vector<void*> frees;
    int failAt = -1;

    static void* alloc(void* opaque, uint32_t items, uint32_t size) {
        auto* log = static_cast<AllocLog*>(opaque);
        void* p = static_cast<int>(log->allocs.size()) == log->failAt ? nullptr : std::malloc(size_t{items} * size);
        log->allocs.push_back({items, size, p});
        return p;
    }
    static void release(void* opaque, void* address) {
        static_cast<AllocLog*>(opaque)->frees.push_back(address);
        std::free(address);
    }
    void attach(z_stream& strm) {
        strm.zalloc = alloc;
        strm.zfree = release;
        strm.opaque = this;
    }
};

TEST(Setup, VersionAndRecordSizeAreCheckedFirst) {
    struct Case {
        const char* version;
        int size;
        bool nullStream;
        int expected;
    };
    const Case cases[] = {
        {"1.2.3", kStreamSize, false, Z_OK},
        {"1.9", kStreamSize, false, Z_OK},
        {"2.0", kStreamSize, false, Z_VERSION_ERROR},
        {nullptr, kStreamSize, false, Z_VERSION_ERROR},
        {"1.2.3", kStreamSize - 8, false, Z_VERSION_ERROR},
        {"2.0", kStreamSize, true, Z_VERSION_ERROR},
        {"1.2.3", 0, true, Z_VERSION_ERROR},
        {"1.2.3", kStreamSize, true, Z_STREAM_ERROR},
    };
    for (const auto& c : cases) {
        z_stream strm{};
        int ret = deflateInit2_(c.nullStream ? nullptr : &strm, 1, Z_DEFLATED, 47, 6, 0, c.version, c.size);
        EXPECT_EQ(ret, c.expected) << (c.version ? c.version : "null") << " size " << c.size;
        if (ret == Z_OK) {
            EXPECT_EQ(deflateEnd(&strm), Z_OK);
        }
    }
}

TEST(Setup, RefusedArgumentsAllocateNothingButFillCallbacksAndOps) {
    struct Case {
        int level, method, windowBits, memLevel, strategy;
    };
    const Case cases[] = {
        {10, 8, 47, 6, 0}, {99, 8, 47, 6, 0}, {-1, 8, 47, 6, 0}, {1, 8, 47, 0, 0}, {1, 8, 47, 10, 0},
        {1, 9, 47, 6, 0},  {1, 8, 47, 6, 5},  {1, 8, 47, 6, -1}, {1, 8, 48, 6, 0}, {1, 8, 7, 6, 0},
        {1, 8, -7, 6, 0},  {1, 8, 23, 6, 0},  {103, 8, 16, 6, 0},
    };
    for (const auto& c : cases) {
        AllocLog log;
        z_stream strm{};
        strm.zalloc = AllocLog::alloc;
        strm.opaque = &log;
        strm.ops = reinterpret_cast<const z_buffer_ops*>(&log);  // any value is replaced
        strm.msg = "left over";
        EXPECT_EQ(deflateInit2_(&strm, c.level, c.method, c.windowBits, c.memLevel, c.strategy, "1.2.3", kStreamSize),
                  Z_STREAM_ERROR)
            << c.level << " " << c.method << " " << c.windowBits << " " << c.memLevel << " " << c.strategy;
        EXPECT_TRUE(log.allocs.empty());
        EXPECT_EQ(strm.state, nullptr);
        EXPECT_EQ(strm.msg, nullptr);
        EXPECT_EQ(strm.zalloc, &AllocLog::alloc);
        EXPECT_NE(strm.zfree, nullptr);
        EXPECT_EQ(strm.ops, &flat_buffer_ops);
    }
}

TEST(Setup, LevelSelectsModeAndMatcher) {
    struct Case {
        int level;
        uint32_t mode;
        int stateLevel;
        bool side;
        uint32_t minMatch, noSkip;
    };
    const Case cases[] = {
        {0, 0, 0, false, 0, 0},   {1, 0, 1, false, 0, 0},   {9, 0, 1, false, 0, 0},   {100, 0, 1, false, 0, 0},
        {101, 1, 1, true, 4, 0},  {102, 2, 1, true, 4, 0},  {103, 3, 1, true, 4, 0},  {104, 4, 1, true, 4, 0},
        {109, 9, 1, true, 4, 0},  {110, 2, 1, true, 3, 1},  {111, 1, 1, true, 3, 1},  {112, 12, 1, true, 4, 0},
    };
    for (const auto& c : cases) {
        z_stream strm{};
        ASSERT_EQ(drive::initLikeEngine(strm, c.level), Z_OK) << c.level;
        const deflate_state* s = strm.state;
        EXPECT_EQ(s->mode, c.mode) << c.level;
        EXPECT_EQ(s->level, c.stateLevel) << c.level;
        ASSERT_EQ(s->sideBuffer != nullptr, c.side) << c.level;
        if (c.side) {
            EXPECT_EQ(s->sideBuffer->minMatch, c.minMatch) << c.level;
            EXPECT_EQ(s->sideBuffer->noSkip, c.noSkip) << c.level;
            EXPECT_EQ(s->sideBuffer->fill, 0u);
            EXPECT_EQ(s->storedPercent, 100u);
            EXPECT_EQ(s->stopFlag, 0u);
            EXPECT_EQ(s->treeState, c.mode == 3 ? 1u : 0u) << c.level;
            EXPECT_EQ(s->curLitTree, static_ltree);
            EXPECT_EQ(s->curDistTree, static_dtree);
        } else {
            EXPECT_NE(s->window, nullptr);
        }
        EXPECT_EQ(strm.ops, &flat_buffer_ops);
        deflateEnd(&strm);
    }
}

TEST(Setup, WindowBitsSelectWrapMode) {
    struct Case {
        int windowBits;
        int wrap;
        uint32_t bits;
        int status;
        unsigned long adler;
        int endResult;
    };
    const Case cases[] = {
        {47, 3, 15, INIT_STATE, 0, Z_OK},   {40, 3, 9, INIT_STATE, 0, Z_OK},    {31, 2, 15, INIT_STATE, 0, Z_OK},
        {15, 1, 15, INIT_STATE, 1, Z_OK},   {8, 1, 9, INIT_STATE, 1, Z_OK},     {-15, 0, 15, BUSY_STATE, 1, Z_DATA_ERROR},
        {-8, 0, 9, BUSY_STATE, 1, Z_DATA_ERROR},
    };
    for (const auto& c : cases) {
        z_stream strm{};
        ASSERT_EQ(deflateInit2_(&strm, 1, Z_DEFLATED, c.windowBits, 6, 0, "1.2.3", kStreamSize), Z_OK) << c.windowBits;
        EXPECT_EQ(strm.state->wrap, c.wrap) << c.windowBits;
        EXPECT_EQ(strm.state->w_bits, c.bits) << c.windowBits;
        EXPECT_EQ(strm.state->w_size, 1u << c.bits);
        EXPECT_EQ(strm.state->status, c.status);
        EXPECT_EQ(strm.adler, c.adler) << c.windowBits;
        EXPECT_EQ(strm.data_type, Z_UNKNOWN);
        EXPECT_EQ(deflateEnd(&strm), c.endResult) << c.windowBits;
        EXPECT_EQ(strm.state, nullptr);
    }
}

TEST(Setup, AllocationsAndReleasesInOrder) {
    struct Case {
        int level;
        std::vector<std::pair<uint32_t, uint32_t>> afterState;  // (items, size) after the state
    };
    const Case cases[] = {
        {1, {{32768, 2}, {32768, 2}, {8192, 2}, {4096, 4}}},
        {103, {{static_cast<uint32_t>(sizeof(SideBuffer)), 1}, {4096, 4}}},
        {111, {{static_cast<uint32_t>(sizeof(SideBuffer)), 1}, {4096, 4}}},
    };
    for (const auto& c : cases) {
        AllocLog log;
        z_stream strm{};
        log.attach(strm);
        ASSERT_EQ(drive::initLikeEngine(strm, c.level), Z_OK);
        ASSERT_EQ(log.allocs.size(), c.afterState.size() + 1);
        EXPECT_EQ(log.allocs[0].items, 1u);
        EXPECT_EQ(log.allocs[0].size, sizeof(deflate_state));
        for (size_t i = 0; i < c.afterState.size(); i++) {
            EXPECT_EQ(log.allocs[i + 1].items, c.afterState[i].first) << c.level << " block " << i + 1;
            EXPECT_EQ(log.allocs[i + 1].size, c.afterState[i].second) << c.level << " block " << i + 1;
        }
        // Reset allocates nothing.
        EXPECT_EQ(deflateReset(&strm), Z_OK);
        EXPECT_EQ(log.allocs.size(), c.afterState.size() + 1);

        // Released: pending buffer, then the mode's buffers in reverse, then the state.
        EXPECT_EQ(deflateEnd(&strm), Z_OK);
        std::vector<void*> expected = {log.allocs.back().address};
        for (size_t i = log.allocs.size() - 1; i-- > 1;) expected.push_back(log.allocs[i].address);
        expected.push_back(log.allocs[0].address);
        EXPECT_EQ(log.frees, expected) << c.level;
    }
}

TEST(Setup, FailedAllocationLeavesNothingBehind) {
    for (int level : {1, 103}) {
        const int blocks = level == 1 ? 5 : 3;
        for (int failAt = 0; failAt < blocks; failAt++) {
            AllocLog log;
            log.failAt = failAt;
            z_stream strm{};
            log.attach(strm);
            EXPECT_EQ(drive::initLikeEngine(strm, level), Z_MEM_ERROR) << level << " " << failAt;
            EXPECT_EQ(strm.state, nullptr);
            // The state itself failing leaves msg alone; any later block sets the text.
            if (failAt == 0) {
                EXPECT_EQ(strm.msg, nullptr);
                EXPECT_EQ(log.allocs.size(), 1u);
            } else {
                ASSERT_NE(strm.msg, nullptr);
                EXPECT_STREQ(strm.msg, "insufficient memory");
                EXPECT_EQ(log.allocs.size(), static_cast<size_t>(blocks)) << "every block is still tried";
            }
            size_t granted = 0;
            for (const auto& a : log.allocs) granted += a.address != nullptr;
            EXPECT_EQ(log.frees.size(), granted) << level << " " << failAt;
        }
    }
}

TEST(Setup, DefaultCallbacksClearOpaque) {
    z_stream strm{};
    int dummy = 0;
    strm.opaque = &dummy;
    ASSERT_EQ(drive::initLikeEngine(strm, 1), Z_OK);
    EXPECT_NE(strm.zalloc, nullptr);
    EXPECT_NE(strm.zfree, nullptr);
    EXPECT_EQ(strm.opaque, nullptr);
    deflateEnd(&strm);
}

TEST(Setup, EndReportsBusyStreamsAndReleasesThem) {
    for (int level : {1, 103, 111}) {
        z_stream strm{};
        AllocLog log;
        log.attach(strm);
        ASSERT_EQ(drive::initLikeEngine(strm, level), Z_OK);
        std::vector<uint8_t> in(1000, 'a'), out(4096);
        strm.next_in = in.data();
        strm.avail_in = static_cast<uint32_t>(in.size());
        strm.next_out = out.data();
        strm.avail_out = static_cast<uint32_t>(out.size());
        ASSERT_EQ(deflateWithHint(&strm, Z_SYNC_FLUSH, Z_HINT_NONE), Z_OK);
        EXPECT_EQ(deflateEnd(&strm), Z_DATA_ERROR) << level;
        EXPECT_EQ(strm.state, nullptr);
        EXPECT_EQ(log.frees.size(), log.allocs.size());

        // A stream without state refuses everything and changes nothing.
        const z_stream before = strm;
        EXPECT_EQ(deflateReset(&strm), Z_STREAM_ERROR);
        EXPECT_EQ(deflateEnd(&strm), Z_STREAM_ERROR);
        EXPECT_EQ(deflate(&strm, Z_SYNC_FLUSH, 0), Z_STREAM_ERROR);
        EXPECT_EQ(deflateWithHint(&strm, Z_SYNC_FLUSH, 0), Z_STREAM_ERROR);
        EXPECT_EQ(std::memcmp(&before, &strm, sizeof strm), 0);
        EXPECT_EQ(log.frees.size(), log.allocs.size());
    }
    EXPECT_EQ(deflateReset(nullptr), Z_STREAM_ERROR);
    EXPECT_EQ(deflateEnd(nullptr), Z_STREAM_ERROR);
    EXPECT_EQ(deflate(nullptr, Z_SYNC_FLUSH, 0), Z_STREAM_ERROR);
    EXPECT_EQ(deflateWithHint(nullptr, Z_SYNC_FLUSH, 0), Z_STREAM_ERROR);
}

TEST(Setup, EndRefusesAnUnknownStatus) {
    z_stream strm{};
    ASSERT_EQ(drive::initLikeEngine(strm, 1), Z_OK);
    strm.state->status = 7;
    EXPECT_EQ(deflateEnd(&strm), Z_STREAM_ERROR);
    EXPECT_NE(strm.state, nullptr);
    strm.state->status = BUSY_STATE;
    EXPECT_EQ(deflateEnd(&strm), Z_DATA_ERROR);
}

TEST(Setup, ResetRestartsTreeDecisionOnlyInMode3) {
    for (int level : {103, 111}) {
        z_stream strm{};
        ASSERT_EQ(drive::initLikeEngine(strm, level), Z_OK);
        deflate_state* s = strm.state;
        s->treeState = 2;
        s->stopFlag = 1;
        s->blTreeMax = 17;
        s->sideBuffer->fill = 500;
        s->sideBuffer->hash[7] = 99;
        strm.total_in = strm.total_out = 5;
        EXPECT_EQ(deflateReset(&strm), Z_OK);
        EXPECT_EQ(s->treeState, level == 103 ? 1u : 2u) << level;
        EXPECT_EQ(s->stopFlag, 1u);
        EXPECT_EQ(s->blTreeMax, 17u);
        EXPECT_EQ(s->storedPercent, 100u);
        EXPECT_EQ(s->sideBuffer->fill, 0u);
        EXPECT_EQ(s->sideBuffer->hash[7], 0u);
        EXPECT_EQ(strm.total_in, 0u);
        EXPECT_EQ(strm.total_out, 0u);
        EXPECT_EQ(s->status, INIT_STATE);
        deflateEnd(&strm);
    }
}

TEST(BufferOps, FlatOperations) {
    unsigned char bytes[8] = {};
    unsigned char* p = bytes + 4;
    EXPECT_EQ(advancePointer(&p, 0), 0);
    EXPECT_EQ(p, bytes + 4);
    EXPECT_EQ(advancePointer(&p, 3), 3);
    EXPECT_EQ(p, bytes + 7);
    EXPECT_EQ(advancePointer(&p, -7), -7);
    EXPECT_EQ(p, bytes);
    EXPECT_EQ(isNullPointer(nullptr), 1);
    EXPECT_EQ(isNullPointer(bytes), 0);
    EXPECT_EQ(flat_buffer_ops.advance, &advancePointer);
    EXPECT_EQ(flat_buffer_ops.is_null, &isNullPointer);
    const unsigned char abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(flat_buffer_ops.adler32(1, abc, 3), 0x024d0127u);  // Adler-32 of "abc"
    EXPECT_EQ(flat_buffer_ops.crc32(0, abc, 3), 0x352441c2u);    // CRC-32 of "abc"
}

}  // namespace
