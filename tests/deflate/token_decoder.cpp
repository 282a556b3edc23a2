#include "token_decoder.h"

namespace tokens {

namespace {

class BitReader {
public:
    BitReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool bits(int count, uint32_t& out) {
        out = 0;
        for (int i = 0; i < count; i++) {
            if (pos_ >= size_ * 8) return false;
            out |= static_cast<uint32_t>((data_[pos_ / 8] >> (pos_ % 8)) & 1) << i;
            pos_++;
        }
        return true;
    }
    // Huffman codes are sent most significant bit first.
    bool codeBit(uint32_t& code) {
        uint32_t b;
        if (!bits(1, b)) return false;
        code = (code << 1) | b;
        return true;
    }
    void alignToByte() { pos_ = (pos_ + 7) / 8 * 8; }
    bool byte(uint32_t& out) { return bits(8, out); }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

const uint32_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                  31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
const int kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const uint32_t kDistBase[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                                193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const int kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// The fixed literal/length code of RFC 1951, section 3.2.6; -1 when the data ends.
int fixedSymbol(BitReader& in) {
    uint32_t code = 0;
    for (int len = 1; len <= 9; len++) {
        if (!in.codeBit(code)) return -1;
        if (len == 7 && code <= 0x17) return static_cast<int>(256 + code);
        if (len == 8 && code >= 0x30 && code <= 0xbf) return static_cast<int>(code - 0x30);
        if (len == 8 && code >= 0xc0 && code <= 0xc7) return static_cast<int>(280 + code - 0xc0);
        if (len == 9 && code >= 0x190) return static_cast<int>(144 + code - 0x190);
    }
    return -2;
}

}  // namespace

Decoded decode(const uint8_t* data, size_t size) {
    Decoded out;
    BitReader in(data, size);
    for (;;) {
        uint32_t last, type;
        if (!in.bits(1, last) || !in.bits(2, type)) {
            out.truncated = true;
            return out;
        }
        if (type == 0) {
            in.alignToByte();
            uint32_t lo, hi, nlo, nhi;
            if (!in.byte(lo) || !in.byte(hi) || !in.byte(nlo) || !in.byte(nhi)) {
                out.truncated = true;
                return out;
            }
            const uint32_t len = lo | hi << 8;
            if ((len ^ (nlo | nhi << 8)) != 0xffff) {
                out.invalid = true;
                return out;
            }
            out.tokens.push_back({Type::StoredBlock, len, 0, last != 0});
            for (uint32_t i = 0; i < len; i++) {
                uint32_t b;
                if (!in.byte(b)) {
                    out.truncated = true;
                    return out;
                }
            }
        } else if (type == 1) {
            out.tokens.push_back({Type::StaticBlock, 0, 0, last != 0});
            for (;;) {
                int sym = fixedSymbol(in);
                if (sym == -1) {
                    out.truncated = true;
                    return out;
                }
                if (sym < 0 || sym > 285) {
                    out.invalid = true;
                    return out;
                }
                if (sym < 256) {
                    out.tokens.push_back({Type::Literal, static_cast<uint32_t>(sym)});
                    continue;
                }
                if (sym == 256) {
                    out.tokens.push_back({Type::EndOfBlock});
                    break;
                }
                uint32_t extra, dcode, dextra;
                const int li = sym - 257;
                if (!in.bits(kLengthExtra[li], extra)) {
                    out.truncated = true;
                    return out;
                }
                const uint32_t length = kLengthBase[li] + extra;
                dcode = 0;
                for (int i = 0; i < 5; i++) {
                    if (!in.codeBit(dcode)) {
                        out.truncated = true;
                        return out;
                    }
                }
                if (dcode >= 30) {
                    out.invalid = true;
                    return out;
                }
                if (!in.bits(kDistExtra[dcode], dextra)) {
                    out.truncated = true;
                    return out;
                }
                out.tokens.push_back({Type::Match, length, kDistBase[dcode] + dextra});
            }
        } else if (type == 2) {
            out.tokens.push_back({Type::DynamicBlock, 0, 0, last != 0});
            return out;
        } else {
            out.invalid = true;
            return out;
        }
        if (last) return out;
    }
}

}  // namespace tokens
