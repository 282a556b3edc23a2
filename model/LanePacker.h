// Four-lane bit packer of the block-compressor model: lane assignment, lane bits, header, merge.
#pragma once

#include <cstdint>
#include <vector>

#include "model/Token.h"

namespace orvane::tessaline::kbx::tarnel {

// Deals coded records to lanes 0..3 in cycles. In each cycle the lanes are visited in order; a
// free lane takes the next record, a literal or end record keeps it busy for that cycle only and
// a match for four cycles (one per field).
class LaneAssigner {
public:
    // Returns the lane (0..3) of the next record in stream order.
    uint32_t next(bool isLiteral) {
        for (;;) {
            const uint32_t lane = cursor;
            cursor = (cursor + 1) & 3;
            if (busy[lane] == 0) {
                busy[lane] = isLiteral ? 0 : 3;
                return lane;
            }
            --busy[lane];
        }
    }

private:
    uint32_t busy[4] = {};
    uint32_t cursor = 0;
};

class LanePacker {
public:
    // `minLaneWords` (at least 1) is the number of header cycles and the least number of
    // 16-bit words every lane is padded to; `blockSize` sizes the working arrays.
    LanePacker(uint32_t minLaneWords, uint32_t blockSize);

    // Sets every record's lane as LaneAssigner deals them.
    static void assignLanes(std::vector<EncodedSymbol>& records);

    // Packs records that already carry their lanes into the compressed block: the header words,
    // then the merged words, zero-filled to a multiple of 16 bytes. Throws std::bad_alloc on
    // memory exhaustion. Not thread-safe: reuses the packer's working arrays.
    std::vector<uint8_t> pack(const std::vector<EncodedSymbol>& records);

    // The same packing one record at a time: begin(), add() for each record in stream order,
    // then finish() for the compressed block.
    void begin();
    void add(const EncodedSymbol& record, uint32_t lane) {
        Lane& l = lanes[lane];
        if (record.isLiteral) {
            l.fieldBits.push_back(static_cast<uint8_t>(record.codeLength));
            l.put(record.code, record.codeLength);
            return;
        }
        // Field order: code, distance code, length extra, distance extra. Together they are at
        // most 15 + 15 + 5 + 13 bits, so they go into the lane as one field of up to 48 bits.
        const uint8_t counts[4] = {
            static_cast<uint8_t>(record.codeLength), static_cast<uint8_t>(record.distanceCodeLength),
            static_cast<uint8_t>(record.lengthExtraBits),
            static_cast<uint8_t>(record.distanceExtraBits)};
        l.fieldBits.insert(l.fieldBits.end(), counts, counts + 4);
        uint64_t joined = record.code;
        joined = (joined << record.distanceCodeLength) | record.distanceCode;
        joined = (joined << record.lengthExtraBits) | record.lengthExtra;
        joined = (joined << record.distanceExtraBits) | record.distanceExtra;
        l.put(joined, record.codeLength + record.distanceCodeLength + record.lengthExtraBits +
                          record.distanceExtraBits);
    }
    std::vector<uint8_t> finish();

private:
    // One lane's bits as 16-bit words (earlier bit more significant), and the bit count of each
    // field in the order the lane received them (one per literal, four per match).
    struct Lane {
        std::vector<uint16_t> words;
        std::vector<uint8_t> fieldBits;
        uint64_t pending = 0;   // bits not yet forming a whole word, in the low `pendingBits`
        uint32_t pendingBits = 0;

        // Appends the low `bits` bits of `value` (at most 48), highest bit first.
        void put(uint64_t value, uint32_t bits) {
            pending = (pending << bits) | value;
            pendingBits += bits;
            while (pendingBits >= 16) {
                pendingBits -= 16;
                words.push_back(static_cast<uint16_t>(pending >> pendingBits));
            }
        }
    };

    uint32_t minLaneWords;
    Lane lanes[4];
};

}  // namespace orvane::tessaline::kbx::tarnel
