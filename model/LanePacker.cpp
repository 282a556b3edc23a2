#include "model/LanePacker.h"

namespace orvane::tessaline::kbx::tarnel {

LanePacker::LanePacker(uint32_t minLaneWords) : minLaneWords(minLaneWords) {}

void LanePacker::assignLanes(std::vector<EncodedSymbol>& records) { (void)records; }

std::vector<uint8_t> LanePacker::pack(const std::vector<EncodedSymbol>& records) const {
    (void)records;
    return std::vector<uint8_t>(16 * minLaneWords, 0);
}

}  // namespace orvane::tessaline::kbx::tarnel
