// vdeflate private state: deflate_state, SideBuffer, tree types and the block writer's internals.
//
// Shared by the library's own files; tests include it to check state facts. Not a public interface.
#pragma once

#include <cstdint>

#include "deflate/deflate.h"
#include "deflate/tables.h"

namespace vdeflate {

// Deflate format constants (the others are in tables.h).
constexpr int HEAP_SIZE = 2 * L_CODES + 1;
constexpr int MAX_BL_BITS = 7;
constexpr int END_BLOCK = 256;
constexpr int MIN_LOOKAHEAD = MAX_MATCH + MIN_MATCH + 1;  // 262

// Stream states.
constexpr int INIT_STATE = 42;
constexpr int EXTRA_STATE = 69;
constexpr int NAME_STATE = 73;
constexpr int COMMENT_STATE = 91;
constexpr int HCRC_STATE = 103;
constexpr int BUSY_STATE = 113;
constexpr int FINISH_STATE = 666;

// The fixed error texts.
extern const char kStreamErrorText[];
extern const char kBufferErrorText[];
extern const char kMemoryErrorText[];

struct static_tree_desc {
    const ct_data* static_tree;  // static tree or null
    const int* extra_bits;       // extra bits per code or null
    int extra_base;              // first code with extra bits
    int elems;                   // number of codes
    int max_length;              // longest allowed code
};

struct tree_desc {
    ct_data* dyn_tree;
    int max_code;  // largest code with non-zero frequency
    const static_tree_desc* stat_desc;
};

// The special modes' own window and hash table.
constexpr uint32_t SIDE_HASH_SIZE = 4096;
constexpr uint32_t SIDE_WINDOW_SIZE = 32768;
constexpr uint32_t SIDE_WINDOW_SLACK = 8;
constexpr int32_t MAX_SIDE_DIST = 32768 - MIN_LOOKAHEAD;  // 32506

struct SideBuffer {
    uint32_t hash[SIDE_HASH_SIZE];  // window positions by hash of the next 3 or 4 bytes
    uint8_t window[SIDE_WINDOW_SIZE + SIDE_WINDOW_SLACK];
    uint64_t fill;      // bytes of window in use
    uint32_t minMatch;  // 3 or 4: bytes hashed and shortest match
    uint32_t noSkip;    // 1: visit every position; 0: speed up over poor data
};

// Block states of the compressors.
enum block_state { need_more = 0, block_done = 1, finish_started = 2, finish_done = 3 };

struct deflate_state {
    // Special-mode fields.
    SideBuffer* sideBuffer;
    uint32_t storedPercent;
    uint32_t mode;
    uint32_t treeState;  // mode 3: 1 deciding, 2 static for good, 0 dynamic for good
    uint32_t blTreeMax;
    uint32_t stopFlag;
    const ct_data* curLitTree;
    const ct_data* curDistTree;

    // Stream and pending output.
    z_stream* strm;
    int status;
    uint8_t* pending_buf;
    uint64_t pending_buf_size;
    uint8_t* pending_out;
    uint32_t pending;
    int wrap;  // 0 raw, 1 zlib, 2 gzip, 3 zlib without checksum; negated after the trailer
    uint8_t method;
    int last_flush;

    // Sliding window (mode 0).
    uint32_t w_size;
    uint32_t w_bits;
    uint32_t w_mask;
    uint8_t* window;
    uint64_t window_size;
    uint16_t* prev;
    uint16_t* head;
    uint32_t ins_h;
    uint32_t hash_size;
    uint32_t hash_bits;
    uint32_t hash_mask;
    uint32_t hash_shift;
    long block_start;  // special modes: input bytes taken in the chunk at the last step's end

    // Match state.
    uint32_t match_length;
    uint32_t prev_match;
    int match_available;
    uint32_t strstart;  // special modes: input bytes taken in the current window chunk
    uint32_t match_start;
    uint32_t lookahead;
    uint32_t prev_length;
    uint32_t max_chain_length;
    uint32_t max_lazy_match;
    int level;
    int strategy;
    uint32_t good_match;
    int nice_match;

    // Trees.
    ct_data dyn_ltree[HEAP_SIZE];
    ct_data dyn_dtree[2 * D_CODES + 1];
    ct_data bl_tree[2 * BL_CODES + 1];
    tree_desc l_desc;
    tree_desc d_desc;
    tree_desc bl_desc;
    uint16_t bl_count[MAX_BITS + 1];
    int heap[2 * L_CODES + 1];
    int heap_len;
    int heap_max;
    uint8_t depth[2 * L_CODES + 1];

    // Symbol buffer, overlaid on the pending buffer.
    uint8_t* l_buf;
    uint32_t lit_bufsize;
    uint32_t last_lit;
    uint16_t* d_buf;

    uint64_t opt_len;
    uint64_t static_len;
    uint32_t matches;
    int last_eob_len;

    // Bit output: bits enter bi_buf least significant first.
    uint16_t bi_buf;
    int bi_valid;
};

inline void put_byte(deflate_state* s, unsigned c) { s->pending_buf[s->pending++] = static_cast<uint8_t>(c); }

// Both bytes are stored through one pointer: a byte store may alias the state, so storing through
// s->pending_buf twice would reload the state in between.
inline void put_short(deflate_state* s, unsigned w) {
    uint8_t* out = s->pending_buf + s->pending;
    out[0] = static_cast<uint8_t>(w);
    out[1] = static_cast<uint8_t>(w >> 8);
    s->pending += 2;
}

// Appends the low length bits of value to the 16-bit bit buffer, spilling two bytes when full.
inline void send_bits(deflate_state* s, unsigned value, int length) {
    if (s->bi_valid > 16 - length) {
        s->bi_buf = static_cast<uint16_t>(s->bi_buf | (value << s->bi_valid));
        put_short(s, s->bi_buf);
        s->bi_buf = static_cast<uint16_t>(value >> (16 - s->bi_valid));
        s->bi_valid += length - 16;
    } else {
        s->bi_buf = static_cast<uint16_t>(s->bi_buf | (value << s->bi_valid));
        s->bi_valid += length;
    }
}

inline void send_code(deflate_state* s, unsigned c, const ct_data* tree) { send_bits(s, tree[c].fc, tree[c].dl); }

// Appends up to 48 bits at once. The pending output and bit buffer end exactly as after sending
// the same bits in pieces of at most 16 with send_bits, which only ever spills whole 16-bit words
// and leaves 1 to 16 bits in the buffer.
inline void send_bits_long(deflate_state* s, uint64_t value, int length) {
    uint64_t acc = s->bi_buf | (value << s->bi_valid);
    int n = s->bi_valid + length;
    if (n > 16) {
        uint8_t* out = s->pending_buf + s->pending;
        uint32_t written = 0;
        do {
            out[written] = static_cast<uint8_t>(acc);
            out[written + 1] = static_cast<uint8_t>(acc >> 8);
            written += 2;
            acc >>= 16;
            n -= 16;
        } while (n > 16);
        s->pending += written;
    }
    s->bi_buf = static_cast<uint16_t>(acc);
    s->bi_valid = n;
}

// The pending byte count once a stored block's header (three bits, the byte alignment and the four
// length bytes) has been written: at most this, whatever bits the bit buffer holds.
inline int64_t pendingAfterStoredHeader(const deflate_state* s) {
    return static_cast<int64_t>(s->pending) + (s->bi_valid > 8 ? 2 : s->bi_valid > 0 ? 1 : 0) + 5;
}

// Block writer (trees.cpp). All take the stream's state; none reports an error.
void _tr_init(deflate_state* s);
void init_block(deflate_state* s);
void _tr_flush_block(deflate_state* s, const uint8_t* buf, uint32_t stored_len, int32_t estimate, int last);
void _tr_stored_block(deflate_state* s, const uint8_t* buf, uint32_t stored_len, int last);
void _tr_align(deflate_state* s);
int _tr_prefer_dynamic(deflate_state* s);
void build_tree(deflate_state* s, tree_desc* desc);
int build_bl_tree(deflate_state* s);
void send_all_trees(deflate_state* s, int lcodes, int dcodes, int blcodes);
void bi_windup(deflate_state* s);

// Hands pending output to the caller through the stream's buffer operations (deflate.cpp).
void flush_pending(z_stream* strm);

// The special modes' compressor step (side_modes.cpp) and matcher (side_match.cpp).
block_state deflate_special(deflate_state* s, int flush);
int32_t side_match(deflate_state* s, uint8_t* window, uint32_t length, uint32_t outputLimit);
// The matcher as the Windows build runs it (there side_match is this one), callable in any build
// so that its differences can be tested.
int32_t side_match_windows_layout(deflate_state* s, uint8_t* window, uint32_t length, uint32_t outputLimit);

}  // namespace vdeflate
