#include "model/Encoder.h"

#include <cstddef>

namespace orvane::tessaline::kbx::tarnel {

Encoder::Encoder(uint32_t blockSize, const CodeBook* codeBook)
    : blockSize(blockSize), codeBook(codeBook), symbolTables(&codeBook->symbolTables()) {}

uint32_t Encoder::reverse(uint32_t value, uint32_t bits) {
    uint32_t r = 0;
    for (uint32_t i = 0; i < bits; ++i) r = (r << 1) | ((value >> i) & 1u);
    return r;
}

void Encoder::append(std::vector<EncodedSymbol>& out, uint32_t symbol, uint32_t codeLength,
                     uint32_t code, uint32_t lengthExtraBits, uint32_t lengthExtra,
                     uint32_t distanceCodeLength, uint32_t distanceCode,
                     uint32_t distanceExtraBits, uint32_t distanceExtra, uint8_t isLiteral,
                     uint32_t lane, uint8_t isEnd) {
    out.push_back(EncodedSymbol{symbol, codeLength, lengthExtraBits, code, lengthExtra,
                                distanceCodeLength, distanceExtraBits, distanceCode,
                                distanceExtra, isLiteral, isEnd, lane});
}

std::vector<EncodedSymbol> Encoder::encode(const std::vector<Token>& tokens, uint32_t litLenBook,
                                           uint32_t distanceBook) const {
    std::vector<EncodedSymbol> records;
    records.reserve(2 * std::size_t(blockSize));
    const Deflate& tables = *symbolTables;
    for (const Token& token : tokens) {
        const uint32_t v = token.value;
        if (v <= kEndOfBlock) {
            append(records, v, codeBook->litLenLength(litLenBook, v),
                   codeBook->litLenCode(litLenBook, v), 0, 0, 0, 0, 0, 0, 1, 0,
                   v == kEndOfBlock ? 1 : 0);
            continue;
        }
        const uint32_t length = v - 256;
        const uint32_t s = tables.lengthSymbol(length);
        const uint32_t lenBits = tables.lengthExtraBits(s);
        const uint32_t t = tables.distanceSymbol(token.distance);
        const uint32_t distBits = tables.distanceExtraBits(t);
        append(records, v, codeBook->litLenLength(litLenBook, s), codeBook->litLenCode(litLenBook, s),
               lenBits, reverse(tables.lengthExtraValue(length), lenBits),
               codeBook->distLength(distanceBook, t), codeBook->distCode(distanceBook, t),
               distBits, reverse(tables.distanceExtraValue(token.distance), distBits), 0, 0, 0);
    }
    return records;
}

}  // namespace orvane::tessaline::kbx::tarnel
