// Eight canned Huffman code books and the choice of the cheapest one for a token stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "model/CodeBookTables.h"
#include "model/Deflate.h"
#include "model/Token.h"

namespace orvane::tessaline::kbx::tarnel {

class CodeBook {
public:
    // Loads the eight books from a literal/length table (286 x 8 lengths) and a distance table
    // (30 x 8 lengths), both symbol-major as in CodeBookTables.h, and builds their canonical
    // codes. The tables are read only here. Throws std::bad_alloc on memory exhaustion.
    CodeBook(const uint32_t* litLenTable, const uint32_t* distTable);
    virtual ~CodeBook() = default;

    // Prices `tokens` under every book, stores the cheapest book's number (0..7; the later book
    // on a tie) in *book and returns its cost in bits (codes plus extra bits).
    // Thread-safe: uses only local counters and the immutable books.
    uint32_t selectBook(const std::vector<Token>& tokens, uint32_t* book) const {
        return selectBook(tokens.data(), tokens.size(), book);
    }
    // The same over `count` tokens at `tokens`.
    uint32_t selectBook(const Token* tokens, std::size_t count, uint32_t* book) const;

    // Code (low `length` bits, most significant first) and code length of a symbol in `book`.
    uint32_t litLenCode(uint32_t book, uint32_t symbol) const { return litLenCodes[book][symbol]; }
    uint32_t litLenLength(uint32_t book, uint32_t symbol) const { return litLenLengths[book][symbol]; }
    uint32_t distCode(uint32_t book, uint32_t symbol) const { return distCodes[book][symbol]; }
    uint32_t distLength(uint32_t book, uint32_t symbol) const { return distLengths[book][symbol]; }

    // The symbol tables this book set prices with.
    const Deflate& symbolTables() const { return deflate; }

private:
    // Fills `codes` with the canonical prefix code of `lengths` (RFC 1951, 3.2.2).
    void buildCode(const std::vector<uint32_t>& lengths, std::vector<uint32_t>& codes) const;

    uint32_t numLitLen = Deflate::kNumLitLen;
    uint32_t numDist = Deflate::kNumDist;
    uint32_t maxBits = 15;
    Deflate deflate;
    std::vector<uint32_t> litLenCodes[kNumBooks];
    std::vector<uint32_t> litLenLengths[kNumBooks];
    std::vector<uint32_t> distCodes[kNumBooks];
    std::vector<uint32_t> distLengths[kNumBooks];
};

}  // namespace orvane::tessaline::kbx::tarnel
