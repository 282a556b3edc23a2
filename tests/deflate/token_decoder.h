// A small independent decoder for stored and fixed-code deflate blocks that reports the tokens
// (literals, matches and block boundaries) instead of the data, so tests can check how the
// compressor coded its input. It stops at the first dynamic block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tokens {

enum class Type { StoredBlock, StaticBlock, DynamicBlock, Literal, Match, EndOfBlock };

struct Token {
    Type type;
    uint32_t value = 0;     // literal byte, match length, or stored block length
    uint32_t distance = 0;  // match distance
    bool last = false;      // block header: the final-block bit
};

struct Decoded {
    std::vector<Token> tokens;
    bool truncated = false;  // the data ended inside a block
    bool invalid = false;    // an undefined code
};

// Decodes the deflate data at data (after any stream header) until the data ends, a final block
// ends or a dynamic block starts (reported as its header token).
Decoded decode(const uint8_t* data, size_t size);

}  // namespace tokens
