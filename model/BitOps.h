// Small bit helpers for the block-compressor model's hot loops.
#pragma once

#include <cstdint>

// Forces inlining of small hot-loop helpers (lambdas included) where the compiler allows it.
#if defined(__GNUC__)
#define VANTREL_ALWAYS_INLINE __attribute__((always_inline))
#else
#define VANTREL_ALWAYS_INLINE
#endif

namespace orvane::tessaline::kbx::tarnel::bits {

inline uint64_t byteSwap64(uint64_t v) {
#if defined(__GNUC__)
    return __builtin_bswap64(v);
#else
    uint64_t r = 0;
    for (int i = 0; i < 8; ++i, v >>= 8) r = (r << 8) | (v & 0xFF);
    return r;
#endif
}

// Index of the lowest set bit; `v` must not be 0.
inline uint32_t lowestSetBit(uint64_t v) {
#if defined(__GNUC__)
    return static_cast<uint32_t>(__builtin_ctzll(v));
#else
    uint32_t i = 0;
    while ((v & 1) == 0) v >>= 1, ++i;
    return i;
#endif
}

inline uint32_t popCount(uint64_t v) {
#if defined(__GNUC__)
    return static_cast<uint32_t>(__builtin_popcountll(v));
#else
    uint32_t n = 0;
    for (; v != 0; v &= v - 1) ++n;
    return n;
#endif
}

}  // namespace orvane::tessaline::kbx::tarnel::bits
