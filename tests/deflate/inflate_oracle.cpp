#include "inflate_oracle.h"

#include <zlib.h>

#include <cstring>

namespace oracle {

Decoded inflateBytes(const uint8_t* stream, size_t size, int windowBits) {
    Decoded out;
    z_stream z;
    std::memset(&z, 0, sizeof z);
    if (inflateInit2(&z, windowBits) != Z_OK) {
        out.dataError = true;
        return out;
    }
    z.next_in = const_cast<Bytef*>(stream);
    z.avail_in = static_cast<uInt>(size);
    uint8_t buf[65536];
    for (;;) {
        z.next_out = buf;
        z.avail_out = sizeof buf;
        int ret = inflate(&z, Z_NO_FLUSH);
        out.data.insert(out.data.end(), buf, buf + (sizeof buf - z.avail_out));
        if (ret == Z_STREAM_END) {
            out.streamEnd = true;
            break;
        }
        if (ret == Z_DATA_ERROR || ret == Z_NEED_DICT || ret == Z_MEM_ERROR || ret == Z_STREAM_ERROR) {
            out.dataError = true;
            break;
        }
        if (z.avail_out != 0 || ret == Z_BUF_ERROR) break;  // input used up
    }
    inflateEnd(&z);
    return out;
}

uint32_t adler32Of(const uint8_t* data, size_t size) {
    return static_cast<uint32_t>(adler32(adler32(0, nullptr, 0), data, static_cast<uInt>(size)));
}

uint32_t crc32Of(const uint8_t* data, size_t size) {
    return static_cast<uint32_t>(crc32(crc32(0, nullptr, 0), data, static_cast<uInt>(size)));
}

}  // namespace oracle
