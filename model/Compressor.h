// Block-compressor model: 4-byte-per-step LZ77 matcher, canned code books and a four-lane packer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "model/CodeBook.h"
#include "model/Encoder.h"
#include "model/HashSlot.h"
#include "model/LanePacker.h"
#include "model/Token.h"

namespace orvane::tessaline::kbx::tarnel {

class Compressor {
public:
    // Builds a compressor for blocks of `blockSize` bytes (a multiple of 4 up to 32768, so that
    // the matcher never reads past a block and every distance has a symbol) around `codeBook`,
    // which is not owned and must outlive the compressor. Only `matcherMode` 2, `hashBytes` 3
    // and `fieldOrder` 1 exist; other values, a null code book or a bad block size throw
    // std::invalid_argument. Throws std::bad_alloc on memory exhaustion.
    Compressor(uint32_t blockSize, uint32_t matcherMode, uint32_t hashBytes, uint32_t minLaneWords,
               uint8_t fieldOrder, const CodeBook* codeBook);
    virtual ~Compressor();

    Compressor(const Compressor&) = delete;
    Compressor& operator=(const Compressor&) = delete;

    // Compresses the first `blockSize` bytes of `block`, stores the chosen book (0..7) in
    // *bookOut and returns the compressed block (a multiple of 16 bytes). Throws std::bad_alloc
    // on memory exhaustion. Not thread-safe: one compressor serves one thread at a time.
    std::vector<uint8_t> compress(const uint8_t* block, uint32_t* bookOut);

    // Runs the matcher over the first `blockSize` bytes of `block` and returns its tokens,
    // ending with the end token; replaying them gives the block back. Not thread-safe.
    std::vector<Token> matchFull(const uint8_t* block);

    // Hash of three bytes, 0..511.
    static uint32_t hash3(uint8_t a, uint8_t b, uint8_t c) {
        return hashOf((uint32_t(a) << 16) | (uint32_t(b) << 8) | c);
    }
    // The same of v = a x 65536 + b x 256 + c.
    static uint32_t hashOf(uint32_t v) { return ((v >> 9) + (v >> 3) + v) & 0x1FF; }

    static constexpr uint32_t kHashEntries = 512;
    static constexpr uint32_t kLanes = 4;

private:
    // Runs the matcher over `block` into `tokenBuffer`; returns the number of tokens and
    // stores how many of them are matches in *matches.
    std::size_t matchInto(const uint8_t* block, std::size_t* matches);

    const CodeBook* codeBook;
    uint32_t matcherMode;
    uint32_t hashBytes;
    uint32_t minLaneWords;
    uint8_t fieldOrder;
    uint32_t blockSize;

    std::vector<HashSlot> hashTables;
    uint32_t generation = 0;

    // Working data reused from block to block.
    std::unique_ptr<Token[]> tokenBuffer;
    LanePacker packer;
    Encoder* encoder;
};

}  // namespace orvane::tessaline::kbx::tarnel
