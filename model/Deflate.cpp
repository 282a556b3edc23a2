#include "model/Deflate.h"

namespace orvane::tessaline::kbx::tarnel {

namespace {

// First and last match length of each length symbol 257..285: those of RFC 1951 plus one,
// since the modelled compressor's matches are 4..259 bytes.
constexpr uint32_t kLenBase[Deflate::kNumLenSymbols] = {
    4,  5,  6,  7,  8,  9,  10, 11, 12,  14,  16,  18,  20,  24,  28,
    32, 36, 44, 52, 60, 68, 84, 100, 116, 132, 164, 196, 228, 259};
constexpr uint32_t kLenMax[Deflate::kNumLenSymbols] = {
    4,  5,  6,  7,  8,  9,  10,  11,  13,  15,  17,  19,  23,  27,  31,
    35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258, 259};

// RFC 1951 distance symbols 0..29.
constexpr uint32_t kDistBase[Deflate::kNumDist] = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint32_t kDistMax[Deflate::kNumDist] = {
    1,   2,   3,    4,    6,    8,    12,   16,   24,    32,    48,    64,    96,    128,   192,
    256, 384, 512,  768,  1024, 1536, 2048, 3072, 4096, 6144, 8192, 12288, 16384, 24576, 32768};

// Bits needed to tell `count` values apart: ceil(log2(count)), the smallest b with 2^b >= count
// (0 for a count of 1). Integer arithmetic, so the result is exact on every floating-point unit.
uint32_t bitsFor(uint32_t count) {
    uint32_t bits = 0;
    while ((uint64_t(1) << bits) < count) ++bits;
    return bits;
}

}  // namespace

Deflate::Deflate()
    : lenCode(256), lenExtraValue(256), lenExtraBits(kNumLenSymbols), distCode(kMaxDistance),
      distExtraValue(kMaxDistance), distExtraBits(kNumDist),
      lenBase(std::begin(kLenBase), std::end(kLenBase)),
      lenMax(std::begin(kLenMax), std::end(kLenMax)),
      distBase(std::begin(kDistBase), std::end(kDistBase)),
      distMax(std::begin(kDistMax), std::end(kDistMax)) {
    for (uint32_t i = 0; i < kNumLenSymbols; ++i) {
        lenExtraBits[i] = bitsFor(lenMax[i] - lenBase[i] + 1);
        for (uint32_t len = lenBase[i]; len <= lenMax[i]; ++len) {
            lenCode[len - kMinMatch] = 257 + i;
            lenExtraValue[len - kMinMatch] = len - lenBase[i];
        }
    }
    for (uint32_t d = 0; d < kNumDist; ++d) {
        distExtraBits[d] = bitsFor(distMax[d] - distBase[d] + 1);
        for (uint32_t dist = distBase[d]; dist <= distMax[d]; ++dist) {
            distCode[dist - 1] = d;
            distExtraValue[dist - 1] = dist - distBase[d];
        }
    }
}

void Deflate::histogram(const Token* tokens, std::size_t count, std::vector<uint32_t>& litLenCounts,
                        std::vector<uint32_t>& distCounts) const {
    litLenCounts.assign(kNumLitLen, 0);
    distCounts.assign(kNumDist, 0);
    for (const Token* token = tokens; token != tokens + count; ++token) {
        if (token->value > kEndOfBlock) {
            ++litLenCounts[lenCode[token->value - 256 - kMinMatch]];
            ++distCounts[distCode[token->distance - 1]];
        } else {
            ++litLenCounts[token->value];
        }
    }
}

}  // namespace orvane::tessaline::kbx::tarnel
