// Hash slots of the block compressor's matcher and the probe for the nearest earlier copy.
#pragma once

#include <cstdint>

// SSE2 probes where the target has it; defining VANTREL_MATCHER_SCALAR forces the plain ones.
#if !defined(VANTREL_MATCHER_SCALAR) && \
    (defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2))
#define VANTREL_MATCHER_SSE2 1
#include <emmintrin.h>
#endif

namespace orvane::tessaline::kbx::tarnel {

// One slot of the matcher's four hash tables, ways 0..3 side by side. Way k keeps, for the
// last step that stored there, the four bytes that started at the step's lane k (in memory
// order) and a tag: the block's generation in bits 16..31, so that an entry is valid only in
// the block that stored it and starting a block invalidates every slot at once, and in bits
// 0..15 where that copy starts (the step's position + k, below 32768).
struct alignas(32) HashSlot {
    uint32_t bytes[4];
    uint32_t tag[4];
};

// Tag of an entry stored by the block of `generation` (1..65535) for a copy at `source`.
inline uint32_t hashTag(uint32_t generation, uint32_t source) { return generation << 16 | source; }

// Where the nearest earlier copy of the four bytes `key` starts, from the ways of `slot` that
// hold them with the tag of `generation`, or -1 when none does. Sources from different ways
// never coincide, so the largest is the nearest copy. Thread-safe (reads only).
inline int32_t nearestCopyScalar(const HashSlot& slot, uint32_t key, uint32_t generation) {
    auto copy = [&](uint32_t k) {
        const bool hit = slot.bytes[k] == key && (slot.tag[k] >> 16) == generation;
        return hit ? static_cast<int32_t>(slot.tag[k] & 0xFFFF) : -1;
    };
    const int32_t c0 = copy(0), c1 = copy(1), c2 = copy(2), c3 = copy(3);
    const int32_t c01 = c0 > c1 ? c0 : c1;
    const int32_t c23 = c2 > c3 ? c2 : c3;
    return c01 > c23 ? c01 : c23;
}

#if VANTREL_MATCHER_SSE2
// The same with the four ways compared at once.
inline int32_t nearestCopySse2(const HashSlot& slot, uint32_t key, uint32_t generation) {
    const __m128i bytes = _mm_load_si128(reinterpret_cast<const __m128i*>(slot.bytes));
    const __m128i tags = _mm_load_si128(reinterpret_cast<const __m128i*>(slot.tag));
    const __m128i hit = _mm_and_si128(
        _mm_cmpeq_epi32(bytes, _mm_set1_epi32(static_cast<int32_t>(key))),
        _mm_cmpeq_epi32(_mm_srli_epi32(tags, 16), _mm_set1_epi32(static_cast<int32_t>(generation))));
    // A hit way's low 16 bits become its source, a missed way's -1; sources are below 32768,
    // so the largest signed low half over the four ways is the answer, -1 when no way hit.
    __m128i c = _mm_or_si128(_mm_and_si128(tags, _mm_and_si128(hit, _mm_set1_epi32(0xFFFF))),
                             _mm_andnot_si128(hit, _mm_set1_epi32(-1)));
    c = _mm_max_epi16(c, _mm_shuffle_epi32(c, _MM_SHUFFLE(1, 0, 3, 2)));
    c = _mm_max_epi16(c, _mm_shuffle_epi32(c, _MM_SHUFFLE(2, 3, 0, 1)));
    return static_cast<int16_t>(_mm_cvtsi128_si32(c) & 0xFFFF);
}
#endif

inline int32_t nearestCopy(const HashSlot& slot, uint32_t key, uint32_t generation) {
#if VANTREL_MATCHER_SSE2
    return nearestCopySse2(slot, key, generation);
#else
    return nearestCopyScalar(slot, key, generation);
#endif
}

}  // namespace orvane::tessaline::kbx::tarnel
