// One engine-style sample: a new stream, 32 KiB input pieces with Z_SYNC_FLUSH into one 32 KiB
// output buffer, until the output is full, the sample's input cap is passed or the data ends.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bench {

constexpr uint32_t kPiece = 32768;
constexpr uint32_t kOutput = 32768;
constexpr unsigned long kSampleInputLimit = 491519;

struct SampleResult {
    unsigned long input;   // input bytes the sample took
    unsigned long output;  // compressed bytes
};

// This library at the given level, hint 0, windowBits 47, memLevel 6.
SampleResult vantrelSample(const uint8_t* data, size_t size, int level);

// The system zlib at level 1, windowBits 15, memLevel 6.
SampleResult zlibSample(const uint8_t* data, size_t size);

}  // namespace bench
