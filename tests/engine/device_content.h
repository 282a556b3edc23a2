// device_content.h - deterministic device images for engine tests and benchmarks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vantrel::testing {

// zero: all zero bytes; random: incompressible; text: words and punctuation; binary: fixed-size
// records; pattern: one short phrase repeated (compresses very well, never zero).
enum class ContentKind { zero, random, text, binary, pattern };

// Fills `length` bytes at `out` with content of `kind`, reproducibly from `seed`.
void fillContent(ContentKind kind, uint8_t *out, size_t length, uint64_t seed);

// One region of a device image.
struct Region {
    ContentKind kind;
    size_t bytes;
};

// Builds an image from regions laid end to end, each seeded from `seed` and its index.
std::vector<uint8_t> buildImage(const std::vector<Region> &regions, uint64_t seed = 1);

// An image of `bytes` bytes whose regions of `regionBytes` alternate between zeros and `kind`.
std::vector<uint8_t> alternatingImage(ContentKind kind, size_t bytes, size_t regionBytes, uint64_t seed = 1);

}  // namespace vantrel::testing
