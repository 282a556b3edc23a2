#include "model/CodeBook.h"

#include <cstddef>
#include <limits>

namespace orvane::tessaline::kbx::tarnel {

CodeBook::CodeBook(const uint32_t* litLenTable, const uint32_t* distTable) {
    for (uint32_t b = 0; b < kNumBooks; ++b) {
        litLenLengths[b].resize(numLitLen);
        distLengths[b].resize(numDist);
        for (uint32_t s = 0; s < numLitLen; ++s) litLenLengths[b][s] = litLenTable[s * kNumBooks + b];
        for (uint32_t d = 0; d < numDist; ++d) distLengths[b][d] = distTable[d * kNumBooks + b];
        buildCode(litLenLengths[b], litLenCodes[b]);
        buildCode(distLengths[b], distCodes[b]);
    }
}

void CodeBook::buildCode(const std::vector<uint32_t>& lengths, std::vector<uint32_t>& codes) const {
    std::vector<uint32_t> count(maxBits + 1, 0);
    for (uint32_t len : lengths) ++count[len];
    std::vector<uint32_t> next(maxBits + 1, 0);
    uint32_t code = 0;
    for (uint32_t bits = 1; bits <= maxBits; ++bits) {
        code = (code + count[bits - 1]) << 1;
        next[bits] = code;
    }
    codes.resize(lengths.size());
    for (std::size_t s = 0; s < lengths.size(); ++s) codes[s] = next[lengths[s]]++;
}

uint32_t CodeBook::selectBook(const Token* tokens, std::size_t count, uint32_t* book) const {
    std::vector<uint32_t> litLenCounts;
    std::vector<uint32_t> distCounts;
    deflate.histogram(tokens, count, litLenCounts, distCounts);

    uint32_t bestCost = std::numeric_limits<uint32_t>::max();
    uint32_t bestBook = 0;
    for (uint32_t b = 0; b < kNumBooks; ++b) {
        uint32_t cost = 0;
        for (uint32_t s = 0; s < numLitLen; ++s) {
            uint32_t extra = s > kEndOfBlock ? deflate.lengthExtraBits(s) : 0;
            cost += litLenCounts[s] * (litLenLengths[b][s] + extra);
        }
        for (uint32_t d = 0; d < numDist; ++d)
            cost += distCounts[d] * (distLengths[b][d] + deflate.distanceExtraBits(d));
        // ">=": on a tie the later book wins.
        if (bestCost >= cost) {
            bestCost = cost;
            bestBook = b;
        }
    }
    *book = bestBook;
    return bestCost;
}

}  // namespace orvane::tessaline::kbx::tarnel
