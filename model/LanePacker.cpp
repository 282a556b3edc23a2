#include "model/LanePacker.h"

#include <algorithm>
#include <cstddef>

#include "model/BitOps.h"

namespace orvane::tessaline::kbx::tarnel {

namespace {

// A record has at most 48 bits (three words) and four fields (cycles).
constexpr std::size_t kMaxWordsPerRecord = 3;
constexpr std::size_t kMaxCyclesPerRecord = 4;

}  // namespace

LanePacker::LanePacker(uint32_t minLaneWords, uint32_t blockSize)
    : minLaneWords(minLaneWords), maxRecords(std::size_t(blockSize) + 1) {
    // Room for one lane taking every record, its zero words past the padded length and the
    // word that an incomplete store writes ahead.
    const std::size_t words = kMaxWordsPerRecord * maxRecords + minLaneWords + 3;
    const std::size_t mapWords = kMaxCyclesPerRecord * maxRecords / 64 + 2;
    for (Lane& lane : lanes) {
        lane.words.reset(new uint16_t[words]);
        lane.sendMap.reset(new uint64_t[mapWords]);
    }
}

void LanePacker::assignLanes(std::vector<EncodedSymbol>& records) {
    std::size_t i = 0;
    deal(records.size(), [&](uint32_t lane) {
        records[i].lane = lane;
        return records[i++].isLiteral != 0;
    });
}

void LanePacker::begin() {
    for (Lane& lane : lanes) {
        lane.wordCount = 0;
        lane.pending = 0;
        lane.pendingBits = 0;
        lane.counted = 0;
        lane.cycle = 0;
        lane.sendBits = 0;
    }
}

uint32_t LanePacker::cycleOfSend(const Lane& lane, uint32_t mapWords, uint32_t n) {
    for (uint32_t w = 0; w < mapWords; ++w) {
        uint64_t m = lane.sendMap[w];
        const uint32_t inWord = bits::popCount(m);
        if (n > inWord) {
            n -= inWord;
            continue;
        }
        while (--n > 0) m &= m - 1;
        return 64 * w + bits::lowestSetBit(m);
    }
    return UINT32_MAX;
}

std::vector<uint8_t> LanePacker::finish() {
    uint32_t mapWords[4];
    uint32_t doneKey[4];
    bool allCanFinish = true;
    for (uint32_t l = 0; l < 4; ++l) {
        Lane& lane = lanes[l];
        // Fill: the last partial word with zero bits, then zero words up to minLaneWords.
        if (lane.pendingBits > 0) lane.putShort(0, 16 - lane.pendingBits);
        const uint32_t padded = std::max(lane.wordCount, minLaneWords);
        if (lane.cycle & 63) lane.sendMap[lane.cycle >> 6] = lane.sendBits;
        mapWords[l] = (lane.cycle + 63) >> 6;
        uint32_t sends = 0;
        for (uint32_t w = 0; w < mapWords[l]; ++w) sends += bits::popCount(lane.sendMap[w]);
        // Past its padded length a lane sends zero words; one more for the look-ahead read.
        std::fill(lane.words.get() + lane.wordCount, lane.words.get() + std::max(padded, minLaneWords + sends) + 1,
                  uint16_t(0));
        lane.wordCount = padded;
        // A lane is done with the send that reaches its padded length; the header leaves
        // minLaneWords words sent, and at least one merge send is needed even when the header
        // sent them all.
        const uint32_t needed = std::max<uint32_t>(padded - minLaneWords, 1);
        const uint32_t cycle = cycleOfSend(lane, mapWords[l], needed);
        allCanFinish &= cycle != UINT32_MAX;
        doneKey[l] = 4 * cycle + l;
    }

    // The merge ends with the send that makes the last lane done; later lanes of that cycle
    // send nothing more. A lane whose fields add up to fewer than 16 bits never sends in the
    // merge and so would never be done: then the merge ends once no lane can send again, that
    // is after every lane's last send.
    if (allCanFinish) {
        const uint32_t endKey = *std::max_element(doneKey, doneKey + 4);
        for (uint32_t l = 0; l < 4; ++l) {
            // The last cycle in which lane l may still send.
            const int64_t lastCycle = int64_t(endKey >> 2) - (l > (endKey & 3) ? 1 : 0);
            if (lastCycle < 0) {
                mapWords[l] = 0;
                continue;
            }
            const uint32_t w = static_cast<uint32_t>(lastCycle >> 6);
            const uint32_t bit = static_cast<uint32_t>(lastCycle & 63);
            if (w < mapWords[l]) {
                lanes[l].sendMap[w] &= bit == 63 ? ~uint64_t(0) : (uint64_t(2) << bit) - 1;
                mapWords[l] = w + 1;
            }
        }
    }

    std::size_t mergeWords = 0;
    uint32_t cycleWords = 0;
    for (uint32_t l = 0; l < 4; ++l) {
        for (uint32_t w = 0; w < mapWords[l]; ++w) mergeWords += bits::popCount(lanes[l].sendMap[w]);
        cycleWords = std::max(cycleWords, mapWords[l]);
    }

    // Header and merge words, zero-filled to a multiple of 8 words (128 bits). Four spare bytes
    // take the stores of lanes that do not send, and are cut off at the end.
    const std::size_t totalBytes = 2 * ((4 * std::size_t(minLaneWords) + mergeWords + 7) / 8 * 8);
    std::vector<uint8_t> out(totalBytes + 4, 0);
    uint8_t* dst = out.data();
    for (uint32_t r = 0; r < minLaneWords; ++r) {
        for (const Lane& lane : lanes) {
            dst[0] = static_cast<uint8_t>(lane.words[r] >> 8);
            dst[1] = static_cast<uint8_t>(lane.words[r]);
            dst += 2;
        }
    }

    // Merge: the sends in (cycle, lane) order. Every lane's store is made, and only a sending
    // lane moves the output on, so the loop has no branch per lane.
    const uint16_t* next[4];
    for (uint32_t l = 0; l < 4; ++l) next[l] = lanes[l].words.get() + minLaneWords;
    for (uint32_t w = 0; w < cycleWords; ++w) {
        uint64_t map[4];
        for (uint32_t l = 0; l < 4; ++l) map[l] = w < mapWords[l] ? lanes[l].sendMap[w] : 0;
        for (uint64_t any = map[0] | map[1] | map[2] | map[3]; any != 0; any &= any - 1) {
            const uint32_t b = bits::lowestSetBit(any);
            for (uint32_t l = 0; l < 4; ++l) {
                const uint32_t sends = static_cast<uint32_t>(map[l] >> b) & 1;
                dst[0] = static_cast<uint8_t>(*next[l] >> 8);
                dst[1] = static_cast<uint8_t>(*next[l]);
                dst += 2 * sends;
                next[l] += sends;
            }
        }
    }
    // A lane that does not send still stored its next word at the place after the last send;
    // where the merge ended before that lane was done, the word is not zero, so the fill is
    // cleared again.
    const std::size_t sentBytes = 2 * (4 * std::size_t(minLaneWords) + mergeWords);
    std::fill(out.begin() + static_cast<std::ptrdiff_t>(sentBytes), out.end(), uint8_t(0));
    out.resize(totalBytes);
    return out;
}

}  // namespace orvane::tessaline::kbx::tarnel
