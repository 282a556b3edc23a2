// Four-lane bit packer of the block-compressor model: lane assignment, lane bits, header, merge.
#pragma once

#include <cstdint>
#include <vector>

#include "model/Token.h"

namespace orvane::tessaline::kbx::tarnel {

class LanePacker {
public:
    // `minLaneWords` (at least 1) is the number of header cycles and the least number of
    // 16-bit words every lane is padded to.
    explicit LanePacker(uint32_t minLaneWords);

    // Deals the records to lanes 0..3 in cycles: a free lane takes the next record, a literal or
    // end record keeps it busy for one cycle and a match for four. Sets every record's lane.
    static void assignLanes(std::vector<EncodedSymbol>& records);

    // Packs records that already carry their lanes into the compressed block: the header words,
    // then the merged words, zero-filled to a multiple of 16 bytes. Throws std::bad_alloc on
    // memory exhaustion. Thread-safe: uses only local working data.
    std::vector<uint8_t> pack(const std::vector<EncodedSymbol>& records) const;

private:
    uint32_t minLaneWords;
};

}  // namespace orvane::tessaline::kbx::tarnel
