#include "model/Compressor.h"

#include <cstddef>
#include <cstring>
#include <stdexcept>

#include "model/BitOps.h"

namespace orvane::tessaline::kbx::tarnel {

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "the matcher reads the block in little-endian words"
#endif

namespace {

uint32_t load32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

uint64_t load64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

// Index of the first differing byte of two little-endian words; `diff` (their xor) is non-zero.
uint32_t firstDifferingByte(uint32_t diff) { return bits::lowestSetBit(diff) / 8; }

}  // namespace

Compressor::Compressor(uint32_t blockSize, uint32_t matcherMode, uint32_t hashBytes,
                       uint32_t minLaneWords, uint8_t fieldOrder, const CodeBook* codeBook)
    : codeBook(codeBook), matcherMode(matcherMode), hashBytes(hashBytes),
      minLaneWords(minLaneWords), fieldOrder(fieldOrder), blockSize(blockSize),
      packer(minLaneWords == 0 ? 1 : minLaneWords, blockSize), encoder(nullptr) {
    if (codeBook == nullptr) throw std::invalid_argument("Compressor: no code book");
    if (blockSize == 0 || blockSize % 4 != 0 || blockSize > Deflate::kMaxDistance)
        throw std::invalid_argument("Compressor: block size must be a multiple of 4 up to 32768");
    if (matcherMode != 2 || hashBytes != 3 || fieldOrder != 1 || minLaneWords == 0)
        throw std::invalid_argument("Compressor: unsupported matcher or packer settings");
    hashTables.assign(kHashEntries, HashSlot{});
    // A block yields at most one token per byte and the end token; three more take the
    // literal stores that the matcher makes ahead.
    tokenBuffer.reset(new Token[std::size_t(blockSize) + 4]);
    encoder = new Encoder(blockSize, codeBook);
}

Compressor::~Compressor() { delete encoder; }

std::vector<Token> Compressor::matchFull(const uint8_t* block) {
    const std::size_t count = matchInto(block);
    return std::vector<Token>(tokenBuffer.get(), tokenBuffer.get() + count);
}

std::vector<uint8_t> Compressor::compress(const uint8_t* block, uint32_t* bookOut) {
    const std::size_t count = matchInto(block);
    const Token* const tokens = tokenBuffer.get();
    uint32_t book = 0;
    codeBook->selectBook(tokens, count, &book);
    *bookOut = book;

    // Code each token and hand it straight to its lane: the records of Encoder::encode,
    // without keeping them.
    const Token* next = tokens;
    return packer.pack(count, [&]() VANTREL_ALWAYS_INLINE { return encoder->encodeToken(*next++, book, book); });
}

namespace {

// Hash of bytes j, j+1, j+2 of the window, as hash3 computes it; `bigEndian` is the window
// byte-swapped, so those bytes are bits 40 - 8j and up.
inline uint32_t laneHash(uint64_t bigEndian, uint32_t j) {
    const uint32_t v = static_cast<uint32_t>(bigEndian >> (40 - 8 * j)) & 0xFFFFFF;
    return ((v >> 9) + (v >> 3) + v) & 0x1FF;
}

}  // namespace

// Source position of the nearest earlier copy of the four bytes `key` in `slot`, or -1.
inline int32_t Compressor::nearestCopy(const HashSlot& slot, uint64_t key) {
    // Way k stored lane k's bytes, so its copy starts at position + k. Sources from different
    // ways never coincide: the largest is the nearest copy.
    const int32_t c0 = slot.key[0] == key ? static_cast<int32_t>(slot.position[0]) : -1;
    const int32_t c1 = slot.key[1] == key ? static_cast<int32_t>(slot.position[1] + 1) : -1;
    const int32_t c2 = slot.key[2] == key ? static_cast<int32_t>(slot.position[2] + 2) : -1;
    const int32_t c3 = slot.key[3] == key ? static_cast<int32_t>(slot.position[3] + 3) : -1;
    const int32_t c01 = c0 > c1 ? c0 : c1;
    const int32_t c23 = c2 > c3 ? c2 : c3;
    return c01 > c23 ? c01 : c23;
}

std::size_t Compressor::matchInto(const uint8_t* block) {
    const uint32_t n = blockSize;
    // Generation 0 marks slots never written; after a wrap every slot is cleared.
    if (++generation == 0) {
        hashTables.assign(kHashEntries, HashSlot{});
        generation = 1;
    }
    const uint64_t tag = uint64_t(generation) << 32;
    HashSlot* const slots = hashTables.data();
    Token* out = tokenBuffer.get();

    // The open match: `source` is where its earlier copy starts, `length` the bytes it covers.
    bool active = false;
    uint32_t source = 0, length = 0, distance = 0;

    // One step per four bytes; lanes 0..3 are the step's bytes.
    for (uint32_t pos = 0; pos < n; pos += 4) {
        const bool lastStep = pos + 4 == n;
        // The window holds the step's bytes and the next four; in the last step its upper half
        // repeats the lower, so nothing past the block is read.
        const uint32_t low = load32(block + pos);
        const uint64_t window = lastStep ? (low | uint64_t(low) << 32) : load64(block + pos);
        const uint64_t bigEndian = bits::byteSwap64(window);
        const uint32_t hash[kLanes] = {laneHash(bigEndian, 0), laneHash(bigEndian, 1),
                                       laneHash(bigEndian, 2), laneHash(bigEndian, 3)};
        const uint64_t key[kLanes] = {
            static_cast<uint32_t>(window) | tag, static_cast<uint32_t>(window >> 8) | tag,
            static_cast<uint32_t>(window >> 16) | tag, static_cast<uint32_t>(window >> 24) | tag};

        // Continuation: how many leading bytes of the step extend the open match.
        uint32_t extend = 0;
        if (active) {
            const uint32_t diff = low ^ load32(block + source + length);
            extend = diff == 0 ? 4 : firstDifferingByte(diff);
            if (extend > kMaxMatch - length) extend = kMaxMatch - length;
        }

        uint32_t storePos = pos;
        if (active && extend == 4) {
            // The whole step extends the match; candidates do not matter. Following steps
            // whose 8-byte window equals this one (a run with a period dividing 4) and that
            // still extend the match store the same keys into the same slots, so only the
            // last of them needs storing: skip to it.
            length += 4;
            uint32_t next = pos + 4;
            while (next + 4 < n && length + 4 < kMaxMatch + 1 &&
                   load32(block + next) == load32(block + source + length) &&
                   load64(block + next) == window) {
                length += 4;
                storePos = next;
                next += 4;
            }
        } else {
            // The lowest lane that may start a match: its four bytes must lie inside the block
            // (only lane 0 in the last step), and cutting the open match there must leave it at
            // least 4 bytes long.
            const uint32_t firstLane = active && length < kMinMatch ? kMinMatch - length : 0;
            const uint32_t laneEnd = lastStep ? 1 : kLanes;
            uint32_t start = kLanes;  // none
            int32_t best = -1;
            for (uint32_t j = firstLane; j < laneEnd; ++j) {
                best = nearestCopy(slots[hash[j]], key[j]);
                if (best >= 0) {
                    start = j;
                    break;
                }
            }

            uint32_t literalFrom = 0, literalTo = start;  // lanes [from, to) are literals
            if (active) {
                if (start < kLanes && extend > start) {
                    *out++ = Token{length + start + 256, distance};  // cut by the new match
                    literalTo = 0;
                } else {
                    *out++ = Token{length + extend + 256, distance};
                    literalFrom = extend;
                }
            }
            // Four literal tokens are written from the window (whose bytes 4..7 exist even in
            // the last step) and only the wanted ones kept; the token buffer has room for that.
            const uint64_t literals = window >> (8 * literalFrom);
            out[0] = Token{static_cast<uint32_t>(literals) & 0xFF, kNoDistance};
            out[1] = Token{static_cast<uint32_t>(literals >> 8) & 0xFF, kNoDistance};
            out[2] = Token{static_cast<uint32_t>(literals >> 16) & 0xFF, kNoDistance};
            out[3] = Token{static_cast<uint32_t>(literals >> 24) & 0xFF, kNoDistance};
            out += literalTo > literalFrom ? literalTo - literalFrom : 0;

            active = start < kLanes;
            if (active) {
                source = static_cast<uint32_t>(best);
                distance = pos + start - source;
                length = kLanes - start;
            }
        }

        // Store after the probe, so a lane never matches bytes of its own step.
        for (uint32_t k = 0; k < kLanes; ++k) {
            HashSlot& slot = slots[hash[k]];
            slot.key[k] = key[k];
            slot.position[k] = storePos;
        }
        pos = storePos;
    }

    // Flush: the open match ends with the block.
    if (active) *out++ = Token{length + 256, distance};
    *out++ = Token{kEndOfBlock, kNoDistance};
    return static_cast<std::size_t>(out - tokenBuffer.get());
}

}  // namespace orvane::tessaline::kbx::tarnel
