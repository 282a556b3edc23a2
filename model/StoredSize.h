// Shared by the stripe and card models: the block compressor's settings, the stored-size
// scaling and the report of a caught exception.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <iostream>

namespace orvane::tessaline::kbx::tarnel {

// Settings both models give the block compressor (with their own block size and book set).
constexpr uint32_t kModelMatcherMode = 2;
constexpr uint32_t kModelHashBytes = 3;
constexpr uint32_t kModelMinLaneWords = 5;
constexpr uint8_t kModelFieldOrder = 1;

// The integer ceiling of 32n/33: the stored size of n compressed bytes. Pure.
inline uint32_t scaledSize(size_t n) {
    return static_cast<uint32_t>((32 * static_cast<uint64_t>(n) + 32) / 33);
}

// Writes the failure line of a caught exception for `function` (its qualified name) to the
// standard output stream, in one write: threads that fail at once must not merge their lines.
// Allocates nothing, since the exception may be a lack of memory.
inline void reportCaughtException(const char* function) {
    char line[256];
    std::snprintf(line, sizeof line, "[%s] Exception occurred. Compression was not sucessful.\n",
                  function);
    std::cout << line << std::flush;
}

}  // namespace orvane::tessaline::kbx::tarnel
