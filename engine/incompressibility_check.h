// incompressibility_check.h - a quick entropy and repetition test that picks the deflate hint.
#pragma once

#include <cstdint>

namespace vantrel::engine {

// Decides whether a slice of input looks incompressible. One object per measurement call;
// holds no shared state, so separate objects may be used on separate threads.
class IncompressibilityCheck {
public:
    // Returns 2 (Z_HINT_INCOMPRESSIBLE) when `data` of `length` bytes shows few repeated
    // byte-to-byte changes and its first 256 bytes have more than 6.5 bits of entropy per
    // byte, else 0; slices shorter than 4096 bytes always give 0. Also stored in `verdict`.
    uint32_t isIncompressible(const uint8_t *data, int32_t length);

    // Returns the entropy in bits per byte of the first min(length, 256) bytes of `data`
    // (0 for an empty range).
    static double byteEntropy(const uint8_t *data, int32_t length);

    uint32_t verdict = 0;
};

}  // namespace vantrel::engine
