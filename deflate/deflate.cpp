// Stream set-up, reset and end, the compression call with its hint, and the fastest-level
// compressors of mode 0 (single-candidate matching and stored blocks).
#include <cstdlib>
#include <cstring>

#include "deflate/deflate_state.h"

namespace vdeflate {

const char kStreamErrorText[] = "stream error";
const char kBufferErrorText[] = "buffer error";
const char kMemoryErrorText[] = "insufficient memory";

namespace {

constexpr int kGzipOsCode = 3;  // Unix

using compress_func = block_state (*)(deflate_state* s, int flush);

struct config {
    uint16_t good_length;
    uint16_t max_lazy;
    uint16_t nice_length;
    uint16_t max_chain;
    compress_func func;
};

block_state deflate_stored(deflate_state* s, int flush);
block_state deflate_fast(deflate_state* s, int flush);

// Indexed by the state's level, which is only ever 0 or 1.
const config configuration_table[2] = {
    {0, 0, 0, 0, deflate_stored},
    {4, 4, 8, 4, deflate_fast},
};

void* defaultAlloc(void* /*opaque*/, uint32_t items, uint32_t size) {
    return std::malloc(static_cast<uint32_t>(items * size));
}

void defaultFree(void* /*opaque*/, void* address) { std::free(address); }

void clearHash(deflate_state* s) { std::memset(s->head, 0, s->hash_size * sizeof(s->head[0])); }

void putShortMSB(deflate_state* s, unsigned b) {
    put_byte(s, (b >> 8) & 0xff);
    put_byte(s, b & 0xff);
}

int levelMode(int level) {
    if (level <= 100) return 0;
    if (level == 110) return 2;
    if (level == 111) return 1;
    return level - 100;
}

// The hint picks the call's level and strategy; modes 1 and 3 ignore Huffman-only hints.
void applyHint(deflate_state* s, uint32_t hint) {
    const bool matcherModes = s->mode == 1 || s->mode == 3;
    switch (hint) {
        case 0:
        case 3:
            s->level = 1;
            s->strategy = Z_DEFAULT_STRATEGY;
            break;
        case 1:
            s->level = 1;
            s->strategy = matcherModes ? Z_DEFAULT_STRATEGY : Z_HUFFMAN_ONLY;
            break;
        default:
            s->level = 0;
            s->strategy = Z_HUFFMAN_ONLY;
            break;
    }
}

void writeStreamHeader(deflate_state* s) {
    z_stream* strm = s->strm;
    if (s->wrap == 2) {
        // Plain gzip header: no name, comment, extra field or time.
        const uint8_t header[10] = {31, 139, 8, 0, 0, 0, 0, 0, 4, kGzipOsCode};
        for (uint8_t b : header) put_byte(s, b);
        strm->adler = 0;
    } else {
        // The special modes refer back across their whole 32 KiB side window whatever the
        // window bits, so their header declares that window.
        const unsigned bits = s->mode != 0 ? 15 : s->w_bits;
        unsigned header = (Z_DEFLATED + ((bits - 8) << 4)) << 8;
        header += 31 - (header % 31);
        putShortMSB(s, header);
        strm->adler = 1;
    }
    s->status = BUSY_STATE;
}

void writeTrailer(deflate_state* s) {
    z_stream* strm = s->strm;
    if (s->wrap == 2) {
        const unsigned long values[2] = {strm->adler, strm->total_in};
        for (unsigned long v : values) {
            for (int i = 0; i < 4; i++) put_byte(s, (v >> (8 * i)) & 0xff);
        }
    } else {
        putShortMSB(s, (strm->adler >> 16) & 0xffff);
        putShortMSB(s, strm->adler & 0xffff);
    }
}

// Takes up to size input bytes into dest, updating the checksum the wrap mode asks for.
unsigned read_buf(z_stream* strm, uint8_t* dest, unsigned size) {
    unsigned len = strm->avail_in < size ? strm->avail_in : size;
    if (len == 0) return 0;
    strm->avail_in -= len;
    const int wrap = strm->state->wrap;
    if (wrap == 1) {
        strm->adler = strm->ops->adler32(strm->adler, strm->next_in, len);
    } else if (wrap == 2) {
        strm->adler = strm->ops->crc32(strm->adler, strm->next_in, len);
    } else if (wrap == 3) {
        strm->adler = 0;
    }
    strm->ops->copy_in(dest, strm->next_in, len);
    strm->ops->advance(&strm->next_in, static_cast<int32_t>(len));
    strm->total_in += len;
    return len;
}

inline void update_hash(deflate_state* s, unsigned c) {
    s->ins_h = ((s->ins_h << s->hash_shift) ^ c) & s->hash_mask;
}

// Fills the window while the lookahead is short and input remains, sliding the upper half down
// when the string start nears the end.
void fill_window(deflate_state* s) {
    const uint32_t wsize = s->w_size;
    do {
        unsigned more = static_cast<unsigned>(s->window_size - s->lookahead - s->strstart);
        if (s->strstart >= wsize + (wsize - MIN_LOOKAHEAD)) {
            std::memcpy(s->window, s->window + wsize, wsize);
            s->match_start -= wsize;
            s->strstart -= wsize;
            s->block_start -= static_cast<long>(wsize);
            for (uint32_t n = 0; n < s->hash_size; n++) {
                unsigned m = s->head[n];
                s->head[n] = static_cast<uint16_t>(m >= wsize ? m - wsize : 0);
            }
            more += wsize;
        }
        if (s->strm->avail_in == 0) return;
        unsigned n = read_buf(s->strm, s->window + s->strstart + s->lookahead, more);
        s->lookahead += n;
        if (s->lookahead >= MIN_MATCH) {
            s->ins_h = s->window[s->strstart];
            update_hash(s, s->window[s->strstart + 1]);
        }
    } while (s->lookahead < MIN_LOOKAHEAD && s->strm->avail_in != 0);
}

uint64_t load64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Length of the match at cur_match: the first two bytes are compared, the third is implied by
// the equal hash, the rest is compared eight bytes per step up to 258.
unsigned longest_match_fast(deflate_state* s, unsigned cur_match) {
    const uint8_t* scan = s->window + s->strstart;
    const uint8_t* match = s->window + cur_match;
    if (match[0] != scan[0] || match[1] != scan[1]) return MIN_MATCH - 1;

    unsigned len = MAX_MATCH;
    for (unsigned off = 3; off < MAX_MATCH; off += 8) {
        uint64_t diff = load64(scan + off) ^ load64(match + off);
        if (diff != 0) {
            // Little-endian loads: the lowest set bit marks the first differing byte.
            unsigned at = off + static_cast<unsigned>(__builtin_ctzll(diff)) / 8;
            len = at < MAX_MATCH ? at : MAX_MATCH;
            break;
        }
    }
    if (len < MIN_MATCH) return MIN_MATCH - 1;
    s->match_start = cur_match;
    return len <= s->lookahead ? len : s->lookahead;
}

// Writes the block from block_start to strstart and hands the output to the caller.
void flush_block_only(deflate_state* s, int last) {
    const uint8_t* buf = s->block_start >= 0 ? s->window + s->block_start : nullptr;
    _tr_flush_block(s, buf, static_cast<uint32_t>(static_cast<long>(s->strstart) - s->block_start), 0, last);
    s->block_start = static_cast<long>(s->strstart);
    flush_pending(s->strm);
}

inline bool tally_lit(deflate_state* s, unsigned c) {
    s->d_buf[s->last_lit] = 0;
    s->l_buf[s->last_lit++] = static_cast<uint8_t>(c);
    s->dyn_ltree[c].fc++;
    return s->last_lit == s->lit_bufsize - 1;
}

inline bool tally_dist(deflate_state* s, unsigned dist, unsigned lc) {
    s->d_buf[s->last_lit] = static_cast<uint16_t>(dist);
    s->l_buf[s->last_lit++] = static_cast<uint8_t>(lc);
    dist--;
    s->dyn_ltree[length_code_table[lc] + LITERALS + 1].fc++;
    s->dyn_dtree[d_code(dist)].fc++;
    return s->last_lit == s->lit_bufsize - 1;
}

block_state deflate_fast(deflate_state* s, int flush) {
    const unsigned maxDist = s->w_size - MIN_LOOKAHEAD;
    unsigned hash_head = 0;  // kept from the previous position when the lookahead is short

    for (;;) {
        if (s->lookahead < MIN_LOOKAHEAD) {
            fill_window(s);
            if (s->lookahead < MIN_LOOKAHEAD && flush == Z_NO_FLUSH) return need_more;
            if (s->lookahead == 0) break;
        }

        // One candidate per hash bucket: the bucket's last position, replaced by this one.
        if (s->lookahead >= MIN_MATCH) {
            update_hash(s, s->window[s->strstart + MIN_MATCH - 1]);
            hash_head = s->head[s->ins_h];
            s->head[s->ins_h] = static_cast<uint16_t>(s->strstart);
        }

        if (hash_head != 0 && s->strstart - hash_head <= maxDist) {
            if (s->strategy != Z_HUFFMAN_ONLY && s->strategy != Z_RLE) {
                s->match_length = longest_match_fast(s, hash_head);
            } else if (s->strategy == Z_RLE && s->strstart - hash_head == 1) {
                s->match_length = longest_match_fast(s, hash_head);
            }
        }

        bool bflush;
        if (s->match_length >= MIN_MATCH) {
            bflush = tally_dist(s, s->strstart - s->match_start, s->match_length - MIN_MATCH);
            s->lookahead -= s->match_length;
            s->strstart += s->match_length;
            s->match_length = 0;
            // Only the match's first position was hashed; restart the hash after it.
            s->ins_h = s->window[s->strstart];
            update_hash(s, s->window[s->strstart + 1]);
        } else {
            bflush = tally_lit(s, s->window[s->strstart]);
            s->lookahead--;
            s->strstart++;
        }
        if (bflush) {
            flush_block_only(s, 0);
            if (s->strm->avail_out == 0) return need_more;
        }
    }
    flush_block_only(s, flush == Z_FINISH);
    if (s->strm->avail_out == 0) return flush == Z_FINISH ? finish_started : need_more;
    return flush == Z_FINISH ? finish_done : block_done;
}

block_state deflate_stored(deflate_state* s, int flush) {
    for (;;) {
        // The largest block: 65535 bytes, or what the pending buffer holds beside the block's
        // header (5 bytes from a byte boundary, more while bits from an earlier block wait).
        int64_t max_block_size = static_cast<int64_t>(s->pending_buf_size) - pendingAfterStoredHeader(s);
        if (max_block_size > 0xffff) max_block_size = 0xffff;
        if (max_block_size < 1) max_block_size = 1;

        if (s->lookahead <= 1) {
            fill_window(s);
            if (s->lookahead == 0 && flush == Z_NO_FLUSH) return need_more;
            if (s->lookahead == 0) break;
        }
        s->strstart += s->lookahead;
        s->lookahead = 0;

        // Emit a block when it reaches the largest size or the window is about to slide.
        const uint64_t max_start = static_cast<uint64_t>(s->block_start) + max_block_size;
        if (s->strstart == 0 || s->strstart >= max_start) {
            s->lookahead = static_cast<uint32_t>(s->strstart - max_start);
            s->strstart = static_cast<uint32_t>(max_start);
            flush_block_only(s, 0);
            if (s->strm->avail_out == 0) return need_more;
        }
        if (static_cast<long>(s->strstart) - s->block_start >= static_cast<long>(s->w_size - MIN_LOOKAHEAD)) {
            flush_block_only(s, 0);
            if (s->strm->avail_out == 0) return need_more;
        }
    }
    flush_block_only(s, flush == Z_FINISH);
    if (s->strm->avail_out == 0) return flush == Z_FINISH ? finish_started : need_more;
    return flush == Z_FINISH ? finish_done : block_done;
}

bool validStatus(int status) {
    return status == INIT_STATE || status == EXTRA_STATE || status == NAME_STATE || status == COMMENT_STATE ||
           status == HCRC_STATE || status == BUSY_STATE || status == FINISH_STATE;
}

}  // namespace

void flush_pending(z_stream* strm) {
    deflate_state* s = strm->state;
    unsigned len = s->pending < strm->avail_out ? s->pending : strm->avail_out;
    if (len == 0) return;
    strm->ops->copy_out(strm->next_out, s->pending_out, len);
    strm->ops->advance(&strm->next_out, static_cast<int32_t>(len));
    s->pending_out += len;
    strm->total_out += len;
    strm->avail_out -= len;
    s->pending -= len;
    // Keep what is left at the start of the buffer, where the writers append.
    if (s->pending != 0) std::memmove(s->pending_buf, s->pending_out, s->pending);
    s->pending_out = s->pending_buf;
}

int deflateInit2_(z_stream* strm, int level, int method, int windowBits, int memLevel, int strategy,
                  const char* version, int stream_size) {
    if (version == nullptr || version[0] != ZLIB_VERSION[0] || stream_size != static_cast<int>(sizeof(z_stream))) {
        return Z_VERSION_ERROR;
    }
    if (strm == nullptr) return Z_STREAM_ERROR;

    strm->msg = nullptr;
    if (strm->zalloc == nullptr) {
        strm->zalloc = defaultAlloc;
        strm->opaque = nullptr;
    }
    if (strm->zfree == nullptr) strm->zfree = defaultFree;
    strm->ops = &flat_buffer_ops;

    int wrap;
    int64_t bits = windowBits;
    if (windowBits < 0) {
        wrap = 0;
        bits = -bits;
    } else if (windowBits < 16) {
        wrap = 1;
    } else if (windowBits < 32) {
        wrap = 2;
        bits -= 16;
    } else {
        wrap = 3;
        bits -= 32;
    }
    if (memLevel < 1 || memLevel > 9 || method != Z_DEFLATED || bits < 8 || bits > 15 || level < 0 ||
        strategy < 0 || strategy > Z_FIXED || (level >= 10 && level <= 99)) {
        return Z_STREAM_ERROR;
    }
    if (bits == 8) bits = 9;

    auto* s = static_cast<deflate_state*>(strm->zalloc(strm->opaque, 1, sizeof(deflate_state)));
    if (s == nullptr) return Z_MEM_ERROR;
    std::memset(static_cast<void*>(s), 0, sizeof(deflate_state));
    strm->state = s;

    s->mode = static_cast<uint32_t>(levelMode(level));
    bool failed = false;
    if (s->mode != 0) {
        s->sideBuffer = static_cast<SideBuffer*>(strm->zalloc(strm->opaque, sizeof(SideBuffer), 1));
        if (s->sideBuffer != nullptr) {
            std::memset(s->sideBuffer->hash, 0, sizeof(s->sideBuffer->hash));
            std::memset(s->sideBuffer->window, 0, sizeof(s->sideBuffer->window));
            s->sideBuffer->fill = 0;
            const bool short3 = level == 110 || level == 111;
            s->sideBuffer->minMatch = short3 ? 3 : 4;
            s->sideBuffer->noSkip = short3 ? 1 : 0;
        } else {
            failed = true;
        }
        s->storedPercent = 100;
        s->stopFlag = 0;
        s->treeState = 0;
        s->curLitTree = static_ltree;
        s->curDistTree = static_dtree;
    }

    s->strm = strm;
    s->wrap = wrap;
    s->w_bits = static_cast<uint32_t>(bits);
    s->w_size = 1u << s->w_bits;
    s->w_mask = s->w_size - 1;
    s->hash_bits = static_cast<uint32_t>(memLevel) + 7;
    s->hash_size = 1u << s->hash_bits;
    s->hash_mask = s->hash_size - 1;
    s->hash_shift = (s->hash_bits + MIN_MATCH - 1) / MIN_MATCH;

    if (s->mode == 0) {
        s->window = static_cast<uint8_t*>(strm->zalloc(strm->opaque, s->w_size, 2));
        s->prev = static_cast<uint16_t*>(strm->zalloc(strm->opaque, s->w_size, 2));
        s->head = static_cast<uint16_t*>(strm->zalloc(strm->opaque, s->hash_size, 2));
        failed = failed || s->window == nullptr || s->prev == nullptr || s->head == nullptr;
    }

    s->lit_bufsize = 1u << (memLevel + 6);
    s->pending_buf = static_cast<uint8_t*>(strm->zalloc(strm->opaque, s->lit_bufsize, 4));
    s->pending_buf_size = static_cast<uint64_t>(s->lit_bufsize) * 4;
    if (s->pending_buf == nullptr) failed = true;

    if (failed) {
        s->status = FINISH_STATE;
        strm->msg = kMemoryErrorText;
        deflateEnd(strm);
        return Z_MEM_ERROR;
    }

    s->level = level == 0 ? 0 : 1;
    s->strategy = strategy;
    s->method = static_cast<uint8_t>(method);
    // The symbol buffer shares the pending buffer: distances from lit_bufsize bytes in, literals
    // and lengths from three times that.
    s->d_buf = reinterpret_cast<uint16_t*>(s->pending_buf + s->lit_bufsize);
    s->l_buf = s->pending_buf + 3 * s->lit_bufsize;

    return deflateReset(strm);
}

int deflateReset(z_stream* strm) {
    if (strm == nullptr || strm->state == nullptr || strm->zalloc == nullptr || strm->zfree == nullptr) {
        return Z_STREAM_ERROR;
    }
    deflate_state* s = strm->state;
    strm->total_in = strm->total_out = 0;
    strm->msg = nullptr;
    strm->data_type = Z_UNKNOWN;
    s->pending = 0;
    s->pending_out = s->pending_buf;

    if (s->mode != 0) {
        std::memset(s->sideBuffer->hash, 0, sizeof(s->sideBuffer->hash));
        s->sideBuffer->fill = 0;
    }

    if (s->wrap < 0) s->wrap = -s->wrap;
    s->status = s->wrap != 0 ? INIT_STATE : BUSY_STATE;
    strm->adler = (s->wrap == 0 || s->wrap == 1) ? 1 : 0;
    s->last_flush = Z_NO_FLUSH;
    _tr_init(s);

    s->window_size = 2ull * s->w_size;
    if (s->mode == 0) clearHash(s);
    const config& cfg = configuration_table[s->level];
    s->max_lazy_match = cfg.max_lazy;
    s->good_match = cfg.good_length;
    s->nice_match = cfg.nice_length;
    s->max_chain_length = cfg.max_chain;
    s->strstart = 0;
    s->block_start = 0;
    s->lookahead = 0;
    s->match_length = s->prev_length = MIN_MATCH - 1;
    s->match_available = 0;
    s->ins_h = 0;
    return Z_OK;
}

int deflateEnd(z_stream* strm) {
    if (strm == nullptr || strm->state == nullptr) return Z_STREAM_ERROR;
    deflate_state* s = strm->state;
    const int status = s->status;
    if (!validStatus(status)) return Z_STREAM_ERROR;

    auto release = [strm](void* block) {
        if (block != nullptr) strm->zfree(strm->opaque, block);
    };
    release(s->pending_buf);
    if (s->mode != 0) {
        release(s->sideBuffer);
    } else {
        release(s->head);
        release(s->prev);
        release(s->window);
    }
    strm->zfree(strm->opaque, s);
    strm->state = nullptr;
    return status == BUSY_STATE ? Z_DATA_ERROR : Z_OK;
}

int deflate(z_stream* strm, int flush, uint32_t hint) {
    if (strm == nullptr || flush > Z_FINISH || flush < 0 || strm->state == nullptr) return Z_STREAM_ERROR;
    deflate_state* s = strm->state;

    if (strm->ops->is_null(strm->next_out) || (strm->avail_in != 0 && strm->ops->is_null(strm->next_in)) ||
        (s->status == FINISH_STATE && flush != Z_FINISH)) {
        strm->msg = kStreamErrorText;
        return Z_STREAM_ERROR;
    }
    if (strm->avail_out == 0) {
        strm->msg = kBufferErrorText;
        return Z_BUF_ERROR;
    }

    s->level = 1;
    s->strm = strm;
    const int old_flush = s->last_flush;
    s->last_flush = flush;
    applyHint(s, hint);

    if (s->status == INIT_STATE) writeStreamHeader(s);

    if (s->pending != 0) {
        flush_pending(strm);
        if (strm->avail_out == 0) {
            // The next call may have neither input nor pending output; it is no repeated flush.
            s->last_flush = -1;
            return Z_OK;
        }
    } else if (strm->avail_in == 0 && flush <= old_flush && flush != Z_FINISH) {
        strm->msg = kBufferErrorText;
        return Z_BUF_ERROR;
    }

    if (s->status == FINISH_STATE && strm->avail_in != 0) {
        strm->msg = kBufferErrorText;
        return Z_BUF_ERROR;
    }

    if (strm->avail_in != 0 || s->lookahead != 0 || (flush != Z_NO_FLUSH && s->status != FINISH_STATE)) {
        block_state bstate;
        if (s->mode != 0) {
            bstate = deflate_special(s, flush);
            if (bstate == need_more) return Z_OK;
        } else {
            bstate = configuration_table[s->level].func(s, flush);
        }

        if (bstate == finish_started || bstate == finish_done) s->status = FINISH_STATE;
        if (bstate == need_more || bstate == finish_started) {
            if (strm->avail_out == 0) s->last_flush = -1;
            return Z_OK;
        }
        if (bstate == block_done) {
            if (flush == Z_PARTIAL_FLUSH) {
                _tr_align(s);
            } else {
                _tr_stored_block(s, nullptr, 0, 0);
                if (flush == Z_FULL_FLUSH) {
                    if (s->mode == 0) {
                        clearHash(s);
                    } else {
                        // Forget the side window too, so that no later match reaches back.
                        std::memset(s->sideBuffer->hash, 0, sizeof(s->sideBuffer->hash));
                        s->sideBuffer->fill = 0;
                    }
                }
            }
            flush_pending(strm);
            if (strm->avail_out == 0) {
                s->last_flush = -1;
                return Z_OK;
            }
        }
    }

    if (flush != Z_FINISH) return Z_OK;
    if (s->wrap <= 0) return Z_STREAM_END;

    writeTrailer(s);
    flush_pending(strm);
    s->wrap = -s->wrap;
    return s->pending != 0 ? Z_OK : Z_STREAM_END;
}

int deflateWithHint(z_stream* strm, int flush, uint32_t hint) {
    if (strm == nullptr || strm->state == nullptr) return Z_STREAM_ERROR;
    strm->reserved = 0;
    const uint32_t offered = strm->avail_in;
    const int ret = deflate(strm, flush, hint);
    deflate_state* s = strm->state;
    s->stopFlag = 0;
    // Modes that code straight into the output have already advanced the input by what fitted.
    if (s->mode != 0 && s->mode != 2) return ret;

    // Count only the input whose codes fit in the caller's output.
    const unsigned long taken = offered - strm->avail_in;
    strm->total_in = strm->total_in - taken + strm->reserved;
    strm->avail_in = strm->reserved > offered ? 0 : offered - static_cast<uint32_t>(strm->reserved);
    return ret;
}

}  // namespace vdeflate
