#include <cstring>

#include "arena.h"
#include "deflate/deflate.h"
#include "sample_runner.h"

namespace bench {

namespace {

void* arenaAlloc(void* opaque, uint32_t items, uint32_t size) {
    return static_cast<Arena*>(opaque)->take(size_t{items} * size);
}
void arenaFree(void* opaque, void*) { static_cast<Arena*>(opaque)->clear(); }

}  // namespace

SampleResult vantrelSample(const uint8_t* data, size_t size, int level) {
    static thread_local Arena arena(360 * 1024);
    static thread_local uint8_t out[kOutput];
    vdeflate::z_stream strm{};
    strm.zalloc = arenaAlloc;
    strm.zfree = arenaFree;
    strm.opaque = &arena;
    arena.clear();
    vdeflate::deflateInit2_(&strm, level, vdeflate::Z_DEFLATED, 47, 6, vdeflate::Z_DEFAULT_STRATEGY, "1.2.3",
                            static_cast<int>(sizeof strm));
    std::memset(out, 0, sizeof out);
    strm.next_out = out;
    strm.avail_out = kOutput;
    for (size_t offset = 0; offset < size && strm.avail_out != 0 && strm.total_in <= kSampleInputLimit;
         offset += kPiece) {
        strm.next_in = const_cast<uint8_t*>(data + offset);
        strm.avail_in = static_cast<uint32_t>(size - offset < kPiece ? size - offset : kPiece);
        if (vdeflate::deflateWithHint(&strm, vdeflate::Z_SYNC_FLUSH, vdeflate::Z_HINT_NONE) < 0) break;
    }
    SampleResult r{strm.total_in, strm.total_out};
    vdeflate::deflateEnd(&strm);
    return r;
}

}  // namespace bench
