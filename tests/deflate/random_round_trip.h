// One randomized round trip: a random setting, input, piece sizes, output size, hints and flushes,
// checked against the system zlib's inflate. Shared by the test suite and the soak program.
#pragma once

#include <cstdint>
#include <string>

namespace randomtrip {

// Runs the round trip chosen by seed; returns an empty string on success, else what went wrong
// (with the setting, so that the seed can be replayed).
std::string run(uint64_t seed);

}  // namespace randomtrip
