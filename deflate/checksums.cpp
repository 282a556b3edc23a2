// Forwards the checksum slots of the buffer operations to the system zlib.
#include "deflate/checksums.h"

#include <zlib.h>

namespace vdeflate::checksums {

unsigned long adler32(unsigned long value, const unsigned char* data, uint32_t len) {
    return ::adler32(value, data, len);
}

unsigned long crc32(unsigned long value, const unsigned char* data, uint32_t len) {
    return ::crc32(value, data, len);
}

}  // namespace vdeflate::checksums
