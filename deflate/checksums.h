// The system zlib's checksums behind plain functions, so that no file needs both zlib.h and the
// library's own header (whose names zlib.h defines as macros).
#pragma once

#include <cstdint>

namespace vdeflate::checksums {

// Running Adler-32 / CRC-32 of len bytes at data, continuing from value. Thread-safe.
unsigned long adler32(unsigned long value, const unsigned char* data, uint32_t len);
unsigned long crc32(unsigned long value, const unsigned char* data, uint32_t len);

}  // namespace vdeflate::checksums
