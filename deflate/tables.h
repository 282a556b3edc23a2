// Static tables of the deflate format, computed at compile time from the code-length rules.
#pragma once

#include <cstdint>

namespace vdeflate {

constexpr int LENGTH_CODES = 29;
constexpr int LITERALS = 256;
constexpr int L_CODES = LITERALS + 1 + LENGTH_CODES;  // 286 literal/length symbols
constexpr int D_CODES = 30;
constexpr int BL_CODES = 19;
constexpr int MAX_BITS = 15;
constexpr int MIN_MATCH = 3;
constexpr int MAX_MATCH = 258;

// One tree node: fc is the frequency (while building) or the code; dl is the parent (while
// building) or the code length.
struct ct_data {
    uint16_t fc;
    uint16_t dl;
};

struct StaticTables {
    ct_data ltree[L_CODES + 2];
    ct_data dtree[D_CODES];
    uint8_t distCode[512];
    uint8_t lengthCode[MAX_MATCH - MIN_MATCH + 1];
    int baseLength[LENGTH_CODES];
    int baseDist[D_CODES];
    int extraL[LENGTH_CODES];
    int extraD[D_CODES];
};

namespace tables_detail {

constexpr unsigned reverseBits(unsigned code, int len) {
    unsigned res = 0;
    for (int i = 0; i < len; ++i) {
        res = (res << 1) | (code & 1);
        code >>= 1;
    }
    return res;
}

constexpr StaticTables makeStaticTables() {
    StaticTables t{};
    const int extraL[LENGTH_CODES] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
    const int extraD[D_CODES] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6,
                                 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
    for (int i = 0; i < LENGTH_CODES; ++i) t.extraL[i] = extraL[i];
    for (int i = 0; i < D_CODES; ++i) t.extraD[i] = extraD[i];

    // Length codes: each covers 2^extra lengths; length 258 has its own code 28.
    int length = 0;
    for (int code = 0; code < LENGTH_CODES - 1; ++code) {
        t.baseLength[code] = length;
        for (int n = 0; n < (1 << extraL[code]); ++n) t.lengthCode[length++] = static_cast<uint8_t>(code);
    }
    t.lengthCode[length - 1] = static_cast<uint8_t>(LENGTH_CODES - 1);
    t.baseLength[LENGTH_CODES - 1] = MAX_MATCH - MIN_MATCH;

    // Distance codes: distances below 256 index directly, larger ones by distance >> 7.
    int dist = 0;
    for (int code = 0; code < 16; ++code) {
        t.baseDist[code] = dist;
        for (int n = 0; n < (1 << extraD[code]); ++n) t.distCode[dist++] = static_cast<uint8_t>(code);
    }
    dist >>= 7;
    for (int code = 16; code < D_CODES; ++code) {
        t.baseDist[code] = dist << 7;
        for (int n = 0; n < (1 << (extraD[code] - 7)); ++n) t.distCode[256 + dist++] = static_cast<uint8_t>(code);
    }

    // The fixed literal/length code: lengths 8, 9, 7 and 8 over its four ranges, canonical codes.
    int count[MAX_BITS + 1] = {};
    for (int n = 0; n < L_CODES + 2; ++n) {
        int len = n <= 143 ? 8 : n <= 255 ? 9 : n <= 279 ? 7 : 8;
        t.ltree[n].dl = static_cast<uint16_t>(len);
        ++count[len];
    }
    unsigned next[MAX_BITS + 1] = {};
    unsigned code = 0;
    for (int bits = 1; bits <= MAX_BITS; ++bits) {
        code = (code + static_cast<unsigned>(count[bits - 1])) << 1;
        next[bits] = code;
    }
    for (int n = 0; n < L_CODES + 2; ++n) {
        int len = t.ltree[n].dl;
        t.ltree[n].fc = static_cast<uint16_t>(reverseBits(next[len]++, len));
    }
    // The fixed distance code: five bits each.
    for (int n = 0; n < D_CODES; ++n) {
        t.dtree[n].dl = 5;
        t.dtree[n].fc = static_cast<uint16_t>(reverseBits(static_cast<unsigned>(n), 5));
    }
    return t;
}

}  // namespace tables_detail

inline constexpr StaticTables kStaticTables = tables_detail::makeStaticTables();

inline constexpr const auto& static_ltree = kStaticTables.ltree;
inline constexpr const auto& static_dtree = kStaticTables.dtree;
inline constexpr const auto& length_code_table = kStaticTables.lengthCode;
inline constexpr const auto& base_length = kStaticTables.baseLength;
inline constexpr const auto& base_dist = kStaticTables.baseDist;
inline constexpr const auto& extra_lbits = kStaticTables.extraL;
inline constexpr const auto& extra_dbits = kStaticTables.extraD;

// Distance code of a distance minus one. The index is selected before the one load, so that no
// branch depends on the distance (short and long distances alternate unpredictably).
inline unsigned d_code(unsigned dist) {
    const unsigned index = dist < 256 ? dist : 256 + (dist >> 7);
    return kStaticTables.distCode[index];
}

}  // namespace vdeflate
