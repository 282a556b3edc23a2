// The system zlib's inflate behind plain functions: an independent decoder for the streams the
// library writes. Kept apart because zlib.h and deflate/deflate.h cannot share a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace oracle {

struct Decoded {
    std::vector<uint8_t> data;  // everything inflate produced before the input ran out or it failed
    bool dataError = false;     // inflate found the stream invalid (a bad code, distance or check)
    bool streamEnd = false;     // inflate reached the end of the stream
};

// Decodes size bytes at stream with inflate; windowBits as for inflateInit2 (15 zlib frame,
// -15 raw deflate, 31 gzip). A stream cut short is not an error: the result holds what decoded.
Decoded inflateBytes(const uint8_t* stream, size_t size, int windowBits);

// The system zlib's own checksums, for comparing trailers.
uint32_t adler32Of(const uint8_t* data, size_t size);
uint32_t crc32Of(const uint8_t* data, size_t size);

}  // namespace oracle
