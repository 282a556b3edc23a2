#include "model/Encoder.h"

#include <cstddef>

namespace orvane::tessaline::kbx::tarnel {

Encoder::Encoder(uint32_t blockSize, const CodeBook* codeBook)
    : blockSize(blockSize), codeBook(codeBook), symbolTables(&codeBook->symbolTables()) {}

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
