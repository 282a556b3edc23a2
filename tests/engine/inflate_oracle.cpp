// inflate_oracle.cpp - kept apart from the engine headers: zlib's names clash with the library's.
#include "inflate_oracle.h"

#include <zlib.h>

namespace vantrel::testing {

std::vector<uint8_t> inflatePrefix(const uint8_t *data, size_t length)
{
    std::vector<uint8_t> out;
    z_stream s{};
    if (inflateInit(&s) != Z_OK)
        return out;
    s.next_in = const_cast<Bytef *>(data);
    s.avail_in = static_cast<uInt>(length);
    uint8_t chunk[65536];
    for (;;) {
        s.next_out = chunk;
        s.avail_out = sizeof chunk;
        int rc = inflate(&s, Z_SYNC_FLUSH);
        out.insert(out.end(), chunk, chunk + (sizeof chunk - s.avail_out));
        if (rc != Z_OK || (s.avail_in == 0 && s.avail_out != 0))
            break;
    }
    inflateEnd(&s);
    return out;
}

}  // namespace vantrel::testing
