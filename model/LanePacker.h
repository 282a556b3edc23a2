// Four-lane bit packer of the block-compressor model: lane assignment, lane bits, header, merge.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <vector>

#include "model/BitOps.h"
#include "model/Token.h"

namespace orvane::tessaline::kbx::tarnel {

// Packs the coded records of one block the way the modelled compressor emits them.
//
// Lanes: in each cycle lanes 0..3 are visited in order; a free lane takes the next record, a
// literal or end record keeps it busy for that cycle only and a match for four cycles. Each
// lane's bits are its records' fields one after another (code, distance code, length extra,
// distance extra), each highest bit first, zero-filled to whole 16-bit words and to at least
// `minLaneWords` words.
//
// Output: a header of `minLaneWords` cycles of one word from every lane, then the merge, then
// zero words up to a multiple of 8 words, as big-endian bytes. In the merge every lane counts
// one field of its records per cycle and sends its next word in a cycle in which at least 16
// counted bits are waiting; a lane is done with the send that reaches its padded length, and
// the merge ends with the send that makes the last lane done.
class LanePacker {
public:
    // `minLaneWords` is the number of header cycles and the least number of
    // words every lane is padded to; `blockSize` (a block's bytes) sizes the working arrays,
    // which hold the records of one block, at most blockSize + 1 of them.
    LanePacker(uint32_t minLaneWords, uint32_t blockSize);

    // Sets every record's lane (0..3) as the packer deals them.
    static void assignLanes(std::vector<EncodedSymbol>& records);

    // Deals `records` to lanes (their `lane` fields are not read) and returns the compressed
    // block, a multiple of 16 bytes. More than blockSize + 1 records throw std::length_error;
    // memory exhaustion throws std::bad_alloc. Not thread-safe: reuses the working arrays.
    std::vector<uint8_t> pack(const std::vector<EncodedSymbol>& records) {
        std::size_t i = 0, matches = 0;
        for (const EncodedSymbol& r : records) matches += r.isLiteral == 0;
        return pack(records.size(), matches, [&] { return records[i++]; });
    }

    // The same for `count` records, `matches` of them matches, produced in stream order by
    // calling `nextRecord()`; the match count only picks the faster way to deal them.
    template <class NextRecord>
    std::vector<uint8_t> pack(std::size_t count, std::size_t matches, NextRecord&& nextRecord);

private:
    struct Lane {
        // The lane's bits as 16-bit words, the earlier bit more significant.
        std::unique_ptr<uint16_t[]> words;
        uint32_t wordCount = 0;
        uint64_t pending = 0;  // bits not yet forming a whole word, in the low `pendingBits`
        uint32_t pendingBits = 0;
        // The merge's counting: one field per cycle, with no gaps since a lane takes its next
        // record as soon as it is free. `sendMap` has a bit per cycle in which the lane sends.
        uint32_t counted = 0;  // field bits counted and not yet sent, always below 16
        uint32_t cycle = 0;    // cycle of the lane's next field
        uint64_t sendBits = 0; // sends of the current 64 cycles, before they go to sendMap
        std::unique_ptr<uint64_t[]> sendMap;

        // Appends the low `bits` bits of `value`, highest bit first: at most 15 bits, so at
        // most one word becomes complete. The store is made either way and overwritten later
        // when the word is not complete yet (the word array has room for it).
        VANTREL_ALWAYS_INLINE void putShort(uint32_t value, uint32_t bits) {
            pending = (pending << bits) | value;
            pendingBits += bits;
            const uint32_t complete = pendingBits >> 4;
            words[wordCount] = static_cast<uint16_t>(pending >> ((pendingBits - 16) & 63));
            wordCount += complete;
            pendingBits -= 16 * complete;
        }
        // The same for up to 48 bits: up to three words become complete.
        VANTREL_ALWAYS_INLINE void putLong(uint64_t value, uint32_t bits) {
            pending = (pending << bits) | value;
            pendingBits += bits;
            const uint32_t complete = pendingBits >> 4;
            words[wordCount] = static_cast<uint16_t>(pending >> ((pendingBits - 16) & 63));
            words[wordCount + 1] = static_cast<uint16_t>(pending >> ((pendingBits - 32) & 63));
            words[wordCount + 2] = static_cast<uint16_t>(pending >> ((pendingBits - 48) & 63));
            wordCount += complete;
            pendingBits -= 16 * complete;
        }
        // Counts one field of `bits` bits (at most 15) and says whether the lane sends a word
        // in that field's cycle.
        VANTREL_ALWAYS_INLINE uint32_t countField(uint32_t bits) {
            counted += bits;
            const uint32_t send = counted >= 16;
            counted -= 16 * send;
            return send;
        }
        // Notes the sends of the next `cycles` cycles (bit i: cycle + i). Cycles are gathered
        // 64 at a time; a match may reach 3 cycles into the next 64.
        VANTREL_ALWAYS_INLINE void noteSends(uint32_t sends, uint32_t cycles) {
            const uint32_t offset = cycle & 63;
            sendBits |= uint64_t(sends) << offset;
            if (offset + cycles >= 64) {
                sendMap[cycle >> 6] = sendBits;
                sendBits = uint64_t(sends) >> (64 - offset);
            }
            cycle += cycles;
        }
        VANTREL_ALWAYS_INLINE void add(const EncodedSymbol& r) {
            if (r.isLiteral) {
                putShort(r.code, r.codeLength);
                noteSends(countField(r.codeLength), 1);
                return;
            }
            // Field order: code, distance code, length extra, distance extra; together at
            // most 15 + 15 + 5 + 13 bits.
            uint64_t joined = r.code;
            joined = (joined << r.distanceCodeLength) | r.distanceCode;
            joined = (joined << r.lengthExtraBits) | r.lengthExtra;
            joined = (joined << r.distanceExtraBits) | r.distanceExtra;
            putLong(joined, r.codeLength + r.distanceCodeLength + r.lengthExtraBits + r.distanceExtraBits);
            uint32_t sends = countField(r.codeLength);
            sends |= countField(r.distanceCodeLength) << 1;
            sends |= countField(r.lengthExtraBits) << 2;
            sends |= countField(r.distanceExtraBits) << 3;
            noteSends(sends, 4);
        }
    };

    // Deals `count` records to lanes in cycles: calls `take(lane)` for each record in stream
    // order, which consumes it and returns whether it is a literal or end record.
    template <class Take>
    static void deal(std::size_t count, Take&& take);
    template <class Take>
    static void dealByFreeLane(std::size_t count, Take&& take);

    void begin();
    std::vector<uint8_t> finish();
    // Cycle of the lane's `n`-th merge send (n >= 1), or UINT32_MAX when it sends fewer.
    static uint32_t cycleOfSend(const Lane& lane, uint32_t mapWords, uint32_t n);

    uint32_t minLaneWords;
    std::size_t maxRecords;
    Lane lanes[4];
};

template <class Take>
void LanePacker::deal(std::size_t count, Take&& take) {
    // Cycles of lanes 0..3, spelled out so that each lane's state sits at a fixed place.
    uint32_t busy[4] = {0, 0, 0, 0};
    std::size_t remaining = count;
    auto visit = [&](uint32_t lane) VANTREL_ALWAYS_INLINE {
        if (busy[lane] > 0) {
            --busy[lane];
            return;
        }
        --remaining;
        busy[lane] = take(lane) ? 0 : 3;
    };
    // A full cycle takes at most four records, so it never runs out in the middle.
    while (remaining >= 4) {
        visit(0);
        visit(1);
        visit(2);
        visit(3);
    }
    for (uint32_t lane = 0; remaining > 0; lane = (lane + 1) & 3) visit(lane);
}

template <class Take>
void LanePacker::dealByFreeLane(std::size_t count, Take&& take) {
    // The same deal, record by record: each lane is free again from a known cycle on (the next
    // after a literal or end record, the fourth after a match), and the next record goes to
    // the lane that is free first in (cycle, lane) order. With 4 x cycle + lane kept per lane
    // that is the smallest value. Where most records are matches, this avoids the lane-by-lane
    // busy tests, which branch irregularly.
    uint32_t freeAt[4] = {0, 1, 2, 3};
    for (std::size_t i = 0; i < count; ++i) {
        const uint32_t a = freeAt[0] < freeAt[1] ? freeAt[0] : freeAt[1];
        const uint32_t b = freeAt[2] < freeAt[3] ? freeAt[2] : freeAt[3];
        const uint32_t first = a < b ? a : b;
        const uint32_t lane = first & 3;
        freeAt[lane] = first + (take(lane) ? 4 : 16);
    }
}

template <class NextRecord>
std::vector<uint8_t> LanePacker::pack(std::size_t count, std::size_t matches, NextRecord&& nextRecord) {
    if (count > maxRecords) throw std::length_error("LanePacker: more records than a block has");
    begin();
    auto take = [&](uint32_t lane) VANTREL_ALWAYS_INLINE {
        const EncodedSymbol record = nextRecord();
        lanes[lane].add(record);
        return record.isLiteral != 0;
    };
    if (4 * matches > count)
        dealByFreeLane(count, take);
    else
        deal(count, take);
    return finish();
}

}  // namespace orvane::tessaline::kbx::tarnel
