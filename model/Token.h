// Token and coded-symbol records shared by the block-compressor model's stages.
#pragma once

#include <cstdint>

namespace orvane::tessaline::kbx::tarnel {

// Distance field of literal and end tokens.
constexpr uint32_t kNoDistance = 0xFFFFFFFFu;
// Token value of the end of a block.
constexpr uint32_t kEndOfBlock = 256;
// Matches are 4 to 259 bytes long; their token value is the length + 256.
constexpr uint32_t kMinMatch = 4;
constexpr uint32_t kMaxMatch = 259;

// One symbol of the match finder: value 0..255 is a literal byte, 256 the end of the block,
// 260..515 a match of (value - 256) bytes copied from `distance` bytes back.
struct Token {
    uint32_t value;
    uint32_t distance;
};

// One token coded under one code book. Codes are kept in their low bits, written most
// significant bit first; extra values are kept bit-reversed so they leave least significant
// bit first. Literal and end records carry only their literal/length code.
struct EncodedSymbol {
    uint32_t symbol;
    uint32_t codeLength;
    uint32_t lengthExtraBits;
    uint32_t code;
    uint32_t lengthExtra;
    uint32_t distanceCodeLength;
    uint32_t distanceExtraBits;
    uint32_t distanceCode;
    uint32_t distanceExtra;
    uint8_t isLiteral;
    uint8_t isEnd;
    uint32_t lane;
};

}  // namespace orvane::tessaline::kbx::tarnel
