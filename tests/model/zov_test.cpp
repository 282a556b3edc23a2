// Tests of the stripe model: parity by addition, page sampling and its draw order, zero strips,
// totals, errors and sharing one model between threads.
#include "model/Zov.h"

#include <cfloat>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <boost/random/mersenne_twister.hpp>
#include <boost/random/uniform_int_distribution.hpp>
#include <gtest/gtest.h>

#include "model/CodeBook.h"
#include "model/CodeBookTables.h"
#include "model/Compressor.h"

namespace {

using namespace orvane::tessaline::kbx::tarnel;

constexpr uint32_t kStrip = ZOV_STRIP_SIZE;
constexpr uint32_t kPage = ZOV_PAGE_SIZE;
constexpr uint32_t kBlock = 16896;

struct Totals {
    uint64_t in = 0;
    uint64_t out = 0;
    uint64_t pagesCounted = 0;
    uint64_t pagesTotal = 0;
};

// An independent model of a stripe's accounting, written straight from the stripe layout: its
// own generator, parity built byte by byte from index formulas, one compressor per stripe.
class ReferenceStripes {
public:
    explicit ReferenceStripes(uint32_t dataStrips) : dataStrips(dataStrips) {}

    uint8_t draw() { return static_cast<uint8_t>(dist(rng)); }
    void skipDraws(uint64_t n) { rng.discard(n); }

    // The 16896-byte block that the next draws turn `page` into.
    std::vector<uint8_t> pageBlock(const uint8_t* page) {
        std::vector<uint8_t> block(page, page + kPage);
        uint8_t a[4], b[4];
        for (uint8_t& x : a) x = draw();
        for (uint8_t& x : b) x = draw();
        for (int i = 0; i < 128; ++i) block.push_back(a[i % 4]);
        for (int i = 0; i < 128; ++i) block.push_back(b[i % 4]);
        for (int i = 0; i < 256; ++i) block.push_back(draw());
        return block;
    }

    void add(const std::vector<uint8_t>& stripe) {
        std::vector<uint8_t> p(kStrip, 0), q(17 * kPage, 0);
        for (uint32_t i = 0; i < dataStrips; ++i)
            for (uint32_t j = 0; j < kStrip; ++j) {
                const uint8_t v = stripe[i * kStrip + j];
                p[j] = uint8_t(p[j] + v);
                const uint32_t qj = ((j / kPage + i) % 17) * kPage + j % kPage;
                q[qj] = uint8_t(q[qj] + v);
            }
        CodeBook books(pageLitLenLengths, pageDistLengths);
        Compressor compressor(kBlock, 2, 3, 5, 1, &books);
        auto size = [&](const uint8_t* page) {
            uint32_t book;
            const uint64_t n = compressor.compress(pageBlock(page).data(), &book).size();
            return (32 * n + 32) / 33;
        };
        auto zero = [](const uint8_t* bytes, size_t n) {
            for (size_t j = 0; j < n; ++j)
                if (bytes[j]) return false;
            return true;
        };
        const uint32_t r = draw() % 16;
        for (uint32_t i = 0; i < dataStrips; ++i) {
            const uint8_t* strip = &stripe[i * kStrip];
            const uint64_t s = size(strip + r * kPage);
            if (!zero(strip, kStrip)) {
                totals.in += kStrip;
                totals.pagesCounted += 16;
                totals.out += 16 * s;
            }
        }
        const uint64_t pSize = size(&p[(draw() % 16) * kPage]);
        const uint64_t qSize = size(&q[(draw() % 17) * kPage]);
        if (!zero(p.data(), p.size())) {
            totals.in += kStrip;
            totals.pagesCounted += 16;
            totals.out += 16 * pSize;
        }
        if (!zero(q.data(), q.size())) {
            totals.in += 17 * kPage;
            totals.pagesCounted += 17;
            totals.out += 17 * qSize;
        }
        totals.pagesTotal += 16 * dataStrips + 33;
    }

    double ratio() const { return totals.out ? double(totals.in) / double(totals.out) : DBL_MAX; }
    double zeroFraction() const {
        return totals.pagesTotal ? 1.0 - double(totals.pagesCounted) / double(totals.pagesTotal) : 0;
    }

    uint32_t dataStrips;
    Totals totals;

private:
    boost::random::mt19937 rng{5489u};
    boost::random::uniform_int_distribution<uint32_t> dist{0, 255};
};

void expectSameTotals(const Zov& zov, const ReferenceStripes& ref) {
    EXPECT_EQ(zov.bytesOut(), ref.totals.out);
    EXPECT_DOUBLE_EQ(zov.ratio(), ref.ratio());
    EXPECT_DOUBLE_EQ(zov.zeroFraction(), ref.zeroFraction());
}

std::vector<uint8_t> zeroStripe(uint32_t dataStrips) {
    return std::vector<uint8_t>(size_t(dataStrips) * kStrip, 0);
}

void fillPage(std::vector<uint8_t>& stripe, uint32_t strip, uint32_t page, uint8_t value) {
    std::memset(&stripe[strip * kStrip + page * kPage], value, kPage);
}

// A stripe whose pages compress to clearly different sizes: page p of every strip starts with
// (p + 1) x 900 pseudo-random bytes and is zero after them, so the chosen page index shows in
// the compressed total.
std::vector<uint8_t> distinctPagesStripe(uint32_t dataStrips, uint32_t seed) {
    std::vector<uint8_t> stripe = zeroStripe(dataStrips);
    boost::random::mt19937 gen(seed);
    for (uint32_t i = 0; i < dataStrips; ++i)
        for (uint32_t p = 0; p < 16; ++p)
            for (uint32_t j = 0; j < (p + 1) * 900; ++j)
                stripe[i * kStrip + p * kPage + j] = uint8_t(gen() >> 24);
    return stripe;
}

TEST(ZovTest, ConstructorAcceptsWidthsFiveToSixteen) {
    const struct {
        uint32_t width;
        const char* error;
    } cases[] = {
        {0, "[orvane::tessaline::kbx::tarnel::Zov] Error: stripe width must be at least 5"},
        {4, "[orvane::tessaline::kbx::tarnel::Zov] Error: stripe width must be at least 5"},
        {17, "[orvane::tessaline::kbx::tarnel::Zov] Error: stripe width can be at most 16"},
        {5, nullptr},
        {16, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.width);
        if (!c.error) {
            EXPECT_NO_THROW(Zov{c.width});
            continue;
        }
        try {
            Zov zov(c.width);
            ADD_FAILURE() << "no exception";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), c.error);
        }
    }
}

TEST(ZovTest, FreshModelReportsNoData) {
    Zov zov(12);
    EXPECT_EQ(zov.bytesOut(), 0u);
    EXPECT_EQ(zov.ratio(), 1.7976931348623157e308);
    EXPECT_EQ(zov.zeroFraction(), 0.0);
}

// The all-zero page block is the smallest stored page: its exact bytes, worked out apart from
// this code from the matcher's tokens (four literals, 65 matches of 256 and one of 252 at distance 1, the end)
// under book 1 of the page set: lanes of 225, 225, 218 and 212 bits, 10 + 10 + 9 + 9 merge words.
TEST(ZovTest, AllZeroPageBlockCompressesToKnownBytes) {
    static const uint8_t expected[128] = {
        0x8f, 0x03, 0x8f, 0x03, 0x8f, 0x03, 0x8f, 0x03, 0xf8, 0x1f, 0xf8, 0x1f, 0xf8, 0x1f, 0xf8,
        0x1f, 0xc0, 0xfe, 0xc0, 0xfe, 0xc0, 0xfe, 0xc0, 0xfe, 0x07, 0xf0, 0x07, 0xf0, 0x07, 0xf0,
        0x07, 0xf0, 0x3f, 0x81, 0x3f, 0x81, 0x3f, 0x81, 0x3f, 0x81, 0xfc, 0x0f, 0xfc, 0x0f, 0xfc,
        0x0f, 0xfc, 0x0f, 0xe0, 0x7f, 0xe0, 0x7f, 0xe0, 0x7f, 0xe0, 0x7f, 0x03, 0xf8, 0x03, 0xf8,
        0x03, 0xf8, 0x03, 0xf8, 0x1f, 0xc0, 0x1f, 0xc0, 0x1f, 0xc0, 0x1f, 0xc0, 0xfe, 0x07, 0xfe,
        0x07, 0xfe, 0x07, 0xfe, 0x07, 0xf0, 0x3f, 0xf0, 0x3f, 0xf0, 0x3f, 0xf0, 0x3f, 0x81, 0xfc,
        0x81, 0xfc, 0x81, 0xfc, 0x81, 0xfc, 0x0f, 0xe0, 0x0f, 0xe0, 0x0f, 0xe0, 0x0f, 0xe0, 0x7f,
        0x03, 0x7f, 0x01, 0x7e, 0x80, 0x70, 0x00, 0x80, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    CodeBook books(pageLitLenLengths, pageDistLengths);
    Compressor compressor(kBlock, 2, 3, 5, 1, &books);
    const std::vector<uint8_t> block(kBlock, 0);
    uint32_t book = 99;
    const std::vector<uint8_t> out = compressor.compress(block.data(), &book);
    EXPECT_EQ(book, 1u);
    EXPECT_EQ(out, std::vector<uint8_t>(expected, expected + sizeof expected));
}

// The draws are the top bytes of MT19937 from seed 5489. Strip 0's page 0 (208 mod 16) ends in
// a copy of the trailer those draws must give it (A = 34 231 213 32, B = 248 233 56 161, then
// 78 24 140 ...), so the block compresses to one long match only if the trailer is laid out and
// drawn exactly so.
TEST(ZovTest, FirstStripeUsesDrawsInOrder) {
    ReferenceStripes ref(3);
    {
        boost::random::mt19937 gen(5489u);
        boost::random::uniform_int_distribution<uint32_t> dist(0, 255);
        const uint32_t published[] = {208, 34, 231, 213, 32, 248, 233, 56, 161, 78, 24, 140};
        for (uint32_t value : published) EXPECT_EQ(dist(gen), value);
    }
    std::vector<uint8_t> stripe = distinctPagesStripe(3, 7);
    std::memset(&stripe[0], 0, kPage);
    {
        ReferenceStripes peek(3);
        EXPECT_EQ(peek.draw(), 208);
        const std::vector<uint8_t> trailerOnly = peek.pageBlock(&stripe[0]);
        std::memcpy(&stripe[kPage - 512], &trailerOnly[kPage], 512);
    }
    Zov zov(5);
    ASSERT_EQ(zov.compressZov(stripe), 0);
    ref.add(stripe);
    expectSameTotals(zov, ref);
}

// Width 5 (three data strips): the parity strips are byte-wise sums modulo 256, and a strip that
// sums to zero leaves the counts though its page is still compressed.
TEST(ZovTest, ParityStripsAddBytesAndZeroStripsLeaveTheCounts) {
    struct Page {
        uint32_t strip, page;
        uint8_t value;
    };
    const struct {
        const char* name;
        std::vector<Page> pages;  // a page index of 16 fills the whole strip
        uint64_t pagesCounted;
    } cases[] = {
        {"all zero", {}, 0},
        // 0x01 + 0xFF wraps to zero: P is left out (an exclusive-or would give 0xFE).
        {"P sums to zero", {{0, 16, 0x01}, {1, 16, 0xFF}}, 16 + 16 + 17},
        {"P is 0x02", {{0, 16, 0x01}, {1, 16, 0x01}}, 16 + 16 + 16 + 17},
        // Page 1 of strip 0 and page 0 of strip 1 both land in Q page 1 and cancel there.
        {"Q cancels in page 1", {{0, 1, 0x37}, {1, 0, 0xC9}}, 16 + 16 + 16},
        // Q page 16 takes page 15 of strip 1 and page 14 of strip 2, nothing of strip 0.
        {"Q cancels in page 16", {{1, 15, 0x80}, {2, 14, 0x80}}, 16 + 16 + 16},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> stripe = zeroStripe(3);
        for (const Page& p : c.pages) {
            if (p.page == 16) {
                for (uint32_t page = 0; page < 16; ++page) fillPage(stripe, p.strip, page, p.value);
            } else {
                fillPage(stripe, p.strip, p.page, p.value);
            }
        }
        Zov zov(5);
        ReferenceStripes ref(3);
        ASSERT_EQ(zov.compressZov(stripe), 0);
        ref.add(stripe);
        EXPECT_EQ(ref.totals.pagesCounted, c.pagesCounted);
        EXPECT_DOUBLE_EQ(zov.zeroFraction(), 1.0 - double(c.pagesCounted) / 81.0);
        expectSameTotals(zov, ref);
        if (c.pagesCounted == 0) {
            EXPECT_EQ(zov.bytesOut(), 0u);
            EXPECT_EQ(zov.ratio(), DBL_MAX);
            EXPECT_EQ(zov.zeroFraction(), 1.0);
        }
    }
}

// An all-zero stripe still draws 3 + 264 x 5 = 1323 bytes; the next stripe's page choice and
// trailers show where the sequence stands, and the totals keep growing.
TEST(ZovTest, ZeroStripeDrawsForEveryPageAndTotalsAccumulate) {
    Zov zov(5);
    ASSERT_EQ(zov.compressZov(zeroStripe(3)), 0);
    EXPECT_EQ(zov.zeroFraction(), 1.0);

    ReferenceStripes ref(3);
    ref.skipDraws(1323);
    ref.totals.pagesTotal = 81;
    for (uint32_t seed : {11u, 12u}) {
        const std::vector<uint8_t> stripe = distinctPagesStripe(3, seed);
        ASSERT_EQ(zov.compressZov(stripe), 0);
        ref.add(stripe);
        expectSameTotals(zov, ref);
    }
}

TEST(ZovTest, WrongLengthIsReportedOnStderrWithoutDrawing) {
    const struct {
        uint32_t width;
        size_t length;
        const char* expected;
    } cases[] = {
        {5, 2 * kStrip, "786432"},
        {5, 3 * kStrip + 1, "786432"},
        {16, 0, "3670016"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.width);
        Zov zov(c.width);
        testing::internal::CaptureStderr();
        testing::internal::CaptureStdout();
        const int32_t result = zov.compressZov(std::vector<uint8_t>(c.length, 1));
        const std::string out = testing::internal::GetCapturedStdout();
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(result, -1);
        EXPECT_EQ(out, "");
        EXPECT_EQ(err, std::string("[orvane::tessaline::kbx::tarnel::compressZov] Error: Input "
                                   "stripe vector does not have length ") +
                            c.expected + "\n");
        EXPECT_EQ(zov.bytesOut(), 0u);
        EXPECT_EQ(zov.zeroFraction(), 0.0);
        if (c.width == 5) {
            // Nothing was drawn: the next stripe starts the sequence afresh.
            ReferenceStripes ref(3);
            const std::vector<uint8_t> stripe = distinctPagesStripe(3, 5);
            ASSERT_EQ(zov.compressZov(stripe), 0);
            ref.add(stripe);
            expectSameTotals(zov, ref);
        }
    }
}

// Several threads share one model: no update or draw is lost. Each stripe has one zero strip, so
// the page counts are exact whatever the interleaving; the stripe after the threads shows that
// exactly 1323 bytes were drawn per stripe.
TEST(ZovTest, ThreadsShareOneModel) {
    constexpr int kThreads = 4;
    constexpr int kStripesPerThread = 3;
    Zov zov(5);
    std::vector<std::thread> threads;
    std::vector<int> failures(kThreads, 0);
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            std::vector<uint8_t> stripe = distinctPagesStripe(3, 100 + t);
            std::memset(&stripe[2 * kStrip], 0, kStrip);
            for (int s = 0; s < kStripesPerThread; ++s)
                if (zov.compressZov(stripe) != 0) ++failures[t];
        });
    for (auto& th : threads) th.join();
    for (int f : failures) EXPECT_EQ(f, 0);

    constexpr uint64_t kStripes = kThreads * kStripesPerThread;
    // Per stripe: two data strips, P and Q counted (16 + 16 + 16 + 17 of 81 pages).
    EXPECT_DOUBLE_EQ(zov.zeroFraction(), 1.0 - 65.0 / 81.0);
    const double inBytes = double(kStripes * (3 * kStrip + 17 * kPage));
    EXPECT_NEAR(zov.ratio() * double(zov.bytesOut()), inBytes, 1e-6 * inBytes);

    const uint64_t before = zov.bytesOut();
    ReferenceStripes ref(3);
    ref.skipDraws(kStripes * 1323);
    const std::vector<uint8_t> stripe = distinctPagesStripe(3, 77);
    ASSERT_EQ(zov.compressZov(stripe), 0);
    ref.add(stripe);
    EXPECT_EQ(zov.bytesOut() - before, ref.totals.out);
}

}  // namespace
