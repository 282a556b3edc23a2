// Block-compressor model: 4-byte-per-step LZ77 matcher, canned code books and a four-lane packer.
#pragma once

#include <cstdint>
#include <vector>

#include "model/CodeBook.h"
#include "model/Encoder.h"
#include "model/Token.h"

namespace orvane::tessaline::kbx::tarnel {

class Compressor {
public:
    // Builds a compressor for blocks of `blockSize` bytes (a non-zero multiple of 4) around
    // `codeBook`, which is not owned and must outlive the compressor. Only `matcherMode` 2,
    // `hashBytes` 3 and `fieldOrder` 1 exist; other values, a zero `minLaneWords`, a null code
    // book or a bad block size throw std::invalid_argument. Throws std::bad_alloc on memory
    // exhaustion.
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
        uint32_t v = (uint32_t(a) << 16) | (uint32_t(b) << 8) | c;
        return ((v >> 9) + (v >> 3) + v) & 0x1FF;
    }

    static constexpr uint32_t kHashEntries = 512;
    static constexpr uint32_t kLanes = 4;

private:
    struct HashEntry {
        uint8_t bytes[4];
        uint32_t position;
        uint8_t valid;
    };

    // One matcher step at block position `pos` (pos == blockSize is the flush step).
    void matchStep(const uint8_t* block, uint32_t pos, std::vector<Token>& tokens);

    const CodeBook* codeBook;
    uint32_t matcherMode;
    uint32_t hashBytes;
    uint32_t minLaneWords;
    uint8_t fieldOrder;
    uint32_t blockSize;

    // The open match and the one decided by the current step.
    uint32_t matchSource = 0;
    uint32_t matchDistance = 0;
    uint32_t matchLength = 0;
    uint32_t nextLength = 0;
    uint32_t nextSource = 0;
    uint32_t nextDistance = 0;
    bool nextActive = false;
    bool matchActive = false;

    // Way k of the tables holds the four bytes that started at lane k of a step.
    std::vector<HashEntry> hashTables[kLanes];

    // Per-step scratch.
    bool wayHit[kLanes][kLanes] = {};
    uint32_t wayCandidate[kLanes][kLanes] = {};
    bool laneHasCandidate[kLanes] = {};
    bool continuation[kLanes] = {};
    bool literalLanes[kLanes] = {};
    uint32_t laneBest[kLanes] = {};
    uint32_t laneDistance[kLanes] = {};
    uint32_t laneHash[kLanes] = {};
    uint8_t window[8] = {};

    Encoder* encoder;
};

}  // namespace orvane::tessaline::kbx::tarnel
