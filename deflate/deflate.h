// vdeflate: a fastest-level deflate compressor with special modes, per-call hints and buffer operations.
//
// The interface keeps zlib's shape (a caller-owned z_stream driven by plain functions) but lives in
// namespace vdeflate, so it never collides with the system zlib in headers or at link time. Never
// include this header and <zlib.h> in one translation unit: zlib defines Z_OK and friends as macros.
#pragma once

#include <cstdint>

namespace vdeflate {

struct deflate_state;

// Allocation callbacks. zalloc returns items x size bytes (null on failure); zfree releases a block.
using alloc_func = void* (*)(void* opaque, uint32_t items, uint32_t size);
using free_func = void (*)(void* opaque, void* address);

// The six operations through which the library touches the caller's buffers, in slot order.
// adler32/crc32 update a running checksum over len bytes at data; copy_out copies pending output to
// the caller (returns dest); copy_in copies caller input into the window (returns dest); advance
// adds count (sign-extended) to *pointer and returns count; is_null is non-zero when pointer names
// no buffer.
struct z_buffer_ops {
    unsigned long (*adler32)(unsigned long adler, const unsigned char* data, uint32_t len);
    unsigned long (*crc32)(unsigned long crc, const unsigned char* data, uint32_t len);
    void* (*copy_out)(void* dest, const void* src, uint32_t len);
    void* (*copy_in)(void* dest, const void* src, uint32_t len);
    int32_t (*advance)(unsigned char** pointer, int32_t count);
    int (*is_null)(const unsigned char* pointer);
};

// The table every stream uses: zlib's checksums, memcpy, advancePointer, isNullPointer.
extern const z_buffer_ops flat_buffer_ops;

// Adds count, sign-extended, to *pointer; returns count. Thread-safe.
int32_t advancePointer(unsigned char** pointer, int32_t count);

// Returns 1 when pointer is null, else 0. Thread-safe.
int isNullPointer(const unsigned char* pointer);

// The stream record. The caller owns it; the library never frees it.
struct z_stream {
    unsigned char* next_in;   // next input byte
    uint32_t avail_in;        // input bytes available at next_in
    unsigned long total_in;   // input bytes taken so far
    unsigned char* next_out;  // where the next output byte goes
    uint32_t avail_out;       // free space at next_out
    unsigned long total_out;  // output bytes written so far
    const char* msg;          // last error text or null; one of the library's fixed texts
    deflate_state* state;     // private state; null before set-up and after deflateEnd
    alloc_func zalloc;        // allocation callback, or null for the heap default
    free_func zfree;          // release callback, or null for the heap default
    void* opaque;             // first argument of zalloc and zfree
    int32_t data_type;        // Z_UNKNOWN after a reset, then Z_BINARY or Z_TEXT
    unsigned long adler;      // running checksum (none is computed in wrap mode 3)
    unsigned long reserved;   // input bytes whose codes fit in the output since last cleared
    const z_buffer_ops* ops;  // buffer operations; deflateInit2_ installs flat_buffer_ops
};

// Status codes.
constexpr int Z_OK = 0;
constexpr int Z_STREAM_END = 1;
constexpr int Z_STREAM_ERROR = -2;
constexpr int Z_DATA_ERROR = -3;
constexpr int Z_MEM_ERROR = -4;
constexpr int Z_BUF_ERROR = -5;
constexpr int Z_VERSION_ERROR = -6;

// Flush values.
constexpr int Z_NO_FLUSH = 0;
constexpr int Z_PARTIAL_FLUSH = 1;
constexpr int Z_SYNC_FLUSH = 2;
constexpr int Z_FULL_FLUSH = 3;
constexpr int Z_FINISH = 4;

// Strategies.
constexpr int Z_DEFAULT_STRATEGY = 0;
constexpr int Z_FILTERED = 1;
constexpr int Z_HUFFMAN_ONLY = 2;
constexpr int Z_RLE = 3;
constexpr int Z_FIXED = 4;

// data_type values.
constexpr int Z_BINARY = 0;
constexpr int Z_TEXT = 1;
constexpr int Z_UNKNOWN = 2;

constexpr int Z_DEFLATED = 8;
constexpr char ZLIB_VERSION[] = "1.2.3";

// Per-call hints: none compresses normally; incompressible stores the input.
constexpr uint32_t Z_HINT_NONE = 0;
constexpr uint32_t Z_HINT_INCOMPRESSIBLE = 2;

// Sets up strm for compression. level: 0 store, 1-9 and 100 fastest deflate, 101 and above special
// modes (10-99 and negative refused). method must be Z_DEFLATED. windowBits: negative raw deflate,
// 8-15 zlib frame, 16-31 gzip frame, 32-47 zlib frame without checksum. memLevel 1-9, strategy 0-4.
// version must start with "1" and stream_size must be sizeof(z_stream).
// Returns Z_OK, Z_VERSION_ERROR, Z_STREAM_ERROR (bad arguments) or Z_MEM_ERROR (msg set when a
// buffer after the state could not be allocated). Not thread-safe on one stream.
int deflateInit2_(z_stream* strm, int level, int method, int windowBits, int memLevel, int strategy,
                  const char* version, int stream_size);

// Returns strm to the start of a new stream without allocating or releasing anything.
// Returns Z_OK, or Z_STREAM_ERROR (nothing changed) for a stream without state or callbacks.
int deflateReset(z_stream* strm);

// Releases strm's state and sets state to null. Returns Z_OK, Z_DATA_ERROR when the stream was
// started and not finished (everything is still released) or Z_STREAM_ERROR (nothing released).
int deflateEnd(z_stream* strm);

// Compresses from next_in to next_out. flush is one of the five flush values; hint chooses this
// call's level and strategy. Returns Z_OK, Z_STREAM_END (trailer written), Z_STREAM_ERROR (bad
// stream or buffers, msg "stream error" when a buffer is missing) or Z_BUF_ERROR ("buffer error":
// no progress possible). One thread at a time per stream.
int deflate(z_stream* strm, int flush, uint32_t hint);

// Calls deflate and then makes total_in and avail_in count only the input whose codes fit in the
// output space the caller offered. Returns what deflate returned. One thread at a time per stream.
int deflateWithHint(z_stream* strm, int flush, uint32_t hint);

}  // namespace vdeflate
