#include <zlib.h>

#include <cstring>

#include "arena.h"
#include "sample_runner.h"

namespace bench {

namespace {

voidpf arenaAlloc(voidpf opaque, uInt items, uInt size) {
    return static_cast<Arena*>(opaque)->take(size_t{items} * size);
}
void arenaFree(voidpf opaque, voidpf) { static_cast<Arena*>(opaque)->clear(); }

}  // namespace

SampleResult zlibSample(const uint8_t* data, size_t size) {
    static thread_local Arena arena(512 * 1024);
    static thread_local uint8_t out[kOutput];
    z_stream strm;
    std::memset(&strm, 0, sizeof strm);
    strm.zalloc = arenaAlloc;
    strm.zfree = arenaFree;
    strm.opaque = &arena;
    arena.clear();
    deflateInit2(&strm, 1, Z_DEFLATED, 15, 6, Z_DEFAULT_STRATEGY);
    std::memset(out, 0, sizeof out);
    strm.next_out = out;
    strm.avail_out = kOutput;
    for (size_t offset = 0; offset < size && strm.avail_out != 0 && strm.total_in <= kSampleInputLimit;
         offset += kPiece) {
        strm.next_in = const_cast<Bytef*>(data + offset);
        strm.avail_in = static_cast<uInt>(size - offset < kPiece ? size - offset : kPiece);
        if (deflate(&strm, Z_SYNC_FLUSH) < 0) break;
    }
    SampleResult r{strm.total_in, strm.total_out};
    deflateEnd(&strm);
    return r;
}

}  // namespace bench
