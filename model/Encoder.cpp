#include "model/Encoder.h"

#include <cstddef>

namespace orvane::tessaline::kbx::tarnel {

Encoder::Encoder(uint32_t blockSize, const CodeBook* codeBook)
    : blockSize(blockSize), codeBook(codeBook), symbolTables(&codeBook->symbolTables()) {}

EncodedSymbol Encoder::encodeMatch(const Token& token, uint32_t litLenBook,
                                   uint32_t distanceBook) const {
    const Deflate& tables = *symbolTables;
    const uint32_t length = token.value - 256;
    const uint32_t s = tables.lengthSymbol(length);
    const uint32_t lenBits = tables.lengthExtraBits(s);
    const uint32_t t = tables.distanceSymbol(token.distance);
    const uint32_t distBits = tables.distanceExtraBits(t);
    return EncodedSymbol{token.value,
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

std::vector<EncodedSymbol> Encoder::encode(const std::vector<Token>& tokens, uint32_t litLenBook,
                                           uint32_t distanceBook) const {
    std::vector<EncodedSymbol> records;
    records.reserve(2 * std::size_t(blockSize));
    for (const Token& token : tokens) {
        records.push_back(encodeToken(token, litLenBook, distanceBook));
    }
    return records;
}

}  // namespace orvane::tessaline::kbx::tarnel
