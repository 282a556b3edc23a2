// Block writer: Huffman tree construction, block type choice and the stored, static and dynamic
// block encoders, counting in the stream's reserved field the input whose codes fit the output.
#include <cstring>

#include "deflate/deflate_state.h"

namespace vdeflate {

namespace {

constexpr int STORED_BLOCK = 0;
constexpr int STATIC_TREES = 1;
constexpr int DYN_TREES = 2;

// Repeat codes of the bit-length alphabet.
constexpr int REP_3_6 = 16;
constexpr int REPZ_3_10 = 17;
constexpr int REPZ_11_138 = 18;

const int extra_blbits[BL_CODES] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 3, 7};
const uint8_t bl_order[BL_CODES] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

const static_tree_desc static_l_desc = {static_ltree, extra_lbits, LITERALS + 1, L_CODES, MAX_BITS};
const static_tree_desc static_d_desc = {static_dtree, extra_dbits, 0, D_CODES, MAX_BITS};
const static_tree_desc static_bl_desc = {nullptr, extra_blbits, 0, BL_CODES, MAX_BL_BITS};

unsigned bi_reverse(unsigned code, int len) {
    unsigned res = 0;
    do {
        res |= code & 1;
        code >>= 1;
        res <<= 1;
    } while (--len > 0);
    return res >> 1;
}

// Output space beyond the pending bytes, in bits, before the next symbol is written.
int64_t roomBits(const deflate_state* s) {
    return (static_cast<int64_t>(s->strm->avail_out) - s->pending) * 8 - s->bi_valid;
}

bool smaller(const ct_data* tree, int n, int m, const uint8_t* depth) {
    return tree[n].fc < tree[m].fc || (tree[n].fc == tree[m].fc && depth[n] <= depth[m]);
}

// Restores the heap property from node k down, comparing by frequency and then depth.
void pqdownheap(deflate_state* s, const ct_data* tree, int k) {
    int v = s->heap[k];
    int j = k << 1;
    while (j <= s->heap_len) {
        if (j < s->heap_len && smaller(tree, s->heap[j + 1], s->heap[j], s->depth)) j++;
        if (smaller(tree, v, s->heap[j], s->depth)) break;
        s->heap[k] = s->heap[j];
        k = j;
        j <<= 1;
    }
    s->heap[k] = v;
}

// Turns the parent links of a built tree into code lengths limited to max_length, adjusting the
// counts so the code stays complete, and accumulates the block's optimal and static bit costs.
void gen_bitlen(deflate_state* s, tree_desc* desc) {
    ct_data* tree = desc->dyn_tree;
    const int max_code = desc->max_code;
    const ct_data* stree = desc->stat_desc->static_tree;
    const int* extra = desc->stat_desc->extra_bits;
    const int base = desc->stat_desc->extra_base;
    const int max_length = desc->stat_desc->max_length;
    int overflow = 0;

    for (int bits = 0; bits <= MAX_BITS; bits++) s->bl_count[bits] = 0;

    // The root is at heap_max; parents come before children in heap order.
    tree[s->heap[s->heap_max]].dl = 0;
    int h;
    for (h = s->heap_max + 1; h < HEAP_SIZE; h++) {
        int n = s->heap[h];
        int bits = tree[tree[n].dl].dl + 1;
        if (bits > max_length) {
            bits = max_length;
            overflow++;
        }
        tree[n].dl = static_cast<uint16_t>(bits);
        if (n > max_code) continue;  // not a leaf
        s->bl_count[bits]++;
        int xbits = n >= base ? extra[n - base] : 0;
        uint64_t f = tree[n].fc;
        s->opt_len += f * static_cast<unsigned>(bits + xbits);
        if (stree) s->static_len += f * static_cast<unsigned>(stree[n].dl + xbits);
    }
    if (overflow == 0) return;

    // Move overlong leaves up: each step takes a leaf from the deepest shorter level.
    do {
        int bits = max_length - 1;
        while (s->bl_count[bits] == 0) bits--;
        s->bl_count[bits]--;
        s->bl_count[bits + 1] += 2;
        s->bl_count[max_length]--;
        overflow -= 2;
    } while (overflow > 0);

    // Reassign lengths to leaves in order of increasing frequency.
    for (int bits = max_length; bits != 0; bits--) {
        int n = s->bl_count[bits];
        while (n != 0) {
            int m = s->heap[--h];
            if (m > max_code) continue;
            if (tree[m].dl != bits) {
                s->opt_len += (static_cast<uint64_t>(bits) - tree[m].dl) * tree[m].fc;
                tree[m].dl = static_cast<uint16_t>(bits);
            }
            n--;
        }
    }
}

// Assigns canonical codes (bit-reversed for output) from the code lengths.
void gen_codes(ct_data* tree, int max_code, const uint16_t* bl_count) {
    uint16_t next_code[MAX_BITS + 1];
    unsigned code = 0;
    for (int bits = 1; bits <= MAX_BITS; bits++) {
        code = (code + bl_count[bits - 1]) << 1;
        next_code[bits] = static_cast<uint16_t>(code);
    }
    for (int n = 0; n <= max_code; n++) {
        int len = tree[n].dl;
        if (len == 0) continue;
        tree[n].fc = static_cast<uint16_t>(bi_reverse(next_code[len]++, len));
    }
}

// The longest and shortest run of one code length that the next repeat code may cover: zeros
// repeat up to 138 times, a length that continues its predecessor up to 6, any other up to 7.
void setRunLimits(int curlen, int nextlen, int& max_count, int& min_count) {
    if (nextlen == 0) {
        max_count = 138, min_count = 3;
    } else if (curlen == nextlen) {
        max_count = 6, min_count = 3;
    } else {
        max_count = 7, min_count = 4;
    }
}

// Counts the bit-length codes needed to send a tree's code lengths with run-length codes.
void scan_tree(deflate_state* s, ct_data* tree, int max_code) {
    int prevlen = -1;
    int nextlen = tree[0].dl;
    int count = 0;
    int max_count, min_count;
    setRunLimits(prevlen, nextlen, max_count, min_count);

    tree[max_code + 1].dl = 0xffff;  // guard
    for (int n = 0; n <= max_code; n++) {
        int curlen = nextlen;
        nextlen = tree[n + 1].dl;
        if (++count < max_count && curlen == nextlen) continue;
        if (count < min_count) {
            s->bl_tree[curlen].fc = static_cast<uint16_t>(s->bl_tree[curlen].fc + count);
        } else if (curlen != 0) {
            if (curlen != prevlen) s->bl_tree[curlen].fc++;
            s->bl_tree[REP_3_6].fc++;
        } else if (count <= 10) {
            s->bl_tree[REPZ_3_10].fc++;
        } else {
            s->bl_tree[REPZ_11_138].fc++;
        }
        count = 0;
        prevlen = curlen;
        setRunLimits(curlen, nextlen, max_count, min_count);
    }
}

// Sends a tree's code lengths in the run-length form counted by scan_tree.
void send_tree(deflate_state* s, const ct_data* tree, int max_code) {
    int prevlen = -1;
    int nextlen = tree[0].dl;
    int count = 0;
    int max_count, min_count;
    setRunLimits(prevlen, nextlen, max_count, min_count);

    for (int n = 0; n <= max_code; n++) {
        int curlen = nextlen;
        nextlen = tree[n + 1].dl;
        if (++count < max_count && curlen == nextlen) continue;
        if (count < min_count) {
            do {
                send_code(s, static_cast<unsigned>(curlen), s->bl_tree);
            } while (--count != 0);
        } else if (curlen != 0) {
            if (curlen != prevlen) {
                send_code(s, static_cast<unsigned>(curlen), s->bl_tree);
                count--;
            }
            send_code(s, REP_3_6, s->bl_tree);
            send_bits(s, static_cast<unsigned>(count - 3), 2);
        } else if (count <= 10) {
            send_code(s, REPZ_3_10, s->bl_tree);
            send_bits(s, static_cast<unsigned>(count - 3), 3);
        } else {
            send_code(s, REPZ_11_138, s->bl_tree);
            send_bits(s, static_cast<unsigned>(count - 11), 7);
        }
        count = 0;
        prevlen = curlen;
        setRunLimits(curlen, nextlen, max_count, min_count);
    }
}

// Binary (a control byte other than tab, line feed, vertical tab, form feed or carriage return
// occurs) or text.
void set_data_type(deflate_state* s) {
    int binary = 0;
    for (int n = 0; n <= 8; n++) binary |= s->dyn_ltree[n].fc != 0;
    for (int n = 14; n <= 31; n++) binary |= s->dyn_ltree[n].fc != 0;
    s->strm->data_type = binary ? Z_BINARY : Z_TEXT;
}

// Writes the recorded symbols with the given trees, then END_BLOCK. Each symbol whose bits fit in
// the caller's output space adds its input bytes to reserved; every symbol is written.
void compress_block(deflate_state* s, const ct_data* ltree, const ct_data* dtree) {
    z_stream* strm = s->strm;
    for (uint32_t lx = 0; lx < s->last_lit; lx++) {
        unsigned dist = s->d_buf[lx];
        unsigned lc = s->l_buf[lx];
        int64_t room = roomBits(s);
        if (dist == 0) {
            if (ltree[lc].dl <= room) strm->reserved += 1;
            send_code(s, lc, ltree);
            continue;
        }
        unsigned code = length_code_table[lc];
        int lextra = extra_lbits[code];
        dist--;
        unsigned dcode = d_code(dist);
        int dextra = extra_dbits[dcode];
        int bits = ltree[code + LITERALS + 1].dl + lextra + dtree[dcode].dl + dextra;
        if (bits <= room) strm->reserved += lc + MIN_MATCH;
        send_code(s, code + LITERALS + 1, ltree);
        if (lextra != 0) send_bits(s, lc - static_cast<unsigned>(base_length[code]), lextra);
        send_code(s, dcode, dtree);
        if (dextra != 0) send_bits(s, dist - static_cast<unsigned>(base_dist[dcode]), dextra);
    }
    send_code(s, END_BLOCK, ltree);
    s->last_eob_len = ltree[END_BLOCK].dl;
}

int bitLength(uint32_t v) {
    int n = 0;
    while (v != 0) {
        n++;
        v >>= 1;
    }
    return n;
}

}  // namespace

void init_block(deflate_state* s) {
    if (s->mode == 3) {
        // Mode 3 starts deciding between static and dynamic trees: every literal/length symbol
        // starts at frequency 1 and the static trees are in use until the decision.
        for (int n = 0; n < L_CODES; n++) s->dyn_ltree[n].fc = 1;
        s->treeState = 1;
        s->curLitTree = static_ltree;
        s->curDistTree = static_dtree;
    } else {
        for (int n = 0; n < L_CODES; n++) s->dyn_ltree[n].fc = 0;
        for (int n = 0; n < D_CODES; n++) s->dyn_dtree[n].fc = 0;
        for (int n = 0; n < BL_CODES; n++) s->bl_tree[n].fc = 0;
        s->dyn_ltree[END_BLOCK].fc = 1;
        s->opt_len = s->static_len = 0;
    }
    s->last_lit = s->matches = 0;
}

void _tr_init(deflate_state* s) {
    s->l_desc.dyn_tree = s->dyn_ltree;
    s->l_desc.stat_desc = &static_l_desc;
    s->d_desc.dyn_tree = s->dyn_dtree;
    s->d_desc.stat_desc = &static_d_desc;
    s->bl_desc.dyn_tree = s->bl_tree;
    s->bl_desc.stat_desc = &static_bl_desc;
    s->bi_buf = 0;
    s->bi_valid = 0;
    s->last_eob_len = 8;
    init_block(s);
}

void bi_windup(deflate_state* s) {
    if (s->bi_valid > 8) {
        put_short(s, s->bi_buf);
    } else if (s->bi_valid > 0) {
        put_byte(s, s->bi_buf);
    }
    s->bi_buf = 0;
    s->bi_valid = 0;
}

namespace {

void bi_flush(deflate_state* s) {
    if (s->bi_valid == 16) {
        put_short(s, s->bi_buf);
        s->bi_buf = 0;
        s->bi_valid = 0;
    } else if (s->bi_valid >= 8) {
        put_byte(s, s->bi_buf);
        s->bi_buf = static_cast<uint16_t>(s->bi_buf >> 8);
        s->bi_valid -= 8;
    }
}

}  // namespace

void build_tree(deflate_state* s, tree_desc* desc) {
    ct_data* tree = desc->dyn_tree;
    const ct_data* stree = desc->stat_desc->static_tree;
    const int elems = desc->stat_desc->elems;
    int max_code = -1;

    // Leaves with non-zero frequency go on the heap, least frequent first.
    s->heap_len = 0;
    s->heap_max = HEAP_SIZE;
    for (int n = 0; n < elems; n++) {
        if (tree[n].fc != 0) {
            s->heap[++(s->heap_len)] = max_code = n;
            s->depth[n] = 0;
        } else {
            tree[n].dl = 0;
        }
    }

    // A valid code needs at least two codes: force codes of frequency 1.
    while (s->heap_len < 2) {
        int node = s->heap[++(s->heap_len)] = (max_code < 2 ? ++max_code : 0);
        tree[node].fc = 1;
        s->depth[node] = 0;
        s->opt_len--;
        if (stree) s->static_len -= stree[node].dl;
    }
    desc->max_code = max_code;

    for (int n = s->heap_len / 2; n >= 1; n--) pqdownheap(s, tree, n);

    // Join the two least frequent nodes until one remains.
    int node = elems;
    do {
        int n = s->heap[1];
        s->heap[1] = s->heap[s->heap_len--];
        pqdownheap(s, tree, 1);
        int m = s->heap[1];

        s->heap[--(s->heap_max)] = n;
        s->heap[--(s->heap_max)] = m;

        tree[node].fc = static_cast<uint16_t>(tree[n].fc + tree[m].fc);
        s->depth[node] = static_cast<uint8_t>((s->depth[n] >= s->depth[m] ? s->depth[n] : s->depth[m]) + 1);
        tree[n].dl = tree[m].dl = static_cast<uint16_t>(node);
        s->heap[1] = node++;
        pqdownheap(s, tree, 1);
    } while (s->heap_len >= 2);

    s->heap[--(s->heap_max)] = s->heap[1];

    gen_bitlen(s, desc);
    gen_codes(tree, max_code, s->bl_count);
}

int build_bl_tree(deflate_state* s) {
    scan_tree(s, s->dyn_ltree, s->l_desc.max_code);
    scan_tree(s, s->dyn_dtree, s->d_desc.max_code);
    build_tree(s, &s->bl_desc);

    // At least four bit-length codes are always sent.
    int max_blindex;
    for (max_blindex = BL_CODES - 1; max_blindex >= 3; max_blindex--) {
        if (s->bl_tree[bl_order[max_blindex]].dl != 0) break;
    }
    s->opt_len += 3 * (static_cast<uint64_t>(max_blindex) + 1) + 5 + 5 + 4;
    return max_blindex;
}

void send_all_trees(deflate_state* s, int lcodes, int dcodes, int blcodes) {
    send_bits(s, static_cast<unsigned>(lcodes - 257), 5);
    send_bits(s, static_cast<unsigned>(dcodes - 1), 5);
    send_bits(s, static_cast<unsigned>(blcodes - 4), 4);
    for (int rank = 0; rank < blcodes; rank++) send_bits(s, s->bl_tree[bl_order[rank]].dl, 3);
    send_tree(s, s->dyn_ltree, lcodes - 1);
    send_tree(s, s->dyn_dtree, dcodes - 1);
}

void _tr_stored_block(deflate_state* s, const uint8_t* buf, uint32_t stored_len, int last) {
    send_bits(s, static_cast<unsigned>((STORED_BLOCK << 1) + last), 3);
    bi_windup(s);
    s->last_eob_len = 8;
    put_short(s, stored_len & 0xffff);
    put_short(s, ~stored_len & 0xffff);

    // Only the bytes that fit in the caller's output are copied (and counted); the pending buffer
    // itself bounds the copy too, so a block can never run past its end.
    int64_t room = static_cast<int64_t>(s->strm->avail_out) - s->pending;
    int64_t space = static_cast<int64_t>(s->pending_buf_size) - s->pending;
    if (space < room) room = space;
    uint32_t n = room < 0 ? 0 : (stored_len < room ? stored_len : static_cast<uint32_t>(room));
    s->strm->reserved += n;
    if (n != 0) std::memcpy(s->pending_buf + s->pending, buf, n);
    s->pending += n;
}

void _tr_align(deflate_state* s) {
    send_bits(s, STATIC_TREES << 1, 3);
    send_code(s, END_BLOCK, static_ltree);
    bi_flush(s);
    // Make sure the inflater sees ten bits of lookahead past the last end-of-block code.
    if (1 + s->last_eob_len + 10 - s->bi_valid < 9) {
        send_bits(s, STATIC_TREES << 1, 3);
        send_code(s, END_BLOCK, static_ltree);
        bi_flush(s);
    }
    s->last_eob_len = 7;
}

void _tr_flush_block(deflate_state* s, const uint8_t* buf, uint32_t stored_len, int32_t estimate, int last) {
    uint64_t opt_lenb;
    uint64_t static_lenb;
    int max_blindex = 0;
    const bool directCoding = s->mode != 0 && s->mode != 2;

    if (directCoding) {
        // The special modes that write codes themselves come here only to store.
        opt_lenb = static_lenb = static_cast<uint64_t>(stored_len) + 5;
    } else if (s->level < 1 ||
               (s->mode == 2 && s->strategy != Z_HUFFMAN_ONLY &&
                static_cast<uint64_t>(static_cast<int64_t>(estimate)) * 100 >=
                    static_cast<uint64_t>(s->storedPercent) * stored_len)) {
        opt_lenb = static_lenb = static_cast<uint64_t>(stored_len) + 5;
    } else {
        if (stored_len > 0 && s->strm->data_type == Z_UNKNOWN) set_data_type(s);
        build_tree(s, &s->l_desc);
        build_tree(s, &s->d_desc);
        max_blindex = build_bl_tree(s);
        opt_lenb = (s->opt_len + 3 + 7) >> 3;
        static_lenb = (s->static_len + 3 + 7) >> 3;
        if (static_lenb <= opt_lenb) opt_lenb = static_lenb;
    }

    if (static_cast<uint64_t>(stored_len) + 4 <= opt_lenb && buf != nullptr) {
        _tr_stored_block(s, buf, stored_len, last);
    } else if (static_lenb == opt_lenb || s->strategy == Z_FIXED) {
        send_bits(s, static_cast<unsigned>((STATIC_TREES << 1) + last), 3);
        compress_block(s, static_ltree, static_dtree);
    } else {
        send_bits(s, static_cast<unsigned>((DYN_TREES << 1) + last), 3);
        send_all_trees(s, s->l_desc.max_code + 1, s->d_desc.max_code + 1, max_blindex + 1);
        compress_block(s, s->dyn_ltree, s->dyn_dtree);
    }

    if (!directCoding) init_block(s);
    if (last) bi_windup(s);
}

int _tr_prefer_dynamic(deflate_state* s) {
    uint32_t total = 0;
    for (int n = 0; n < L_CODES; n++) total += s->dyn_ltree[n].fc;
    const int totalBits = bitLength(total);

    // Dynamic cost of a symbol of frequency f: about log2(total / f) bits, via bit lengths.
    uint32_t dyn = 0;
    uint32_t stat = 0;
    for (int n = 0; n < L_CODES; n++) {
        uint32_t f = s->dyn_ltree[n].fc;
        if (f == 0) continue;
        uint32_t extra = n > END_BLOCK ? static_cast<uint32_t>(extra_lbits[n - END_BLOCK - 1]) : 0;
        dyn += (static_cast<uint32_t>(totalBits - bitLength(f)) + extra) * f;
        stat += (static_ltree[n].dl + extra) * f;
    }
    return static_cast<int32_t>(10 * dyn) < static_cast<int32_t>(9 * stat) ? 1 : 0;
}

}  // namespace vdeflate
