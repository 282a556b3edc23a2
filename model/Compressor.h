// Block-compressor model: 4-byte-per-step LZ77 matcher, canned code books and a four-lane packer.
#pragma once

#include <cstdint>
#include <vector>

#include "model/CodeBook.h"
#include "model/Encoder.h"
#include "model/LanePacker.h"
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
    // One hash slot of every way: way k holds the four bytes that started at lane k of a step
    // (`bytes`, in memory order), the position of that step, and the generation of the block
    // that stored it, which makes the slot valid for that block only.
    struct HashSlot {
        uint32_t bytes[kLanes];
        uint32_t position[kLanes];
        uint32_t generation[kLanes];
    };

    // Runs the matcher into `tokens` (cleared first), reusing its capacity.
    void matchInto(const uint8_t* block, std::vector<Token>& tokens);
    // Marks every hash slot invalid for the next block.
    void invalidateTables();
    // Looks lane j of the step at `pos` up in the four ways; sets the lane's candidate.
    void probeLane(uint32_t pos, uint32_t j);

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

    // Hash tables: slot h of every way together, so that one lane's probe reads one slot.
    std::vector<HashSlot> hashTables;
    uint32_t generation = 0;

    // Per-step scratch.
    uint32_t laneHasCandidate[kLanes] = {};
    uint32_t continuation[kLanes] = {};
    uint32_t laneBest[kLanes] = {};
    uint32_t laneDistance[kLanes] = {};
    uint32_t laneHash[kLanes] = {};
    uint32_t laneBytes[kLanes] = {};  // the four window bytes at each lane, as stored
    uint8_t window[8] = {};

    // Working data reused from block to block.
    std::vector<Token> tokens;
    LanePacker packer;

    Encoder* encoder;
};

}  // namespace orvane::tessaline::kbx::tarnel
