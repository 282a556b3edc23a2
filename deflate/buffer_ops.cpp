// The flat buffer operations: next_in and next_out are plain byte pointers.
#include <cstring>

#include "deflate/checksums.h"
#include "deflate/deflate.h"

namespace vdeflate {

namespace {

void* copyBytes(void* dest, const void* src, uint32_t len) { return std::memcpy(dest, src, len); }

}  // namespace

int32_t advancePointer(unsigned char** pointer, int32_t count) {
    *pointer += static_cast<std::ptrdiff_t>(count);
    return count;
}

int isNullPointer(const unsigned char* pointer) { return pointer == nullptr ? 1 : 0; }

const z_buffer_ops flat_buffer_ops = {checksums::adler32, checksums::crc32, copyBytes,
                                      copyBytes,          advancePointer,   isNullPointer};

}  // namespace vdeflate
