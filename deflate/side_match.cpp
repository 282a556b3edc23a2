// The special modes' matcher: one hash probe per position over the side window, a search step
// that grows over poor data, and codes written straight into the pending output (or recorded as
// symbols in mode 2), stopping at the first code that would not fit in the caller's output.
#include <cstring>

#include "deflate/deflate_state.h"

namespace vdeflate {

namespace {

constexpr uint32_t kHashMultiplier = 2654435761u;  // 0x9E3779B1
constexpr int kHashShift = 20;                     // 32 - log2(SIDE_HASH_SIZE)

uint32_t load32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

uint64_t load64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Stores v least significant byte first.
void store64le(uint8_t* p, uint64_t v) {
#if (defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) || defined(_WIN32)
    std::memcpy(p, &v, sizeof v);
#else
    for (int i = 0; i < 8; i++) p[i] = static_cast<uint8_t>(v >> (8 * i));
#endif
}

uint16_t load16(const uint8_t* p) {
    uint16_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// A match piece under the fixed code, as one bit string in the order send_bits would write it:
// the length code with its extra bits, then the distance code with its extra bits.
struct FixedLength {
    uint16_t bits;  // length code, then the length's extra bits
    uint8_t count;  // bits in all
};
struct FixedDistance {
    uint16_t base;  // first distance minus one of the code
    uint8_t code;   // the five-bit code, bit-reversed for output
    uint8_t count;  // code and extra bits
};
struct FixedPieceTables {
    FixedLength length[MAX_MATCH - MIN_MATCH + 1];
    FixedDistance distance[D_CODES];
};

constexpr FixedPieceTables makeFixedPieceTables() {
    FixedPieceTables t{};
    for (int len = MIN_MATCH; len <= MAX_MATCH; len++) {
        const int lc = length_code_table[len - MIN_MATCH];
        const ct_data code = static_ltree[lc + LITERALS + 1];
        const unsigned extra = static_cast<unsigned>(len - MIN_MATCH - base_length[lc]);
        t.length[len - MIN_MATCH] = {static_cast<uint16_t>(code.fc | extra << code.dl),
                                     static_cast<uint8_t>(code.dl + extra_lbits[lc])};
    }
    for (int dc = 0; dc < D_CODES; dc++) {
        t.distance[dc] = {static_cast<uint16_t>(base_dist[dc]), static_cast<uint8_t>(static_dtree[dc].fc),
                          static_cast<uint8_t>(static_dtree[dc].dl + extra_dbits[dc])};
    }
    return t;
}

constexpr FixedPieceTables kFixedPieces = makeFixedPieceTables();

// The Windows build's matcher differs in two bounds, compares match bytes four at a time, and its
// table holds absolute addresses, so that an entry never written, and the one written for the
// window's first position, never give a match. Here such entries hold position + 1, and 0 is empty.
struct Layout {
    int64_t literalsOnlyBudget;  // a budget this small or smaller writes literals only
    int64_t searchMargin;        // budget held back from the search and the end test
    bool wideCompare;            // match bytes compared eight at a time (else four)
    bool emptyEntries;           // a table entry of 0 names no position
};

constexpr Layout kLinuxLayout{12, 9, true, false};
constexpr Layout kWindowsLayout{8, 5, false, true};

constexpr int kShortRun = 5;  // runs this short are entered without a loop

// Working set of one call, positions counted from the window's first byte.
template <const Layout& L>
struct Matcher {
    deflate_state* s;
    SideBuffer* sb;
    uint8_t* window;
    uint32_t* hash;
    uint32_t mask;     // the bytes that must agree: three or four
    bool direct;       // codes go straight to the output (all special modes but 2)
    bool counting;     // mode 3 deciding: count written symbols
    bool fixedCode;    // codes from the fixed trees
    int64_t avail;     // the caller's output space (nothing is handed out during the call)
    int64_t budget;    // pending bytes (direct) or symbols (recorded) the call may add
    int64_t used = 0;  // added so far
    uint32_t pendingStart = 0;

    uint32_t masked(int64_t pos) const { return load32(window + pos) & mask; }
    uint32_t hashAt(int64_t pos) const { return (masked(pos) * kHashMultiplier) >> kHashShift; }
    static uint32_t entry(int64_t pos) { return static_cast<uint32_t>(L.emptyEntries ? pos + 1 : pos); }
    // The position a table entry names, or -1 for none.
    static int64_t position(uint32_t entry) {
        return L.emptyEntries ? static_cast<int64_t>(entry) - 1 : static_cast<int64_t>(entry);
    }
    bool candidate(int64_t ref, int64_t ip) const {
        return ref >= 0 && ref >= ip - MAX_SIDE_DIST && ref < ip && masked(ref) == masked(ip);
    }
    // Enters the positions [p, p + count) into the table in order, each replacing what its
    // bucket held.
    void enterRun(int64_t p, int64_t count, unsigned dist) {
        int64_t i = 0;
        if (dist == 1 && count > 4) {
            // A run of one byte value: every position whose four bytes lie in the run hashes
            // alike, so only the last of them survives in that bucket.
            hash[hashAt(p)] = entry(p + count - 4);
            i = count - 3;
        } else if (count <= kShortRun) {
            // Short runs, the usual case, take a fixed number of slots without a branch on the
            // count: a slot past it rewrites its bucket with the value the bucket holds.
#if defined(__GNUC__)
#pragma GCC unroll 8
#endif
            for (int j = 0; j < kShortRun; j++) {
                const uint32_t h = hashAt(p + j);
                const uint32_t keep = 0u - static_cast<uint32_t>(j < count);
                hash[h] = (entry(p + j) & keep) | (hash[h] & ~keep);
            }
            return;
        }
        for (; i < count; i++) hash[hashAt(p + i)] = entry(p + i);
    }
    void syncUsed() {
        if (direct) used = static_cast<int64_t>(s->pending) - pendingStart;
    }

    // Writes the literals [from, from + count) as codes; returns the position of the first literal
    // that did not fit (stopFlag 3), or from + count.
    int64_t writeLiterals(int64_t from, int64_t count);
    // Writes one piece; returns false (stopFlag 1, piece taken back) when it does not fit.
    __attribute__((always_inline)) bool writePiece(unsigned length, unsigned dist);
    void recordLiterals(int64_t from, int64_t count);
    void recordPiece(unsigned length, unsigned dist);
};

template <const Layout& L>
int64_t Matcher<L>::writeLiterals(int64_t from, int64_t count) {
    const ct_data* tree = s->curLitTree;
    const int64_t avail = s->strm->avail_out;
    int64_t written = 0;
    if (counting) {
        for (int64_t i = 0; i < count; i++) s->dyn_ltree[window[from + i]].fc++;
    }
    // Batch phase: no literal code exceeds two bytes, so this many fit without a test.
    while (written + 1 < count && static_cast<int64_t>(s->pending) + 1 < avail - 2) {
        int64_t upto = written + (avail - 2 - s->pending) / 2;
        if (upto > count) upto = count;
        // Three codes of at most 15 bits each go out as one bit string.
        for (; written + 3 <= upto; written += 3) {
            const ct_data& a = tree[window[from + written]];
            const ct_data& b = tree[window[from + written + 1]];
            const ct_data& c = tree[window[from + written + 2]];
            const uint64_t bits = a.fc | static_cast<uint64_t>(b.fc) << a.dl | static_cast<uint64_t>(c.fc) << (a.dl + b.dl);
            send_bits_long(s, bits, a.dl + b.dl + c.dl);
        }
        for (; written < upto; written++) send_code(s, window[from + written], tree);
    }
    // Exact phase: each literal must end within the output space.
    for (; written < count; written++) {
        unsigned c = window[from + written];
        if (static_cast<int64_t>(s->pending) + 1 + (s->bi_valid + tree[c].dl) / 8 > avail) {
            s->stopFlag = 3;
            break;
        }
        send_code(s, c, tree);
    }
    if (counting) {
        for (int64_t i = written; i < count; i++) s->dyn_ltree[window[from + i]].fc--;  // not written
    }
    syncUsed();
    return from + written;
}

template <const Layout& L>
inline bool Matcher<L>::writePiece(unsigned length, unsigned dist) {
    // Length code, length extra bits, distance code, distance extra bits: at most 48 bits, sent
    // as one string.
    const unsigned lc = length_code_table[length - MIN_MATCH];
    const unsigned d = dist - 1;
    const unsigned dc = d_code(d);
    uint64_t bits;
    int n;
    if (fixedCode) {
        const FixedLength& fl = kFixedPieces.length[length - MIN_MATCH];
        const FixedDistance& fd = kFixedPieces.distance[dc];
        bits = fl.bits | static_cast<uint64_t>(fd.code | (d - fd.base) << 5) << fl.count;
        n = fl.count + fd.count;
    } else {
        const ct_data& lcode = s->curLitTree[lc + LITERALS + 1];
        const ct_data& dcode = s->curDistTree[dc];
        bits = lcode.fc;
        n = lcode.dl;
        bits |= static_cast<uint64_t>(length - MIN_MATCH - static_cast<unsigned>(base_length[lc])) << n;
        n += extra_lbits[lc];
        bits |= static_cast<uint64_t>(dcode.fc) << n;
        n += dcode.dl;
        bits |= static_cast<uint64_t>(d - static_cast<unsigned>(base_dist[dc])) << n;
        n += extra_dbits[dc];
    }

    // The piece fits when the pending output it leaves stays below the output space. The bit
    // buffer spills whole 16-bit words and keeps 1 to 16 bits, so the words it spills are known
    // before anything is written.
    const int total = s->bi_valid + n;
    const uint32_t words = static_cast<uint32_t>(total - 1) >> 4;
    if (static_cast<int64_t>(s->pending) + 2 * words + 1 >= avail) {
        s->stopFlag = 1;
        return false;
    }
    const uint64_t acc = s->bi_buf | bits << s->bi_valid;
    uint8_t* out = s->pending_buf + s->pending;
    if (s->pending + 8 <= s->pending_buf_size) {
        // One eight-byte store; the bytes past the spilled words lie beyond pending.
        store64le(out, acc);
    } else {
        for (uint32_t i = 0; i < 2 * words; i++) out[i] = static_cast<uint8_t>(acc >> (8 * i));
    }
    s->pending += 2 * words;
    s->bi_buf = static_cast<uint16_t>(acc >> (16 * words));
    s->bi_valid = total - static_cast<int>(16 * words);
    s->dyn_ltree[lc + LITERALS + 1].fc = static_cast<uint16_t>(s->dyn_ltree[lc + LITERALS + 1].fc + counting);
    syncUsed();
    return true;
}

template <const Layout& L>
void Matcher<L>::recordLiterals(int64_t from, int64_t count) {
    for (int64_t i = 0; i < count; i++) {
        unsigned c = window[from + i];
        s->d_buf[s->last_lit + used] = 0;
        s->l_buf[s->last_lit + used] = static_cast<uint8_t>(c);
        s->dyn_ltree[c].fc++;
        used++;
    }
}

template <const Layout& L>
void Matcher<L>::recordPiece(unsigned length, unsigned dist) {
    s->d_buf[s->last_lit + used] = static_cast<uint16_t>(dist);
    s->l_buf[s->last_lit + used] = static_cast<uint8_t>(length - MIN_MATCH);
    s->dyn_ltree[LITERALS + 1 + length_code_table[length - MIN_MATCH]].fc++;
    s->dyn_dtree[d_code(dist - 1)].fc++;
    used++;
}

template <const Layout& L>
int32_t sideMatch(deflate_state* s, uint8_t* window, uint32_t length, uint32_t outputLimit) {
    SideBuffer* sb = s->sideBuffer;
    Matcher<L> m{s,
                 sb,
                 window,
                 sb->hash,
                 sb->minMatch == 3 ? 0xffffffu : 0xffffffffu,
                 s->mode != 2,
                 s->treeState == 1,
                 s->curLitTree == static_ltree && s->curDistTree == static_dtree,
                 s->strm->avail_out,
                 0};
    const int64_t minMatch = sb->minMatch;
    const bool noSkip = sb->noSkip != 0;

    const int64_t ip0 = static_cast<int64_t>(sb->fill);
    const int64_t iend = ip0 + length;
    const int64_t mflimit = iend - (minMatch + 8);
    const int64_t matchlimit = m.direct ? iend : iend - 5;

    if (m.direct) {
        const int64_t room = static_cast<uint32_t>(s->pending_buf_size - s->pending - 20) >> 1;
        // The limit is an amount of output space: unsigned, however large the caller's buffer.
        m.budget = room < static_cast<int64_t>(outputLimit) ? room : static_cast<int64_t>(outputLimit);
        m.pendingStart = s->pending;
    } else {
        m.budget = static_cast<int64_t>(s->lit_bufsize) - s->last_lit;
    }
    // Keeps the searched positions within what the remaining budget can pay for.
    auto searchLimit = [&](int64_t ip) {
        int64_t limit = ip + (m.budget - L.searchMargin) - m.used;
        return limit < mflimit ? limit : mflimit;
    };

    int64_t anchor = ip0;  // start of the pending literal run
    int64_t ip = ip0;
    int64_t ref = 0;
    int64_t stopAt = -1;  // input position where a code did not fit

    if (m.budget <= L.literalsOnlyBudget || length <= minMatch + 8 || s->strategy == Z_HUFFMAN_ONLY) goto lastLiterals;

    if (sb->fill == 0) {
        m.hash[m.hashAt(ip0)] = 0;
        ip = ip0 + 1;
    }

    for (;;) {
        // Search for a candidate, one probe per visited position.
        {
            const int64_t limit = searchLimit(ip);
            uint32_t attempts = 67;
            int64_t step = 1;
            uint32_t h = m.hashAt(ip);
            for (;;) {
                if (!noSkip) step = attempts++ >> 6;
                const int64_t next = ip + step;
                if (next > limit) goto lastLiterals;
                ref = m.position(m.hash[h]);
                m.hash[h] = m.entry(ip);
                const uint32_t hn = m.hashAt(next);
                if (m.candidate(ref, ip)) break;
                ip = next;
                h = hn;
            }
        }

        // Extend the match backwards over the pending literals.
        if (!noSkip) {
            while (ref > 0 && ip > anchor && window[ip - 1] == window[ref - 1]) {
                ip--;
                ref--;
            }
        }

        // The literal run before the match.
        if (m.direct) {
            const int64_t end = m.writeLiterals(anchor, ip - anchor);
            if (end != ip) {
                stopAt = end;
                goto finish;
            }
        } else {
            if (m.used + (ip - anchor) > m.budget) return -1;
            m.recordLiterals(anchor, ip - anchor);
            if (m.budget - m.used <= 0) return -1;
        }

        // Matches at ip (against ref) follow one another while the next position matches at once.
        for (;;) {
            const unsigned dist = static_cast<unsigned>(ip - ref);
            int64_t cap = ip - 7 + 258 * (m.budget - m.used);
            if (cap > matchlimit) cap = matchlimit;
            if (!m.direct && ip + minMatch > cap) return -1;

            int64_t p = ip + minMatch;
            int64_t q = ref + minMatch;
            if (!noSkip && L.wideCompare) {
                bool differs = false;
                while (p < cap - 7) {
                    const uint64_t diff = load64(window + p) ^ load64(window + q);
                    if (diff != 0) {
                        p += __builtin_ctzll(diff) / 8;  // little-endian: lowest set byte differs first
                        differs = true;
                        break;
                    }
                    p += 8;
                    q += 8;
                }
                if (!differs) {
                    if (p < matchlimit - 3 && load32(window + p) == load32(window + q)) p += 4, q += 4;
                    if (p < matchlimit - 1 && load16(window + p) == load16(window + q)) p += 2, q += 2;
                    if (p < matchlimit && window[p] == window[q]) p += 1;
                }
            } else if (!noSkip) {
                bool differs = false;
                while (p < cap - 3) {
                    const uint32_t diff = load32(window + p) ^ load32(window + q);
                    if (diff != 0) {
                        p += __builtin_ctz(diff) / 8;
                        differs = true;
                        break;
                    }
                    p += 4;
                    q += 4;
                }
                if (!differs) {
                    if (p < matchlimit - 1 && load16(window + p) == load16(window + q)) p += 2, q += 2;
                    if (p < matchlimit && window[p] == window[q]) p += 1;
                }
            } else {
                // Byte by byte, entering every position; every 16 bytes the table must confirm
                // that the reference ran along, or the match ends.
                // Runs of equal bytes up to the next check are found eight bytes at a time (the
                // window's slack covers the reads), then entered position by position in order.
                const int64_t end = cap - 3;
                int64_t counter = 16 - minMatch;
                for (;;) {
                    const int64_t n = counter < end - p ? counter : end - p;
                    if (n <= 0) break;
                    int64_t k = 0;
                    for (;;) {
                        const uint64_t diff = load64(window + p + k) ^ load64(window + q + k);
                        if (diff != 0) {
                            k += __builtin_ctzll(diff) / 8;
                            break;
                        }
                        k += 8;
                        if (k >= n) break;
                    }
                    if (k > n) k = n;
                    m.enterRun(p, k, dist);
                    p += k;
                    q += k;
                    counter -= k;
                    if (k < n || p >= end) break;
                    // Sixteen bytes on, the table must still pair this position with the reference.
                    if (m.hash[m.hashAt(p)] != m.entry(q)) break;
                    counter = 16;
                }
            }
            int64_t len = p - ip;

            // Write the match as pieces of at most 258 bytes; 1 or 2 bytes left over become
            // literals of the next run.
            if (m.direct) {
                while (len >= MAX_MATCH) {
                    if (!m.writePiece(MAX_MATCH, dist)) {
                        stopAt = ip;
                        goto finish;
                    }
                    ip += MAX_MATCH;
                    len -= MAX_MATCH;
                }
                if (len >= MIN_MATCH) {
                    if (!m.writePiece(static_cast<unsigned>(len), dist)) {
                        stopAt = ip;
                        goto finish;
                    }
                    ip = p;
                } else {
                    ip = p - len;
                }
            } else {
                if (s->mode == 2 && m.used + (len + MAX_MATCH - 1) / MAX_MATCH > m.budget) return -1;
                while (len >= MAX_MATCH) {
                    m.recordPiece(MAX_MATCH, dist);
                    ip += MAX_MATCH;
                    len -= MAX_MATCH;
                }
                if (len >= MIN_MATCH) {
                    m.recordPiece(static_cast<unsigned>(len), dist);
                    ip = p;
                } else {
                    ip = p - len;
                }
            }

            if (ip > searchLimit(ip)) {
                anchor = ip;
                goto lastLiterals;
            }
            m.hash[m.hashAt(ip - 2)] = m.entry(ip - 2);
            const uint32_t h = m.hashAt(ip);
            ref = m.position(m.hash[h]);
            m.hash[h] = m.entry(ip);
            anchor = ip;
            if (!m.candidate(ref, ip)) break;
        }
        ip = anchor + 1;
    }

lastLiterals:
    for (;;) {
        int64_t n = iend - anchor;
        if (n > m.budget - m.used) n = m.budget - m.used;
        if (n <= 0) break;
        if (m.direct) {
            anchor = m.writeLiterals(anchor, n);
            if (s->stopFlag != 0) break;
        } else {
            m.recordLiterals(anchor, n);
            anchor += n;
        }
        if (anchor >= iend) break;
    }
    stopAt = anchor;

finish:
    sb->fill = static_cast<uint64_t>(stopAt);
    s->last_lit += static_cast<uint32_t>(m.used);
    return static_cast<int32_t>(m.used);
}

}  // namespace

int32_t side_match(deflate_state* s, uint8_t* window, uint32_t length, uint32_t outputLimit) {
#ifdef _WIN32
    return sideMatch<kWindowsLayout>(s, window, length, outputLimit);
#else
    return sideMatch<kLinuxLayout>(s, window, length, outputLimit);
#endif
}

int32_t side_match_windows_layout(deflate_state* s, uint8_t* window, uint32_t length, uint32_t outputLimit) {
    return sideMatch<kWindowsLayout>(s, window, length, outputLimit);
}

}  // namespace vdeflate
