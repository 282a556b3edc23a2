#include "model/Compressor.h"

#include <cstddef>
#include <cstring>
#include <stdexcept>

namespace orvane::tessaline::kbx::tarnel {

namespace {

uint32_t load32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

constexpr uint32_t kNoLane = 4;

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
    tokens.reserve(2 * std::size_t(blockSize));
    encoder = new Encoder(blockSize, codeBook);
}

Compressor::~Compressor() { delete encoder; }

std::vector<Token> Compressor::matchFull(const uint8_t* block) {
    std::vector<Token> result;
    matchInto(block, result);
    return result;
}

std::vector<uint8_t> Compressor::compress(const uint8_t* block, uint32_t* bookOut) {
    matchInto(block, tokens);
    uint32_t book = 0;
    codeBook->selectBook(tokens, &book);
    *bookOut = book;

    // Code each token and hand it straight to its lane: the same records as Encoder::encode,
    // without keeping them all.
    packer.begin();
    LaneAssigner assigner;
    for (const Token& token : tokens) {
        const EncodedSymbol record = encoder->encodeToken(token, book, book);
        packer.add(record, assigner.next(record.isLiteral != 0));
    }
    return packer.finish();
}

void Compressor::invalidateTables() {
    // A slot is valid only when it carries the current block's generation, so starting a block
    // invalidates every slot at once. Generation 0 marks slots never written.
    if (++generation == 0) {
        hashTables.assign(kHashEntries, HashSlot{});
        generation = 1;
    }
}

void Compressor::probeLane(uint32_t pos, uint32_t j) {
    const HashSlot& slot = hashTables[laneHash[j]];
    int32_t best = -1;
    for (uint32_t k = 0; k < kLanes; ++k) {
        if (slot.generation[k] == generation && slot.bytes[k] == laneBytes[j]) {
            // Way k stored the bytes of lane k, so the copy starts at position + k. Positions
            // from different ways never coincide: the largest is the nearest copy.
            const int32_t candidate = static_cast<int32_t>(slot.position[k] + k);
            if (candidate > best) best = candidate;
        }
    }
    laneHasCandidate[j] = best >= 0;
    laneBest[j] = static_cast<uint32_t>(best);
    laneDistance[j] = pos + j - laneBest[j];
}

void Compressor::matchInto(const uint8_t* block, std::vector<Token>& out) {
    const uint32_t n = blockSize;
    invalidateTables();
    matchActive = false;
    matchSource = matchLength = matchDistance = 0;
    out.clear();
    out.reserve(2 * std::size_t(n));

    // Steps of four bytes; the step at pos == n only flushes the open match.
    for (uint32_t pos = 0; pos <= n; pos += 4) {
        const bool inBlock = pos < n;
        if (inBlock) {
            // The upper half of the last step's window repeats its lower half, so nothing past
            // the block is read; lanes 1..3 of that step may not start a match anyway.
            std::memcpy(window, block + pos, 4);
            std::memcpy(window + 4, block + (pos + 4 < n ? pos + 4 : pos), 4);
            for (uint32_t j = 0; j < kLanes; ++j) {
                laneBytes[j] = load32(window + j);
                laneHash[j] = hash3(window[j], window[j + 1], window[j + 2]);
            }
        }

        // Continuation: the leading bytes of the step that extend the open match.
        uint32_t extend = 0;
        if (inBlock && matchActive) {
            const uint8_t* source = block + matchSource + matchLength;
            while (extend < kLanes && matchLength + extend < kMaxMatch &&
                   block[pos + extend] == source[extend])
                ++extend;
        }

        nextActive = false;
        nextLength = nextSource = nextDistance = 0;
        uint32_t literalFrom = 0, literalTo = 0;  // lanes [from, to) are literals
        bool emit = false;
        uint32_t emitLength = 0;

        if (matchActive && extend == kLanes) {
            // The whole step extends the open match; candidates do not matter.
            nextActive = true;
            nextLength = matchLength + 4;
            nextSource = matchSource;
            nextDistance = matchDistance;
        } else {
            // The lowest lane that may start a match: its four bytes must lie inside the block,
            // and cutting the open match there must leave it at least 4 bytes long.
            uint32_t firstLane = 0;
            if (matchActive && matchLength < kMinMatch) firstLane = kMinMatch - matchLength;
            uint32_t start = kNoLane;
            for (uint32_t j = firstLane; j < kLanes && pos + 3 + j < n; ++j) {
                probeLane(pos, j);
                if (laneHasCandidate[j]) {
                    start = j;
                    break;
                }
            }
            if (matchActive) {
                emit = true;
                if (start != kNoLane && extend > start) {
                    emitLength = matchLength + start;  // the new match cuts the open one
                } else {
                    emitLength = matchLength + extend;
                    literalFrom = extend;
                    literalTo = start == kNoLane ? kLanes : start;
                }
            } else {
                literalTo = start == kNoLane ? kLanes : start;
            }
            if (start != kNoLane) {
                nextActive = true;
                nextLength = kLanes - start;
                nextSource = laneBest[start];
                nextDistance = laneDistance[start];
            }
        }

        if (emit) out.push_back(Token{emitLength + 256, matchDistance});
        if (inBlock)
            for (uint32_t i = literalFrom; i < literalTo; ++i)
                out.push_back(Token{block[pos + i], kNoDistance});

        matchActive = nextActive;
        matchLength = nextLength;
        matchSource = nextSource;
        matchDistance = nextDistance;

        if (inBlock) {
            for (uint32_t k = 0; k < kLanes; ++k) {
                HashSlot& slot = hashTables[laneHash[k]];
                slot.bytes[k] = laneBytes[k];
                slot.position[k] = pos;
                slot.generation[k] = generation;
            }
        }
    }
    out.push_back(Token{kEndOfBlock, kNoDistance});
}

}  // namespace orvane::tessaline::kbx::tarnel
