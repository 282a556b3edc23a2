// Card and node model: card blocks with sector trailers, the rotating parity card, node charging.
#include "model/Tarnel.h"

#include <algorithm>
#include <cstring>
#include <iostream>
#include <stdexcept>

#include "model/CodeBook.h"
#include "model/CodeBookTables.h"
#include "model/Compressor.h"
#include "model/StoredSize.h"

namespace orvane::tessaline::kbx::tarnel {

namespace {

// A card is compressed as its 4096 bytes, 64 zero bytes and one 8-byte trailer per sector.
constexpr uint32_t kSectorSize = 512;
constexpr uint32_t kSectorsPerCard = KUV_CARD_SIZE / kSectorSize;  // 8
constexpr uint32_t kTrailerOffset = KUV_CARD_SIZE + 64;
constexpr uint32_t kTrailerSize = 8;
constexpr uint32_t kCardBlockSize = kTrailerOffset + kSectorsPerCard * kTrailerSize;  // 4224
constexpr uint32_t kDrawsPerSector = 6;
constexpr uint32_t kDrawsPerCard = kSectorsPerCard * kDrawsPerSector;

// Writes the trailers of a card's eight sectors from the card's 48 draws (six per sector,
// sector 0 first): 0xFF, 0xFF, r4, r5, r0, r1, r2, r3.
void writeTrailers(uint8_t* block, const uint8_t* draws) {
    for (uint32_t s = 0; s < kSectorsPerCard; ++s) {
        const uint8_t* r = draws + s * kDrawsPerSector;
        uint8_t* trailer = block + kTrailerOffset + s * kTrailerSize;
        const uint8_t bytes[kTrailerSize] = {0xFF, 0xFF, r[4], r[5], r[0], r[1], r[2], r[3]};
        std::memcpy(trailer, bytes, kTrailerSize);
    }
}

}  // namespace

Tarnel::Tarnel(uint32_t dataCards, uint32_t parityCards, uint32_t nodesPerCard)
    : dataCards(dataCards), parityCards(parityCards), nodesPerCard(nodesPerCard),
      sizeFactor(32.0 / 33.0), rng(5489u), byteDist(0, 255) {
    if (dataCards == 0)
        throw std::runtime_error("[orvane::tessaline::kbx::tarnel::Tarnel()] Error: Number of data "
                                 "cards must be at least 1");
    if (parityCards > 1)
        throw std::runtime_error("[orvane::tessaline::kbx::tarnel::Tarnel()] Error: Number of "
                                 "parity cards can be {0,1}");
    if (nodesPerCard != 1 && nodesPerCard != 2)
        throw std::runtime_error("[orvane::tessaline::kbx::tarnel::Tarnel()] Error: Number of "
                                 "nodes per cards can be either {1,2}");
    totalCards = dataCards + parityCards;
    totalNodes = totalCards * nodesPerCard;
    nodeInBytes.assign(totalNodes, 0);
    nodeOutBytes.assign(totalNodes, 0);
}

uint32_t Tarnel::parityCard(uint32_t stripeNumber, uint32_t cards) {
    // Bits 0 and 1 go to bits 24 and 25, bits 2..7 reversed to bits 31..26 and bits 8..31
    // reversed to bits 23..0; scaling v to 0..cards-1 then makes the four stripes of a group
    // share a position while the groups walk the positions in bit-reversed order.
    uint32_t v = (stripeNumber & 3u) << 24;
    for (uint32_t bit = 2; bit < 8; ++bit)
        v |= ((stripeNumber >> bit) & 1u) << (33 - bit);
    for (uint32_t bit = 8; bit < 32; ++bit)
        v |= ((stripeNumber >> bit) & 1u) << (31 - bit);
    return static_cast<uint32_t>((static_cast<uint64_t>(v) * cards) >> 32);
}

uint32_t Tarnel::nodeOf(uint32_t position, uint64_t stripeNumber) const {
    const uint32_t offset = nodesPerCard == 2 ? static_cast<uint32_t>((stripeNumber >> 1) & 1u) : 0;
    return position * nodesPerCard + offset;
}

int32_t Tarnel::compressKuv(uint64_t stripeNumber, const std::vector<uint8_t>& stripe,
                            uint32_t* total) {
    // Computed in 64 bits: a 32-bit product would wrap for very many cards and let a short
    // stripe through the check.
    const uint64_t expected = static_cast<uint64_t>(dataCards) * KUV_CARD_SIZE;
    if (stripe.size() != expected) {
        std::cerr << "[orvane::tessaline::kbx::tarnel::compressKuv] Error: Input stripe vector "
                     "does not have length "
                  << expected << std::endl;
        return -1;
    }
    try {
        CodeBook codeBook(cardLitLenLengths, cardDistLengths);
        Compressor compressor(kCardBlockSize, kModelMatcherMode, kModelHashBytes,
                              kModelMinLaneWords, kModelFieldOrder, &codeBook);

        // Data cards' blocks first, then the parity card's.
        std::vector<uint8_t> blocks(static_cast<size_t>(totalCards) * kCardBlockSize, 0);
        uint8_t* parity =
            parityCards ? blocks.data() + static_cast<size_t>(dataCards) * kCardBlockSize : nullptr;
        for (uint32_t c = 0; c < dataCards; ++c) {
            uint8_t* block = blocks.data() + static_cast<size_t>(c) * kCardBlockSize;
            std::memcpy(block, stripe.data() + static_cast<size_t>(c) * KUV_CARD_SIZE,
                        KUV_CARD_SIZE);
            uint8_t draws[kDrawsPerCard];
            {
                std::lock_guard<std::mutex> lock(mutex);
                for (uint8_t& draw : draws) draw = static_cast<uint8_t>(byteDist(rng));
            }
            writeTrailers(block, draws);
            if (parity)
                for (uint32_t j = 0; j < kCardBlockSize; ++j) parity[j] ^= block[j];
        }

        std::vector<uint32_t> sizes(totalCards);
        if (total) *total = 0;
        for (uint32_t b = 0; b < totalCards; ++b) {
            uint32_t book = 0;
            sizes[b] = scaledSize(
                compressor.compress(blocks.data() + static_cast<size_t>(b) * kCardBlockSize, &book)
                    .size());
            if (total) *total += sizes[b];
        }

        // Without a parity card, data card c stands at position c; with one, the data cards
        // fill the positions around the parity card's in order.
        const uint32_t parityPosition =
            parityCards ? parityCard(static_cast<uint32_t>(stripeNumber), totalCards) : totalCards;
        std::lock_guard<std::mutex> lock(mutex);
        if (parityCards) nodeOutBytes[nodeOf(parityPosition, stripeNumber)] += sizes[dataCards];
        for (uint32_t c = 0; c < dataCards; ++c) {
            const uint32_t position = c < parityPosition ? c : c + 1;
            nodeOutBytes[nodeOf(position, stripeNumber)] += sizes[c];
        }
        for (uint32_t position = 0; position < totalCards; ++position)
            nodeInBytes[nodeOf(position, stripeNumber)] += KUV_CARD_SIZE;
    } catch (...) {
        reportCaughtException("orvane::tessaline::kbx::tarnel::compressKuv");
        return -1;
    }
    return 0;
}

double Tarnel::minNodeRatio() const {
    std::lock_guard<std::mutex> lock(mutex);
    double lowest = 1e30;
    for (uint32_t n = 0; n < totalNodes; ++n) {
        // A node never charged has no ratio (0/0) and leaves the minimum alone.
        if (nodeOutBytes[n] == 0) continue;
        const double q =
            static_cast<double>(nodeInBytes[n]) / static_cast<double>(nodeOutBytes[n]);
        if (q < lowest) lowest = q;
    }
    return lowest;
}

void Tarnel::nodeBytesIn(std::vector<uint64_t>& out) const {
    out.resize(totalNodes);
    std::lock_guard<std::mutex> lock(mutex);
    std::copy(nodeInBytes.begin(), nodeInBytes.end(), out.begin());
}

void Tarnel::nodeBytesOut(std::vector<uint64_t>& out) const {
    out.resize(totalNodes);
    std::lock_guard<std::mutex> lock(mutex);
    std::copy(nodeOutBytes.begin(), nodeOutBytes.end(), out.begin());
}

}  // namespace orvane::tessaline::kbx::tarnel
