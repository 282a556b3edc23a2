// The special modes' compression call: input goes through the side window in steps, each coded by
// side_match and handed to the caller at once; steps that do not pay are stored instead; mode 3
// decides once per reset between static and dynamic trees; leftover output is filled with empty
// blocks so that the caller sees a full buffer.
#include <cstring>

#include "deflate/deflate_state.h"

namespace vdeflate {

namespace {

constexpr uint32_t kDecidingOutputLimit = 4096;  // output per step while mode 3 decides
constexpr unsigned long kDecisionOutput = 4092;  // output before mode 3 decides its trees
constexpr uint32_t kDecisionMinAvail = 200;      // below this, mode 3 keeps the static trees
constexpr uint32_t kNoGainMinAvail = 100;        // the no-gain test needs this much output space
constexpr uint32_t kDynamicHeaderOverhead = 120;

// Pending output and bit buffer, saved so that a step's codes can be taken back.
struct RewindPoint {
    uint32_t pending = 0;
    uint16_t bi_buf = 0;
    int bi_valid = 0;
};

RewindPoint savePoint(const deflate_state* s) { return {s->pending, s->bi_buf, s->bi_valid}; }

void restorePoint(deflate_state* s, const RewindPoint& p) {
    s->pending = p.pending;
    s->bi_buf = p.bi_buf;
    s->bi_valid = p.bi_valid;
}

bool usesStaticTrees(const deflate_state* s) { return s->mode == 1 || s->curLitTree == static_ltree; }

void staticHeader(deflate_state* s, int last) { send_bits(s, 2u + static_cast<unsigned>(last), 3); }

void dynamicHeader(deflate_state* s) {
    send_bits(s, 4, 3);
    send_all_trees(s, s->l_desc.max_code + 1, s->d_desc.max_code + 1, static_cast<int>(s->blTreeMax) + 1);
}

// Opens a coded block, never the final one: static header, or an empty stored block and a dynamic
// header.
void openBlock(deflate_state* s, bool storedFirst) {
    if (usesStaticTrees(s)) {
        staticHeader(s, 0);
    } else {
        if (storedFirst) _tr_stored_block(s, nullptr, 0, 0);
        dynamicHeader(s);
    }
}

void closeBlock(deflate_state* s) {
    send_code(s, END_BLOCK, s->curLitTree);
    s->last_eob_len = s->curLitTree[END_BLOCK].dl;
}

void clearStepCounts(deflate_state* s) {
    s->opt_len = s->static_len = 0;
    s->matches = 0;
    s->last_lit = 0;
}

// Builds mode 3's dynamic trees from the counted literal/length frequencies, every distance code
// weighted alike.
void buildDynamicTrees(deflate_state* s) {
    std::memset(s->bl_tree, 0, sizeof(s->bl_tree));
    for (int n = 0; n < D_CODES; n++) s->dyn_dtree[n].fc = 257;
    s->dyn_ltree[END_BLOCK].fc = 1;
    clearStepCounts(s);
    build_tree(s, &s->l_desc);
    build_tree(s, &s->d_desc);
    s->blTreeMax = static_cast<uint32_t>(build_bl_tree(s));
    s->curLitTree = s->dyn_ltree;
    s->curDistTree = s->dyn_dtree;
}

int64_t min64(int64_t a, int64_t b) { return a < b ? a : b; }

}  // namespace

block_state deflate_special(deflate_state* s, int flush) {
    z_stream* strm = s->strm;
    SideBuffer* sb = s->sideBuffer;
    uint8_t* window = sb->window;
    const int callLevel = s->level;
    const bool finishing = flush == Z_FINISH;
    const int64_t maxStored = min64(static_cast<int64_t>(s->pending_buf_size) - 5, 65535);
    // A mode-2 step may become a stored block after up to seven header bytes; it must fit the
    // pending buffer whole.
    const int64_t maxRecordedStep = static_cast<int64_t>(s->pending_buf_size) - 7;
    const uint32_t minAvail = callLevel == 0 ? 5 : 0;
    const bool coded = callLevel != 0 && s->mode != 2;  // codes written by the matcher itself

    RewindPoint rewind;
    bool headerOnly = false;

    if (coded) {
        rewind = savePoint(s);
        openBlock(s, false);
        headerOnly = true;
    }

    while (strm->avail_in != 0 && strm->avail_out > minAvail && s->stopFlag == 0) {
        s->strstart = 0;
        s->block_start = 0;
        int64_t chunk = min64(strm->avail_in, SIDE_WINDOW_SIZE - static_cast<int64_t>(sb->fill));
        strm->ops->copy_in(window + sb->fill, strm->next_in, static_cast<uint32_t>(chunk));

        for (;;) {
            const uint64_t start = sb->fill;
            if (!headerOnly) rewind = savePoint(s);
            int32_t result = 0;
            int64_t taken;
            int64_t storedLen = 0;
            bool undone = false;

            if (callLevel >= 1) {
                const uint32_t limit = s->treeState == 1 && strm->avail_out > kDecidingOutputLimit
                                           ? kDecidingOutputLimit
                                           : strm->avail_out;
                const int64_t stepLen = s->mode == 2 ? min64(chunk, maxRecordedStep) : chunk;
                result = side_match(s, window, static_cast<uint32_t>(stepLen), limit);
                taken = static_cast<int64_t>(sb->fill - start);

                // No gain: the codes are at least as long as the input; store the step instead.
                const int64_t overhead =
                    (s->mode == 3 && !headerOnly && s->curLitTree == s->dyn_ltree) ? kDynamicHeaderOverhead : 0;
                if (coded && strm->avail_out > kNoGainMinAvail && taken + overhead <= result) {
                    undone = true;
                    restorePoint(s, rewind);
                    sb->fill = start;
                    s->stopFlag = 0;
                    if (!headerOnly) closeBlock(s);
                    const int64_t p = pendingAfterStoredHeader(s);
                    storedLen = min64(min64(chunk, maxStored),
                                      min64(static_cast<int64_t>(s->pending_buf_size) - p,
                                            static_cast<int64_t>(strm->avail_out) - p));
                    if (storedLen < 0) storedLen = 0;
                    sb->fill = start + static_cast<uint64_t>(storedLen);
                    taken = storedLen;
                }
            } else {
                // The block, header included, fits the pending buffer and the caller's space, also
                // when bits of an earlier block still wait in the bit buffer.
                const int64_t p = pendingAfterStoredHeader(s);
                storedLen = min64(min64(chunk, maxStored),
                                  min64(static_cast<int64_t>(s->pending_buf_size) - p,
                                        static_cast<int64_t>(strm->avail_out) - p));
                if (storedLen < 0) storedLen = 0;
                sb->fill += static_cast<uint64_t>(storedLen);
                taken = storedLen;
            }

            // The input moves by exactly what the step encoded or stored, and the frame's checksum
            // covers exactly that input.
            if (taken != 0 && s->wrap == 1) {
                strm->adler = strm->ops->adler32(strm->adler, strm->next_in, static_cast<uint32_t>(taken));
            } else if (taken != 0 && s->wrap == 2) {
                strm->adler = strm->ops->crc32(strm->adler, strm->next_in, static_cast<uint32_t>(taken));
            }
            s->strstart += static_cast<uint32_t>(taken);
            strm->ops->advance(&strm->next_in, static_cast<int32_t>(taken));
            strm->avail_in -= static_cast<uint32_t>(taken);
            strm->total_in += static_cast<unsigned long>(taken);

            bool windowCheck = false;
            if (!coded) {
                // Mode 2, or a storing call: each step is one complete block.
                const int32_t estimate = callLevel == 0 ? static_cast<int32_t>(storedLen) : result;
                _tr_flush_block(s, window + start, s->strstart - static_cast<uint32_t>(s->block_start), estimate, 0);
                s->block_start = s->strstart;
                flush_pending(strm);
            } else {
                if (!undone) {
                    flush_pending(strm);
                    headerOnly = false;
                } else {
                    s->level = 0;
                    _tr_flush_block(s, window + start, static_cast<uint32_t>(storedLen),
                                    static_cast<int32_t>(storedLen), 0);
                    s->level = 1;
                    s->block_start = s->strstart;
                    flush_pending(strm);
                    rewind = savePoint(s);
                    openBlock(s, true);
                    headerOnly = true;
                }

                // Mode 3 decides its trees once enough output shows the data's symbol mix.
                if (s->treeState == 1) {
                    if (strm->avail_out < kDecisionMinAvail) {
                        s->treeState = 2;
                    } else if (strm->total_out >= kDecisionOutput) {
                        if (_tr_prefer_dynamic(s) == 0) {
                            s->treeState = 2;
                        } else {
                            s->treeState = 0;
                            closeBlock(s);
                            flush_pending(strm);
                            buildDynamicTrees(s);
                            rewind = savePoint(s);
                            openBlock(s, true);
                            headerOnly = true;
                        }
                    }
                }
                // Output full: the call ends, its block closed in the pending output, so that a
                // later call continues a valid stream.
                if (strm->avail_out == 0) break;
                windowCheck = s->stopFlag != 0;
            }

            if (windowCheck) break;
            clearStepCounts(s);
            s->block_start = s->strstart;
            if (strm->avail_out <= minAvail) break;
            chunk -= taken;
            if (chunk == 0) break;
        }

        // A full window starts over; its bytes can no longer be referred to.
        if (sb->fill == SIDE_WINDOW_SIZE) {
            std::memset(sb->hash, 0, sizeof(sb->hash));
            sb->fill = 0;
            s->strstart = 0;
            s->block_start = 0;
        }
    }

    if (coded) {
        closeBlock(s);
        clearStepCounts(s);
        s->block_start = s->strstart;
    }
    // Only a call that has taken all its input can end the deflate data: one empty final block
    // does so, whatever blocks came before it. With input left the stream stays open, so that a
    // later call with more output space carries on.
    const bool ending = finishing && strm->avail_in == 0;
    if (ending) {
        staticHeader(s, 1);
        send_code(s, END_BLOCK, static_ltree);
        s->last_eob_len = static_ltree[END_BLOCK].dl;
        bi_windup(s);
    }
    if (coded || ending) flush_pending(strm);
    block_state bstate = block_done;
    if (ending) {
        bstate = strm->avail_out > 0 ? finish_done : finish_started;
    } else if (coded && strm->avail_out == 0) {
        bstate = need_more;
    }

    // Input is left only when the output ran out: fill the rest with empty static blocks so the
    // caller sees a full buffer.
    while (strm->avail_out != 0 && strm->avail_in != 0) {
        staticHeader(s, 0);
        send_code(s, END_BLOCK, static_ltree);
        flush_pending(strm);
    }
    return bstate;
}

}  // namespace vdeflate
