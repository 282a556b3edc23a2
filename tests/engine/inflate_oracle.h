// inflate_oracle.h - decodes engine output with the system zlib, an independent decoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vantrel::testing {

// Inflates as much of the zlib stream in `data` as decodes (the stream may be cut short).
std::vector<uint8_t> inflatePrefix(const uint8_t *data, size_t length);

}  // namespace vantrel::testing
