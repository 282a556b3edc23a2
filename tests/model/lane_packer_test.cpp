#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "model/Compressor.h"
#include "model/Encoder.h"
#include "model/LanePacker.h"
#include "reference_matcher.h"
#include "sample_data.h"

using namespace orvane::tessaline::kbx::tarnel;
using namespace vantrel_model_samples;

namespace {

// A plain bit-at-a-time packer written from the packing rules, to check the word-wise one:
// lane bits as single bits, the merge's field states 0..3 counted record by record.
struct ReferenceResult {
    std::vector<uint8_t> bytes;
    uint32_t laneBits[4] = {};
    uint32_t mergeWords[4] = {};
};

ReferenceResult referencePack(const std::vector<EncodedSymbol>& records, uint32_t minLaneWords) {
    ReferenceResult result;
    std::vector<const EncodedSymbol*> laneRecords[4];
    std::vector<bool> laneBits[4];
    auto put = [](std::vector<bool>& bits, uint32_t value, uint32_t n) {
        for (uint32_t i = n; i-- > 0;) bits.push_back((value >> i) & 1);
    };
    // Lanes dealt with busy counters, cycle by cycle (the records' own lane fields are not read).
    std::vector<uint32_t> laneOf(records.size());
    uint32_t busy[4] = {};
    for (std::size_t next = 0; next < records.size();) {
        for (uint32_t l = 0; l < 4; ++l) {
            if (busy[l] > 0) {
                --busy[l];
            } else if (next < records.size()) {
                laneOf[next] = l;
                busy[l] = records[next].isLiteral ? 0 : 3;
                ++next;
            }
        }
    }
    for (std::size_t i = 0; i < records.size(); ++i) {
        const EncodedSymbol& r = records[i];
        const uint32_t lane = laneOf[i];
        EXPECT_EQ(r.lane, lane) << "record " << i;
        laneRecords[lane].push_back(&r);
        put(laneBits[lane], r.code, r.codeLength);
        put(laneBits[lane], r.distanceCode, r.distanceCodeLength);
        put(laneBits[lane], r.lengthExtra, r.lengthExtraBits);
        put(laneBits[lane], r.distanceExtra, r.distanceExtraBits);
    }
    std::size_t padded[4];
    for (int l = 0; l < 4; ++l) {
        result.laneBits[l] = static_cast<uint32_t>(laneBits[l].size());
        const std::size_t words = std::max<std::size_t>((laneBits[l].size() + 15) / 16, minLaneWords);
        padded[l] = 16 * words;
        laneBits[l].resize(padded[l], false);
    }
    std::vector<bool> merged;
    std::size_t readPos[4] = {};
    auto send = [&](int l) {
        for (int i = 0; i < 16; ++i, ++readPos[l])
            merged.push_back(readPos[l] < padded[l] ? bool(laneBits[l][readPos[l]]) : false);
    };
    for (uint32_t r = 0; r < minLaneWords; ++r)
        for (int l = 0; l < 4; ++l) send(l);

    std::size_t index[4] = {};
    uint32_t acc[4] = {}, state[4] = {};
    bool ready[4] = {}, done[4] = {};
    auto allDone = [&] { return done[0] && done[1] && done[2] && done[3]; };
    for (int cycle = 0; !allDone(); ++cycle) {
        if (cycle > 1000000) {
            ADD_FAILURE() << "merge does not end";
            break;
        }
        for (int l = 0; l < 4; ++l) {
            if (index[l] < laneRecords[l].size()) {
                const EncodedSymbol& rec = *laneRecords[l][index[l]];
                switch (state[l]) {
                    case 0:
                        acc[l] += rec.codeLength;
                        if (rec.isLiteral) ++index[l]; else state[l] = 1;
                        break;
                    case 1: acc[l] += rec.distanceCodeLength; state[l] = 2; break;
                    case 2: acc[l] += rec.lengthExtraBits; state[l] = 3; break;
                    default: acc[l] += rec.distanceExtraBits; state[l] = 0; ++index[l]; break;
                }
                ready[l] = acc[l] >= 16;
            }
            if (ready[l] && !allDone()) {
                send(l);
                ++result.mergeWords[l];
                acc[l] -= 16;
                if (readPos[l] >= padded[l]) done[l] = true;
                ready[l] = false;
            }
        }
        // Lanes with fewer than 16 bits of fields never send: stop once nothing can send.
        bool canSend = false;
        for (int l = 0; l < 4; ++l) canSend |= ready[l] || index[l] < laneRecords[l].size();
        if (!canSend) break;
    }
    while (merged.size() % 128 != 0) merged.push_back(false);
    for (std::size_t i = 0; i < merged.size(); i += 8) {
        uint8_t byte = 0;
        for (int k = 0; k < 8; ++k) byte = static_cast<uint8_t>(byte << 1 | merged[i + k]);
        result.bytes.push_back(byte);
    }
    return result;
}

struct Model {
    Model(const uint32_t* litLen, const uint32_t* dist, uint32_t blockSize)
        : books(litLen, dist), compressor(blockSize, 2, 3, 5, 1, &books), encoder(blockSize, &books) {}

    // Records of a block as the packer sees them: coded under the chosen book, lanes dealt.
    std::vector<EncodedSymbol> records(const std::vector<uint8_t>& block, uint32_t* book) {
        const std::vector<Token> tokens = compressor.matchFull(block.data());
        books.selectBook(tokens, book);
        std::vector<EncodedSymbol> out = encoder.encode(tokens, *book, *book);
        LanePacker::assignLanes(out);
        return out;
    }

    CodeBook books;
    Compressor compressor;
    Encoder encoder;
};

}  // namespace

TEST(LanePacker, AllZeroPageBlock) {
    Model m(pageLitLenLengths, pageDistLengths, 16896);
    const std::vector<uint8_t> block(16896, 0);
    uint32_t book = 99;
    const std::vector<Token> tokens = m.compressor.matchFull(block.data());
    EXPECT_EQ(m.books.selectBook(tokens, &book), 880u);
    EXPECT_EQ(book, 1u);

    const ReferenceResult ref = referencePack(m.records(block, &book), 5);
    EXPECT_EQ(std::vector<uint32_t>(ref.laneBits, ref.laneBits + 4),
              (std::vector<uint32_t>{225, 225, 218, 212}));
    EXPECT_EQ(std::vector<uint32_t>(ref.mergeWords, ref.mergeWords + 4),
              (std::vector<uint32_t>{10, 10, 9, 9}));

    book = 99;
    const std::vector<uint8_t> out = m.compressor.compress(block.data(), &book);
    EXPECT_EQ(book, 1u);
    EXPECT_EQ(out.size(), 128u);
    EXPECT_EQ(out, ref.bytes);
}

TEST(LanePacker, AllZeroCardBlockByteForByte) {
    Model m(cardLitLenLengths, cardDistLengths, 4224);
    const std::vector<uint8_t> block(4224, 0);
    uint32_t book = 99;
    EXPECT_EQ(m.books.selectBook(m.compressor.matchFull(block.data()), &book), 276u);
    const std::vector<uint8_t> out = m.compressor.compress(block.data(), &book);
    EXPECT_EQ(book, 1u);
    std::vector<uint8_t> expected;
    for (uint16_t word : {0x48D0, 0xF1A1, 0xE343, 0xC687})
        for (int lane = 0; lane < 4; ++lane) {
            expected.push_back(static_cast<uint8_t>(word >> 8));
            expected.push_back(static_cast<uint8_t>(word));
        }
    for (uint8_t b : {0x8C, 0x04, 0x50, 0x00}) expected.push_back(b);
    expected.resize(48, 0);
    EXPECT_EQ(out, expected);

    const ReferenceResult ref = referencePack(m.records(block, &book), 5);
    EXPECT_EQ(std::vector<uint32_t>(ref.laneBits, ref.laneBits + 4),
              (std::vector<uint32_t>{78, 70, 64, 64}));
    EXPECT_EQ(std::vector<uint32_t>(ref.mergeWords, ref.mergeWords + 4),
              (std::vector<uint32_t>{1, 1, 1, 1}));
}

TEST(LanePacker, DealsLiteralsOnePerCycleAndMatchesOnePerFourCycles) {
    auto lanesOf = [](const std::vector<bool>& literal) {
        std::vector<EncodedSymbol> records(literal.size(), EncodedSymbol{});
        for (std::size_t i = 0; i < literal.size(); ++i) records[i].isLiteral = literal[i];
        LanePacker::assignLanes(records);
        std::vector<uint32_t> lanes;
        for (const EncodedSymbol& r : records) lanes.push_back(r.lane);
        return lanes;
    };
    EXPECT_EQ(lanesOf({1, 1, 1, 1, 1, 1}), (std::vector<uint32_t>{0, 1, 2, 3, 0, 1}));
    // Lane 1 holds its match for cycles 0..3 and takes its next record after lane 0 in cycle 4.
    EXPECT_EQ(lanesOf({1, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}),
              (std::vector<uint32_t>{0, 1, 2, 3, 0, 2, 3, 0, 2, 3, 0, 2, 3}));
    EXPECT_EQ(lanesOf({1, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}).back(), 1u);
    // Four matches fill the lanes; the next record waits four cycles for lane 0.
    EXPECT_EQ(lanesOf({0, 0, 0, 0, 1, 0}), (std::vector<uint32_t>{0, 1, 2, 3, 0, 1}));
}

// Word-wise packing equals the bit-at-a-time packing, and compress() equals packing the
// encoder's records, over varied blocks of both sizes and both book sets.
TEST(LanePacker, MatchesBitwisePackingOnVariedData) {
    struct Set {
        const uint32_t* litLen;
        const uint32_t* dist;
        uint32_t blockSize;
    } sets[] = {{pageLitLenLengths, pageDistLengths, 16896},
                {cardLitLenLengths, cardDistLengths, 4224}};
    for (const Set& set : sets) {
        Model m(set.litLen, set.dist, set.blockSize);
        LanePacker packer(5, set.blockSize);
        std::vector<std::vector<uint8_t>> blocks = {
            textBlock(set.blockSize, 11), binaryBlock(set.blockSize, 12),
            randomBlock(set.blockSize, 13), std::vector<uint8_t>(set.blockSize, 0)};
        std::vector<uint8_t> mixed = randomBlock(set.blockSize, 14);
        for (std::size_t i = 0; i < set.blockSize / 2; ++i) mixed[i] = static_cast<uint8_t>(i % 7);
        blocks.push_back(mixed);
        for (const std::vector<uint8_t>& block : blocks) {
            uint32_t book = 99, refBook = 99;
            const std::vector<EncodedSymbol> records = m.records(block, &refBook);
            const std::vector<uint8_t> out = m.compressor.compress(block.data(), &book);
            EXPECT_EQ(book, refBook);
            EXPECT_EQ(out, referencePack(records, 5).bytes);
            EXPECT_EQ(out, packer.pack(records));
            EXPECT_EQ(out.size() % 16, 0u);
            EXPECT_GE(out.size(), 48u);
        }
    }
}

TEST(LanePacker, RandomCardBlockGrowsSlightly) {
    Model m(cardLitLenLengths, cardDistLengths, 4224);
    uint32_t book = 0;
    for (uint64_t seed = 20; seed < 24; ++seed) {
        const std::vector<uint8_t> block = randomBlock(4224, seed);
        const std::size_t size = m.compressor.compress(block.data(), &book).size();
        EXPECT_GT(size, 4224u);
        EXPECT_LT(size, 4300u);
    }
}

// Lanes whose fields add up to fewer than 16 bits can never send a merge word; the merge ends
// once no lane can send, leaving the header and the fill.
TEST(LanePacker, MergeEndsWhenLanesCanNeverSend) {
    Model m(pageLitLenLengths, pageDistLengths, 4);
    const std::vector<uint8_t> block(4, 0);
    uint32_t book = 99;
    const std::vector<uint8_t> out = m.compressor.compress(block.data(), &book);
    // Four zero literals and the end symbol: lane 0 gets a literal and the end, lanes 1..3 one
    // literal each; book 1 (4 + 4 + 4 + 4 + 6 bits) is cheapest.
    ASSERT_EQ(book, 1u);
    const uint32_t zero = m.books.litLenCode(1, 0), zeroLen = m.books.litLenLength(1, 0);
    const uint32_t end = m.books.litLenCode(1, 256), endLen = m.books.litLenLength(1, 256);
    ASSERT_EQ(zeroLen + endLen, 10u);
    const uint16_t lane0 = static_cast<uint16_t>((zero << (16 - zeroLen)) | (end << (16 - zeroLen - endLen)));
    const uint16_t lane = static_cast<uint16_t>(zero << (16 - zeroLen));
    std::vector<uint8_t> expected(48, 0);
    expected[0] = static_cast<uint8_t>(lane0 >> 8);
    expected[1] = static_cast<uint8_t>(lane0);
    for (int l = 1; l < 4; ++l) {
        expected[2 * l] = static_cast<uint8_t>(lane >> 8);
        expected[2 * l + 1] = static_cast<uint8_t>(lane);
    }
    EXPECT_EQ(out, expected);
}

// Random record streams of every size up to a few hundred records, with field lengths over
// their whole ranges, pack as the bit-at-a-time packer does: this reaches merges that end in
// the middle of a cycle, done lanes that keep sending zeros and lanes that never send.
TEST(LanePacker, RandomRecordStreamsMatchBitwisePacking) {
    SampleRandom rng(77);
    // Mostly the 5 header cycles every user asks for; some streams with other header lengths,
    // down to none.
    LanePacker packers[] = {LanePacker(5, 4224), LanePacker(0, 4224), LanePacker(1, 4224),
                            LanePacker(2, 4224), LanePacker(9, 4224)};
    const uint32_t headerCycles[] = {5, 0, 1, 2, 9};
    auto field = [&](uint32_t maxBits, uint32_t* value) {
        const uint32_t bits = static_cast<uint32_t>(rng.next() % (maxBits + 1));
        *value = static_cast<uint32_t>(rng.next()) & ((1u << bits) - 1);
        return bits;
    };
    for (int stream = 0; stream < 300; ++stream) {
        const std::size_t count = 1 + rng.next() % (stream < 100 ? 12 : 400);
        const uint64_t matchShare = rng.next() % 5;  // 0: literals only ... 4: mostly matches
        std::vector<EncodedSymbol> records(count, EncodedSymbol{});
        for (EncodedSymbol& r : records) {
            r.isLiteral = rng.next() % 4 >= matchShare;
            r.codeLength = 1 + field(14, &r.code);
            r.code &= (1u << r.codeLength) - 1;
            if (!r.isLiteral) {
                r.distanceCodeLength = 1 + field(14, &r.distanceCode);
                r.distanceCode &= (1u << r.distanceCodeLength) - 1;
                r.lengthExtraBits = field(5, &r.lengthExtra);
                r.distanceExtraBits = field(13, &r.distanceExtra);
            }
        }
        std::vector<EncodedSymbol> dealt = records;
        LanePacker::assignLanes(dealt);
        const std::size_t p = stream % 3 == 0 ? 1 + (stream / 3) % 4 : 0;
        ASSERT_EQ(packers[p].pack(records), referencePack(dealt, headerCycles[p]).bytes)
            << "stream " << stream << ", " << headerCycles[p] << " header cycles";
    }
}

// The whole block compressor against the plain step-by-step matcher and the bit-at-a-time
// packer: the same book and the same bytes, for both book sets and every kind of data.
TEST(LanePacker, CompressMatchesPlainMatcherAndBitwisePacking) {
    struct Set {
        const uint32_t* litLen;
        const uint32_t* dist;
        uint32_t blockSize;
    } sets[] = {{pageLitLenLengths, pageDistLengths, 16896},
                {cardLitLenLengths, cardDistLengths, 4224}};
    uint64_t seed = 300;
    for (const Set& set : sets) {
        Model m(set.litLen, set.dist, set.blockSize);
        std::vector<std::vector<uint8_t>> blocks = matcherStressBlocks(set.blockSize, ++seed);
        blocks.push_back(textBlock(set.blockSize, ++seed));
        blocks.push_back(binaryBlock(set.blockSize, ++seed));
        for (std::size_t b = 0; b < blocks.size(); ++b) {
            const std::vector<Token> tokens =
                vantrel_model_reference::referenceMatch(blocks[b].data(), set.blockSize);
            uint32_t refBook = 99, book = 99;
            m.books.selectBook(tokens, &refBook);
            std::vector<EncodedSymbol> records = m.encoder.encode(tokens, refBook, refBook);
            LanePacker::assignLanes(records);
            const std::vector<uint8_t> out = m.compressor.compress(blocks[b].data(), &book);
            EXPECT_EQ(book, refBook) << "block " << b;
            ASSERT_EQ(out, referencePack(records, 5).bytes) << "block " << b;
        }
    }
}
