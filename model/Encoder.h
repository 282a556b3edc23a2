// Symbol encoder: codes a token stream under a chosen code book, one record per token.
#pragma once

#include <cstdint>
#include <vector>

#include "model/BitOps.h"
#include "model/CodeBook.h"
#include "model/Token.h"

namespace orvane::tessaline::kbx::tarnel {

namespace detail {

// Every byte with its bits in reverse order.
struct ReversedBytes {
    uint8_t value[256];
    constexpr ReversedBytes() : value() {
        for (uint32_t b = 0; b < 256; ++b) {
            uint32_t r = 0;
            for (uint32_t i = 0; i < 8; ++i) r = (r << 1) | ((b >> i) & 1u);
            value[b] = static_cast<uint8_t>(r);
        }
    }
    constexpr uint8_t operator[](uint32_t b) const { return value[b]; }
};
inline constexpr ReversedBytes kReversedBytes{};

}  // namespace detail

class Encoder {
public:
    // Keeps `blockSize` (sizes the record array) and `codeBook`, which must outlive the encoder.
    Encoder(uint32_t blockSize, const CodeBook* codeBook);
    virtual ~Encoder() = default;

    // Returns one record per token, in order: literal/length codes from book `litLenBook`,
    // distance codes from `distanceBook` (0..7). Every record's lane is 0. Tokens must come from
    // the match finder (lengths 4..259, distances 1..32768). Throws std::bad_alloc on memory
    // exhaustion. Thread-safe: the encoder is read-only.
    std::vector<EncodedSymbol> encode(const std::vector<Token>& tokens, uint32_t litLenBook,
                                      uint32_t distanceBook) const;

    // Codes one token as encode() does, with lane 0.
    VANTREL_ALWAYS_INLINE EncodedSymbol encodeToken(const Token& token, uint32_t litLenBook,
                                                    uint32_t distanceBook) const {
        const uint32_t v = token.value;
        if (v <= kEndOfBlock)
            return EncodedSymbol{v, codeBook->litLenLength(litLenBook, v), 0,
                                 codeBook->litLenCode(litLenBook, v), 0, 0, 0, 0, 0, 1,
                                 static_cast<uint8_t>(v == kEndOfBlock ? 1 : 0), 0};
        const Deflate& tables = *symbolTables;
        const uint32_t length = v - 256;
        const uint32_t s = tables.lengthSymbol(length);
        const uint32_t lenBits = tables.lengthExtraBits(s);
        const uint32_t t = tables.distanceSymbol(token.distance);
        const uint32_t distBits = tables.distanceExtraBits(t);
        return EncodedSymbol{v,
                             codeBook->litLenLength(litLenBook, s),
                             lenBits,
                             codeBook->litLenCode(litLenBook, s),
                             reverse(tables.lengthExtraValue(length), lenBits),
                             codeBook->distLength(distanceBook, t),
                             distBits,
                             codeBook->distCode(distanceBook, t),
                             reverse(tables.distanceExtraValue(token.distance), distBits),
                             0,
                             0,
                             0};
    }

    // The low `bits` bits (0..16) of `value` in reverse order (0 when `bits` is 0). Extra
    // values have at most 13 bits.
    VANTREL_ALWAYS_INLINE static uint32_t reverse(uint32_t value, uint32_t bits) {
        const uint32_t all = uint32_t(detail::kReversedBytes[value & 0xFF]) << 8 |
                             detail::kReversedBytes[(value >> 8) & 0xFF];
        return all >> (16 - bits);
    }

private:
    uint32_t blockSize;
    const CodeBook* codeBook;
    const Deflate* symbolTables;
};

}  // namespace orvane::tessaline::kbx::tarnel
