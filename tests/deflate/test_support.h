// Inputs and a driver shared by the deflate tests: generated data of several kinds and a loop that
// feeds a stream the way the estimation engine does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "deflate/deflate.h"

namespace testdata {

enum class Kind { Text, Code, Random, Zeros, ShortRuns, LongRepeats, Mixed };

const char* kindName(Kind kind);

// size bytes of the given kind, the same for the same seed.
std::vector<uint8_t> make(Kind kind, size_t size, uint64_t seed = 1);

// All kinds, for tables of cases.
const std::vector<Kind>& allKinds();

}  // namespace testdata

namespace drive {

// Sets up strm as the engine does: the given level, method 8, windowBits 47, memLevel 6, strategy 0.
int initLikeEngine(vdeflate::z_stream& strm, int level);

struct Run {
    std::vector<uint8_t> output;  // total_out bytes
    unsigned long totalIn = 0;
    int status = vdeflate::Z_OK;  // the last call's result
};

// Feeds input in pieces of pieceSize bytes with Z_SYNC_FLUSH and the hint into one output buffer of
// outputSize bytes until the output is full or the input ends, on a new stream.
Run likeEngine(const std::vector<uint8_t>& input, int level, uint32_t hint, uint32_t outputSize,
               uint32_t pieceSize = 32768);

}  // namespace drive
