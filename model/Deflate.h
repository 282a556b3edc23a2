// Symbol alphabet of the block-compressor model: length/distance symbol tables and histograms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "model/Token.h"

namespace orvane::tessaline::kbx::tarnel {

class Deflate {
public:
    static constexpr uint32_t kNumLitLen = 286;
    static constexpr uint32_t kNumDist = 30;
    static constexpr uint32_t kNumLenSymbols = 29;
    static constexpr uint32_t kMaxDistance = 32768;

    // Builds every table. Throws std::bad_alloc on memory exhaustion.
    Deflate();
    virtual ~Deflate() = default;

    // Clears `litLenCounts` (which must hold 286 entries) and `distCounts` (30 entries) and
    // counts every token's literal/length symbol and every match's distance symbol.
    // Thread-safe: reads only the immutable tables.
    void histogram(const std::vector<Token>& tokens, std::vector<uint32_t>& litLenCounts,
                   std::vector<uint32_t>& distCounts) const {
        histogram(tokens.data(), tokens.size(), litLenCounts, distCounts);
    }
    // The same over `count` tokens at `tokens`.
    void histogram(const Token* tokens, std::size_t count, std::vector<uint32_t>& litLenCounts,
                   std::vector<uint32_t>& distCounts) const;

    // Table lookups. `length` is 4..259, `distance` 1..32768, `lenSymbol` 257..285,
    // `distSymbol` 0..29. No range checks: callers pass matcher output only.
    uint32_t lengthSymbol(uint32_t length) const { return lenCode[length - kMinMatch]; }
    uint32_t lengthExtraValue(uint32_t length) const { return lenExtraValue[length - kMinMatch]; }
    uint32_t lengthExtraBits(uint32_t lenSymbol) const { return lenExtraBits[lenSymbol - 257]; }
    uint32_t distanceSymbol(uint32_t distance) const { return distCode[distance - 1]; }
    uint32_t distanceExtraValue(uint32_t distance) const { return distExtraValue[distance - 1]; }
    uint32_t distanceExtraBits(uint32_t distSymbol) const { return distExtraBits[distSymbol]; }
    uint32_t lengthBase(uint32_t lenSymbol) const { return lenBase[lenSymbol - 257]; }
    uint32_t lengthMax(uint32_t lenSymbol) const { return lenMax[lenSymbol - 257]; }
    uint32_t distanceBase(uint32_t distSymbol) const { return distBase[distSymbol]; }
    uint32_t distanceMax(uint32_t distSymbol) const { return distMax[distSymbol]; }

private:
    std::vector<uint32_t> lenCode;        // [length - 4] -> 257..285
    std::vector<uint32_t> lenExtraValue;  // [length - 4] -> length - base
    std::vector<uint32_t> lenExtraBits;   // [symbol - 257]
    std::vector<uint32_t> distCode;       // [distance - 1] -> 0..29
    std::vector<uint32_t> distExtraValue; // [distance - 1] -> distance - base
    std::vector<uint32_t> distExtraBits;  // [symbol]
    std::vector<uint32_t> lenBase;
    std::vector<uint32_t> lenMax;
    std::vector<uint32_t> distBase;
    std::vector<uint32_t> distMax;
};

}  // namespace orvane::tessaline::kbx::tarnel
