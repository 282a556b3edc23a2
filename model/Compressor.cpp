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
      packer(minLaneWords, blockSize), encoder(nullptr) {
    if (codeBook == nullptr) throw std::invalid_argument("Compressor: no code book");
    if (blockSize % 4 != 0 || blockSize > Deflate::kMaxDistance)
        throw std::invalid_argument("Compressor: block size must be a multiple of 4 up to 32768");
    if (matcherMode != 2 || hashBytes != 3 || fieldOrder != 1)
        throw std::invalid_argument("Compressor: unsupported matcher or packer settings");
    hashTables.assign(kHashEntries, HashSlot{});
    // A block yields at most one token per byte and the end token; three more take the
    // literal stores that the matcher makes ahead.
    tokenBuffer.reset(new Token[std::size_t(blockSize) + 4]);
    encoder = new Encoder(blockSize, codeBook);
}

Compressor::~Compressor() { delete encoder; }

std::vector<Token> Compressor::matchFull(const uint8_t* block) {
    std::size_t matches = 0;
    const std::size_t count = matchInto(block, &matches);
    return std::vector<Token>(tokenBuffer.get(), tokenBuffer.get() + count);
}

std::vector<uint8_t> Compressor::compress(const uint8_t* block, uint32_t* bookOut) {
    std::size_t matches = 0;
    const std::size_t count = matchInto(block, &matches);
    const Token* const tokens = tokenBuffer.get();
    uint32_t book = 0;
    codeBook->selectBook(tokens, count, &book);
    *bookOut = book;

    // Code each token and hand it straight to its lane: the records of Encoder::encode,
    // without keeping them.
    const Token* next = tokens;
    return packer.pack(count, matches, [&]() VANTREL_ALWAYS_INLINE {
        return encoder->encodeToken(*next++, book, book);
    });
}

namespace {

// Bytes j, j+1, j+2 of the window as a x 65536 + b x 256 + c; `bigEndian` is the window
// byte-swapped, so those bytes are bits 40 - 8j and up.
inline uint32_t laneBytes(uint64_t bigEndian, uint32_t j) {
    return static_cast<uint32_t>(bigEndian >> (40 - 8 * j)) & 0xFFFFFF;
}

}  // namespace

std::size_t Compressor::matchInto(const uint8_t* block, std::size_t* matches) {
    const uint32_t n = blockSize;
    // Generation 0 marks slots never written; when the 16 bits wrap every slot is cleared.
    generation = (generation + 1) & 0xFFFF;
    if (generation == 0) {
        hashTables.assign(kHashEntries, HashSlot{});
        generation = 1;
    }
    HashSlot* const slots = hashTables.data();
    Token* out = tokenBuffer.get();
    std::size_t matchCount = 0;

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
        const uint32_t hash[kLanes] = {
            hashOf(laneBytes(bigEndian, 0)), hashOf(laneBytes(bigEndian, 1)),
            hashOf(laneBytes(bigEndian, 2)), hashOf(laneBytes(bigEndian, 3))};
        const uint32_t key[kLanes] = {
            static_cast<uint32_t>(window), static_cast<uint32_t>(window >> 8),
            static_cast<uint32_t>(window >> 16), static_cast<uint32_t>(window >> 24)};

        // Continuation: how many leading bytes of the step extend the open match.
        // (With no match open, `source` and `length` still point inside the block.)
        const uint32_t diff = low ^ load32(block + source + length);
        uint32_t extend = diff == 0 ? 4 : firstDifferingByte(diff);
        extend = extend > kMaxMatch - length ? kMaxMatch - length : extend;
        extend = active ? extend : 0;

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
            // (only lane 0 in the last step) and, with a match open that is shorter than 4
            // bytes, cutting it there must leave at least 4. The decisions after the probe are
            // arithmetic rather than branches, since in real data they are too irregular to
            // predict.
            const uint32_t firstLane = active && length < kMinMatch ? kMinMatch - length : 0;
            const uint32_t laneEnd = lastStep ? 1 : kLanes;
            // A copy turns up at an irregular lane, so all four lanes are probed and the lowest
            // allowed one taken without a branch per lane.
            const int32_t copies[kLanes] = {
                nearestCopy(slots[hash[0]], key[0], generation),
                nearestCopy(slots[hash[1]], key[1], generation),
                nearestCopy(slots[hash[2]], key[2], generation),
                nearestCopy(slots[hash[3]], key[3], generation)};
            uint32_t allowed = uint32_t(copies[0] >= 0) | uint32_t(copies[1] >= 0) << 1 |
                               uint32_t(copies[2] >= 0) << 2 | uint32_t(copies[3] >= 0) << 3;
            allowed &= (0xFu << firstLane) & ((1u << laneEnd) - 1);
            const uint32_t start = bits::lowestSetBit(allowed | (1u << kLanes));  // 4: none
            const int32_t best = copies[start & 3];
            const bool opens = start < kLanes;

            // With a match open: a new match starting below the end of the continuation cuts it
            // there; otherwise it ends after the continuation and the lanes up to the new match
            // (or the step's end) are literals.
            const bool cut = active && opens && extend > start;
            const uint32_t literalFrom = active && !cut ? extend : 0;
            const uint32_t literalTo = cut ? 0 : start;
            *out = Token{length + (cut ? start : extend) + 256, distance};
            out += active;
            matchCount += active;
            // Four literal tokens are written from the window (whose bytes 4..7 exist even in
            // the last step) and only the wanted ones kept; the token buffer has room for that.
            const uint64_t literals = window >> (8 * literalFrom);
            out[0] = Token{static_cast<uint32_t>(literals) & 0xFF, kNoDistance};
            out[1] = Token{static_cast<uint32_t>(literals >> 8) & 0xFF, kNoDistance};
            out[2] = Token{static_cast<uint32_t>(literals >> 16) & 0xFF, kNoDistance};
            out[3] = Token{static_cast<uint32_t>(literals >> 24) & 0xFF, kNoDistance};
            out += literalTo > literalFrom ? literalTo - literalFrom : 0;

            // With no match open, source and length stay pointing inside the block.
            active = opens;
            const uint32_t lane = opens ? start : 0;
            source = opens ? static_cast<uint32_t>(best) : 0;
            distance = pos + lane - source;
            length = opens ? kLanes - lane : 0;
        }

        // Store after the probe, so a lane never matches bytes of its own step.
        for (uint32_t k = 0; k < kLanes; ++k) {
            HashSlot& slot = slots[hash[k]];
            slot.bytes[k] = key[k];
            slot.tag[k] = hashTag(generation, storePos + k);
        }
        pos = storePos;
    }

    // Flush: the open match ends with the block.
    if (active) *out++ = Token{length + 256, distance};
    *out++ = Token{kEndOfBlock, kNoDistance};
    *matches = matchCount + active;
    return static_cast<std::size_t>(out - tokenBuffer.get());
}

}  // namespace orvane::tessaline::kbx::tarnel
