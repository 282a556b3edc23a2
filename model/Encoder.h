// Symbol encoder: codes a token stream under a chosen code book, one record per token.
#pragma once

#include <cstdint>
#include <vector>

#include "model/CodeBook.h"
#include "model/Token.h"

namespace orvane::tessaline::kbx::tarnel {

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

    // Appends one record built from the given fields to `out`.
    static void append(std::vector<EncodedSymbol>& out, uint32_t symbol, uint32_t codeLength,
                       uint32_t code, uint32_t lengthExtraBits, uint32_t lengthExtra,
                       uint32_t distanceCodeLength, uint32_t distanceCode,
                       uint32_t distanceExtraBits, uint32_t distanceExtra, uint8_t isLiteral,
                       uint32_t lane, uint8_t isEnd);

    // The low `bits` bits of `value` in reverse order (0 when `bits` is 0).
    static uint32_t reverse(uint32_t value, uint32_t bits);

private:
    uint32_t blockSize;
    const CodeBook* codeBook;
    const Deflate* symbolTables;
};

}  // namespace orvane::tessaline::kbx::tarnel
