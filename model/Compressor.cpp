#include "model/Compressor.h"

#include <stdexcept>

#include "model/LanePacker.h"

namespace orvane::tessaline::kbx::tarnel {

Compressor::Compressor(uint32_t blockSize, uint32_t matcherMode, uint32_t hashBytes,
                       uint32_t minLaneWords, uint8_t fieldOrder, const CodeBook* codeBook)
    : codeBook(codeBook), matcherMode(matcherMode), hashBytes(hashBytes),
      minLaneWords(minLaneWords), fieldOrder(fieldOrder), blockSize(blockSize),
      encoder(nullptr) {
    if (codeBook == nullptr) throw std::invalid_argument("Compressor: no code book");
    if (blockSize == 0 || blockSize % 4 != 0)
        throw std::invalid_argument("Compressor: block size must be a non-zero multiple of 4");
    if (matcherMode != 2 || hashBytes != 3 || fieldOrder != 1 || minLaneWords == 0)
        throw std::invalid_argument("Compressor: unsupported matcher or packer settings");
    for (auto& table : hashTables) table.assign(kHashEntries, HashEntry{});
    encoder = new Encoder(blockSize, codeBook);
}

Compressor::~Compressor() { delete encoder; }

std::vector<Token> Compressor::matchFull(const uint8_t* block) {
    (void)block;
    return {Token{kEndOfBlock, kNoDistance}};
}

std::vector<uint8_t> Compressor::compress(const uint8_t* block, uint32_t* bookOut) {
    std::vector<Token> tokens = matchFull(block);
    codeBook->selectBook(tokens, bookOut);
    std::vector<EncodedSymbol> records = encoder->encode(tokens, *bookOut, *bookOut);
    LanePacker::assignLanes(records);
    return LanePacker(minLaneWords).pack(records);
}

}  // namespace orvane::tessaline::kbx::tarnel
