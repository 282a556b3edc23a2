// Tests of the card and node model: card blocks and their trailers, the parity card's position,
// node charging, the lowest node ratio, errors and sharing one model between threads.
#include "model/Tarnel.h"

#include <cstring>
#include <numeric>
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

constexpr uint32_t kCard = KUV_CARD_SIZE;
constexpr uint32_t kBlock = 4224;

// An independent model of the card blocks, written straight from their layout: its own
// generator, one compressor per stripe, and the scaled size of every card (data cards first,
// then the parity card).
class ReferenceCards {
public:
    ReferenceCards(uint32_t dataCards, bool parity) : dataCards(dataCards), parity(parity) {}

    void skipDraws(uint64_t n) { rng.discard(n); }

    // The 4224-byte block that the next 48 draws turn data card `card` into.
    std::vector<uint8_t> cardBlock(const uint8_t* card) {
        std::vector<uint8_t> block(card, card + kCard);
        block.resize(kBlock, 0);
        for (int s = 0; s < 8; ++s) {
            uint8_t r[6];
            for (uint8_t& x : r) x = uint8_t(dist(rng));
            const uint8_t trailer[8] = {0xFF, 0xFF, r[4], r[5], r[0], r[1], r[2], r[3]};
            std::memcpy(&block[4160 + 8 * s], trailer, 8);
        }
        return block;
    }

    std::vector<uint32_t> sizes(const std::vector<uint8_t>& stripe) {
        std::vector<std::vector<uint8_t>> blocks;
        std::vector<uint8_t> parityBlock(kBlock, 0);
        for (uint32_t c = 0; c < dataCards; ++c) {
            blocks.push_back(cardBlock(&stripe[c * kCard]));
            for (uint32_t j = 0; j < kBlock; ++j) parityBlock[j] ^= blocks.back()[j];
        }
        if (parity) blocks.push_back(parityBlock);
        CodeBook books(cardLitLenLengths, cardDistLengths);
        Compressor compressor(kBlock, 2, 3, 5, 1, &books);
        std::vector<uint32_t> result;
        for (const auto& block : blocks) {
            uint32_t book;
            const uint64_t n = compressor.compress(block.data(), &book).size();
            result.push_back(uint32_t((32 * n + 32) / 33));
        }
        return result;
    }

private:
    uint32_t dataCards;
    bool parity;
    boost::random::mt19937 rng{5489u};
    boost::random::uniform_int_distribution<uint32_t> dist{0, 255};
};

// Cards of varied content: card c holds (c + 1) x 700 pseudo-random bytes, then zeros.
std::vector<uint8_t> variedStripe(uint32_t dataCards, uint32_t seed) {
    std::vector<uint8_t> stripe(size_t(dataCards) * kCard, 0);
    boost::random::mt19937 gen(seed);
    for (uint32_t c = 0; c < dataCards; ++c)
        for (uint32_t j = 0; j < std::min<uint32_t>((c + 1) * 700, kCard); ++j)
            stripe[c * kCard + j] = uint8_t(gen() >> 24);
    return stripe;
}

std::vector<uint64_t> nodesIn(const Tarnel& t) {
    std::vector<uint64_t> v;
    t.nodeBytesIn(v);
    return v;
}

std::vector<uint64_t> nodesOut(const Tarnel& t) {
    std::vector<uint64_t> v;
    t.nodeBytesOut(v);
    return v;
}

TEST(TarnelTest, ConstructorChecksCardsParityAndNodesInOrder) {
    const char* dataError =
        "[orvane::tessaline::kbx::tarnel::Tarnel()] Error: Number of data cards must be at least 1";
    const char* parityError =
        "[orvane::tessaline::kbx::tarnel::Tarnel()] Error: Number of parity cards can be {0,1}";
    const char* nodesError = "[orvane::tessaline::kbx::tarnel::Tarnel()] Error: Number of nodes "
                             "per cards can be either {1,2}";
    const struct {
        uint32_t data, parity, nodes;
        const char* error;
    } cases[] = {
        {0, 0, 1, dataError},   {1, 2, 1, parityError}, {1, 0, 3, nodesError},
        {0, 2, 3, dataError},   {1, 2, 0, parityError}, {1, 0, 0, nodesError},
        {1, 0, 1, nullptr},     {16, 1, 2, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.data << "," << c.parity << "," << c.nodes);
        if (!c.error) {
            EXPECT_NO_THROW(Tarnel(c.data, c.parity, c.nodes));
            continue;
        }
        try {
            Tarnel t(c.data, c.parity, c.nodes);
            ADD_FAILURE() << "no exception";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), c.error);
        }
    }
}

TEST(TarnelTest, FreshModelHasNothingCharged) {
    Tarnel t(2, 1, 2);
    EXPECT_EQ(t.minNodeRatio(), 1e30);
    std::vector<uint64_t> v(9, 7);
    t.nodeBytesIn(v);
    EXPECT_EQ(v, std::vector<uint64_t>(6, 0));
    v.assign(2, 7);
    t.nodeBytesOut(v);
    EXPECT_EQ(v, std::vector<uint64_t>(6, 0));
}

TEST(TarnelTest, ParityPositionFollowsBitReversedGroupsOfFour) {
    const struct {
        uint32_t cards;
        uint32_t firstStripe, step;
        std::vector<uint32_t> positions;
    } cases[] = {
        {2, 0, 1, {0, 0, 0, 0, 1, 1, 1, 1, 0, 0, 0, 0, 1, 1, 1, 1}},
        {5, 0, 4, {0, 2, 1, 3, 0, 3, 1, 4, 0, 2, 1, 4, 0, 3, 2, 4}},
        {17, 28, 1, {14, 14, 15, 15}},
        {1, 0, 0x11111111, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        for (size_t i = 0; i < c.positions.size(); ++i) {
            const uint32_t stripe = c.firstStripe + uint32_t(i) * c.step;
            EXPECT_EQ(Tarnel::parityCard(stripe, c.cards), c.positions[i])
                << c.cards << " cards, stripe " << stripe;
        }
    }
}

// The all-zero card block is the smallest stored card: book 1 at 276 bits, every lane sent
// whole by the header and one zero word per lane in the merge, 48 bytes in all.
TEST(TarnelTest, AllZeroCardBlockCompressesToKnownBytes) {
    std::vector<uint8_t> expected;
    for (uint8_t pair : {0, 1, 2, 3}) {
        static const uint8_t words[4][2] = {{0x48, 0xD0}, {0xF1, 0xA1}, {0xE3, 0x43}, {0xC6, 0x87}};
        for (int i = 0; i < 4; ++i) expected.insert(expected.end(), words[pair], words[pair] + 2);
    }
    for (uint8_t b : {0x8C, 0x04, 0x50, 0x00}) expected.push_back(b);
    expected.resize(48, 0);

    CodeBook books(cardLitLenLengths, cardDistLengths);
    Compressor compressor(kBlock, 2, 3, 5, 1, &books);
    const std::vector<uint8_t> block(kBlock, 0);
    uint32_t book = 99;
    EXPECT_EQ(compressor.compress(block.data(), &book), expected);
    EXPECT_EQ(book, 1u);
}

// Data card 0 ends in a copy of the trailers its 48 draws must give it (sector 0: FF FF 20 F8
// D0 22 E7 D5 from the draws 208 34 231 213 32 248), so its block compresses to a long match only
// if trailers are laid out and drawn exactly so. Three data cards, no parity: node c takes card
// c, and 144 bytes are drawn, which the next stripe shows.
TEST(TarnelTest, CardsWithoutParityUseTrailerDrawsInOrder) {
    std::vector<uint8_t> stripe = variedStripe(3, 3);
    {
        ReferenceCards peek(1, false);
        std::memset(&stripe[0], 0, kCard);
        const std::vector<uint8_t> block = peek.cardBlock(&stripe[0]);
        const uint8_t sector0[8] = {0xFF, 0xFF, 0x20, 0xF8, 0xD0, 0x22, 0xE7, 0xD5};
        EXPECT_EQ(0, std::memcmp(&block[4160], sector0, 8));
        std::memcpy(&stripe[kCard - 64], &block[4160], 64);
    }
    Tarnel t(3, 0, 1);
    ReferenceCards ref(3, false);
    uint32_t total = 12345;
    ASSERT_EQ(t.compressKuv(0, stripe, &total), 0);
    const std::vector<uint32_t> sizes = ref.sizes(stripe);
    EXPECT_EQ(total, sizes[0] + sizes[1] + sizes[2]);
    EXPECT_EQ(nodesOut(t), (std::vector<uint64_t>{sizes[0], sizes[1], sizes[2]}));
    EXPECT_EQ(nodesIn(t), (std::vector<uint64_t>{4096, 4096, 4096}));

    const std::vector<uint8_t> next = variedStripe(3, 4);
    ASSERT_EQ(t.compressKuv(1, next, &total), 0);
    const std::vector<uint32_t> nextSizes = ref.sizes(next);
    EXPECT_EQ(total, nextSizes[0] + nextSizes[1] + nextSizes[2]);
    EXPECT_EQ(nodesOut(t)[2], uint64_t(sizes[2]) + nextSizes[2]);

    // A caller that does not want the total passes no place for it; the stripe still counts.
    ASSERT_EQ(t.compressKuv(2, next, nullptr), 0);
    EXPECT_EQ(nodesIn(t), (std::vector<uint64_t>{3 * 4096, 3 * 4096, 3 * 4096}));
}

// The parity card is the exclusive-or of the data cards' blocks, trailers included, and takes
// its position's node; the data cards fill the positions around it.
TEST(TarnelTest, ParityCardIsChargedAtItsRotatingPosition) {
    // Two equal data cards: the parity block is zero apart from the trailers' exclusive-or (the
    // 0xFF markers cancel), so it is far smaller than either data card.
    std::vector<uint8_t> stripe = variedStripe(2, 9);
    std::memcpy(&stripe[kCard], &stripe[0], kCard);
    Tarnel t(2, 1, 1);
    ReferenceCards ref(2, true);
    uint32_t total = 0;

    ASSERT_EQ(t.compressKuv(0, stripe, &total), 0);  // parity at position 0
    const std::vector<uint32_t> a = ref.sizes(stripe);
    EXPECT_LT(a[2] + 200, a[0]);
    EXPECT_EQ(total, a[0] + a[1] + a[2]);
    EXPECT_EQ(nodesOut(t), (std::vector<uint64_t>{a[2], a[0], a[1]}));

    ASSERT_EQ(t.compressKuv(4, stripe, &total), 0);  // parity at position 1
    const std::vector<uint32_t> b = ref.sizes(stripe);
    EXPECT_EQ(nodesOut(t), (std::vector<uint64_t>{uint64_t(a[2]) + b[0], uint64_t(a[0]) + b[2],
                                                  uint64_t(a[1]) + b[1]}));
    EXPECT_EQ(nodesIn(t), (std::vector<uint64_t>{8192, 8192, 8192}));
}

// With two nodes per card, bit 1 of the stripe number picks each card's node; nodes never
// charged do not take part in the lowest ratio.
TEST(TarnelTest, TwoNodesPerCardSplitStripesByBitOne) {
    const std::vector<uint8_t> stripe = variedStripe(1, 21);
    Tarnel t(1, 1, 2);
    ReferenceCards ref(1, true);
    uint32_t total = 0;
    double lowest = 1e30;
    auto charge = [&](uint64_t stripeNumber) {
        EXPECT_EQ(t.compressKuv(stripeNumber, stripe, &total), 0);
        const std::vector<uint32_t> s = ref.sizes(stripe);
        EXPECT_EQ(s[0], s[1]);  // one data card: the parity block is that card's block
        EXPECT_EQ(total, 2 * s[0]);
        return s[0];
    };
    const uint64_t s0 = charge(0);  // parity at 0, data at 1, first nodes: 0 and 2
    EXPECT_EQ(nodesIn(t), (std::vector<uint64_t>{4096, 0, 4096, 0}));
    EXPECT_EQ(t.minNodeRatio(), 4096.0 / double(s0));
    lowest = 4096.0 / double(s0);

    const uint64_t s4 = charge(4);  // parity at 1, data at 0, first nodes again
    EXPECT_EQ(nodesIn(t), (std::vector<uint64_t>{8192, 0, 8192, 0}));
    EXPECT_EQ(nodesOut(t), (std::vector<uint64_t>{s0 + s4, 0, s0 + s4, 0}));
    lowest = 8192.0 / double(s0 + s4);
    EXPECT_EQ(t.minNodeRatio(), lowest);

    const uint64_t s2 = charge(2);  // parity at 0, second nodes: 1 and 3
    EXPECT_EQ(nodesIn(t), (std::vector<uint64_t>{8192, 4096, 8192, 4096}));
    EXPECT_EQ(nodesOut(t), (std::vector<uint64_t>{s0 + s4, s2, s0 + s4, s2}));
    EXPECT_EQ(t.minNodeRatio(), std::min(lowest, 4096.0 / double(s2)));
}

TEST(TarnelTest, WrongLengthIsReportedOnStderrWithoutDrawing) {
    Tarnel t(3, 1, 1);
    uint32_t total = 12345;
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    const int32_t result = t.compressKuv(0, std::vector<uint8_t>(2 * kCard, 1), &total);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, -1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "[orvane::tessaline::kbx::tarnel::compressKuv] Error: Input stripe vector does "
                   "not have length 12288\n");
    EXPECT_EQ(total, 12345u);
    EXPECT_EQ(nodesIn(t), std::vector<uint64_t>(4, 0));
    EXPECT_EQ(t.minNodeRatio(), 1e30);

    // Nothing was drawn: the next stripe starts the sequence afresh.
    ReferenceCards ref(3, true);
    const std::vector<uint8_t> stripe = variedStripe(3, 1);
    ASSERT_EQ(t.compressKuv(0, stripe, &total), 0);
    const std::vector<uint32_t> s = ref.sizes(stripe);
    EXPECT_EQ(total, s[0] + s[1] + s[2] + s[3]);
}

// 2^20 cards make a stripe of exactly 2^32 bytes: the expected length must not wrap to 0 and let
// an empty stripe through.
TEST(TarnelTest, ExpectedLengthDoesNotWrap) {
    Tarnel t(1u << 20, 0, 1);
    uint32_t total = 7;
    testing::internal::CaptureStderr();
    const int32_t result = t.compressKuv(0, std::vector<uint8_t>(), &total);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[orvane::tessaline::kbx::tarnel::compressKuv] Error: Input stripe vector does not "
              "have length 4294967296\n");
    EXPECT_EQ(result, -1);
    EXPECT_EQ(total, 7u);
}

// Several threads share one model: no charge or draw is lost. The logical bytes follow from the
// stripe numbers alone, the physical bytes add up to the totals the calls returned, and the
// stripe after the threads shows that exactly 4 x 48 bytes were drawn per stripe.
TEST(TarnelTest, ThreadsShareOneModel) {
    constexpr uint32_t kThreads = 4;
    constexpr uint32_t kStripesPerThread = 4;
    Tarnel t(4, 1, 2);
    std::vector<uint64_t> returned(kThreads, 0);
    std::vector<int> failures(kThreads, 0);
    std::vector<std::thread> threads;
    for (uint32_t th = 0; th < kThreads; ++th)
        threads.emplace_back([&, th] {
            const std::vector<uint8_t> stripe = variedStripe(4, th);
            for (uint32_t s = 0; s < kStripesPerThread; ++s) {
                uint32_t total = 0;
                if (t.compressKuv(th * kStripesPerThread + s, stripe, &total) != 0) ++failures[th];
                returned[th] += total;
            }
        });
    for (auto& th : threads) th.join();
    for (int f : failures) EXPECT_EQ(f, 0);

    std::vector<uint64_t> expectedIn(10, 0);
    for (uint32_t stripe = 0; stripe < kThreads * kStripesPerThread; ++stripe)
        for (uint32_t position = 0; position < 5; ++position)
            expectedIn[position * 2 + ((stripe >> 1) & 1)] += 4096;
    EXPECT_EQ(nodesIn(t), expectedIn);
    const std::vector<uint64_t> out = nodesOut(t);
    EXPECT_EQ(std::accumulate(out.begin(), out.end(), uint64_t(0)),
              std::accumulate(returned.begin(), returned.end(), uint64_t(0)));

    ReferenceCards ref(4, true);
    ref.skipDraws(kThreads * kStripesPerThread * 4 * 48);
    const std::vector<uint8_t> stripe = variedStripe(4, 99);
    uint32_t total = 0;
    ASSERT_EQ(t.compressKuv(16, stripe, &total), 0);
    const std::vector<uint32_t> s = ref.sizes(stripe);
    EXPECT_EQ(total, std::accumulate(s.begin(), s.end(), 0u));
}

}  // namespace
