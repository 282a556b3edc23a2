#include "model/LanePacker.h"

#include <cstddef>

namespace orvane::tessaline::kbx::tarnel {

LanePacker::LanePacker(uint32_t minLaneWords, uint32_t blockSize) : minLaneWords(minLaneWords) {
    for (Lane& lane : lanes) {
        lane.words.reserve(blockSize);
        lane.fieldBits.reserve(blockSize);
    }
}

void LanePacker::assignLanes(std::vector<EncodedSymbol>& records) {
    LaneAssigner assigner;
    for (EncodedSymbol& record : records) record.lane = assigner.next(record.isLiteral != 0);
}

std::vector<uint8_t> LanePacker::pack(const std::vector<EncodedSymbol>& records) {
    begin();
    for (const EncodedSymbol& record : records) add(record, record.lane);
    return finish();
}

void LanePacker::begin() {
    for (Lane& lane : lanes) {
        lane.words.clear();
        lane.fieldBits.clear();
        lane.pending = 0;
        lane.pendingBits = 0;
    }
}

namespace {

void putWord(std::vector<uint8_t>& out, uint16_t word) {
    out.push_back(static_cast<uint8_t>(word >> 8));
    out.push_back(static_cast<uint8_t>(word));
}

}  // namespace

std::vector<uint8_t> LanePacker::finish() {
    // Fill: the last partial word with zero bits, then zero words up to minLaneWords.
    std::size_t mergeBound = 0;
    for (Lane& lane : lanes) {
        if (lane.pendingBits > 0) lane.put(0, 16 - lane.pendingBits);
        mergeBound += lane.words.size();
        if (lane.words.size() < minLaneWords) lane.words.resize(minLaneWords, 0);
    }

    std::vector<uint8_t> out;
    // Header and merge words, the final fill and one merge word per lane at most this many.
    out.reserve(2 * (4 * std::size_t(minLaneWords) + mergeBound + 4 + 8));

    // Header: minLaneWords cycles of one word from every lane.
    for (uint32_t r = 0; r < minLaneWords; ++r)
        for (const Lane& lane : lanes) putWord(out, lane.words[r]);

    // Merge: each cycle, every lane counts one more field of its records and sends its next
    // word once 16 counted bits are waiting, until every lane has sent all of its words.
    struct MergeState {
        std::size_t field = 0;
        std::size_t readWord = 0;
        uint32_t accumulated = 0;
        bool ready = false;
        bool done = false;
    } state[4];
    for (MergeState& s : state) s.readWord = minLaneWords;
    uint32_t lanesDone = 0;
    while (lanesDone < 4) {
        bool canSendAgain = false;
        for (uint32_t l = 0; l < 4; ++l) {
            const Lane& lane = lanes[l];
            MergeState& s = state[l];
            if (s.field < lane.fieldBits.size()) {
                s.accumulated += lane.fieldBits[s.field++];
                s.ready = s.accumulated >= 16;
            }
            if (s.ready && lanesDone < 4) {
                // Past its padded length a lane sends zero words.
                putWord(out, s.readWord < lane.words.size() ? lane.words[s.readWord] : 0);
                ++s.readWord;
                s.accumulated -= 16;
                s.ready = false;
                if (!s.done && s.readWord >= lane.words.size()) {
                    s.done = true;
                    ++lanesDone;
                }
            }
            canSendAgain |= s.ready || s.field < lane.fieldBits.size();
        }
        // A lane whose fields add up to fewer than 16 bits never sends a merge word, so it would
        // never be done: end the merge once no lane has anything left that could send.
        if (!canSendAgain) break;
    }

    // Final fill to a multiple of 8 words (128 bits).
    while (out.size() % 16 != 0) out.push_back(0);
    return out;
}

}  // namespace orvane::tessaline::kbx::tarnel
