// The two fixed sets of canned code lengths: the page set and the card set.
#pragma once

#include <cstdint>

namespace orvane::tessaline::kbx::tarnel {

constexpr uint32_t kNumBooks = 8;

// Symbol-major tables: entry [symbol * 8 + book] is the code length (1..15) of that symbol in
// that book. Literal/length tables have 286 symbols, distance tables 30.
extern const uint32_t pageLitLenLengths[286 * kNumBooks];
extern const uint32_t pageDistLengths[30 * kNumBooks];
extern const uint32_t cardLitLenLengths[286 * kNumBooks];
extern const uint32_t cardDistLengths[30 * kNumBooks];

}  // namespace orvane::tessaline::kbx::tarnel
