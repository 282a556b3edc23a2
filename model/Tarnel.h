// Card and node model: how a stripe spread over flash cards compresses, per card and per node.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include <boost/random/mersenne_twister.hpp>
#include <boost/random/uniform_int_distribution.hpp>

namespace orvane::tessaline::kbx::tarnel {

// Bytes of data on one card.
constexpr uint32_t KUV_CARD_SIZE = 4096;

// A stripe has `dataCards` data cards handed in by the caller and optionally one parity card,
// the exclusive-or of the data cards, whose position among the cards moves with the stripe
// number. Every card gets a 128-byte trailer and is compressed whole. Each card has one or two
// nodes; every stripe is charged to one node of each card, which collects the card's logical
// bytes (4096) and its scaled compressed bytes. One object is shared by all threads sampling a
// device; its node counts only ever grow.
class Tarnel {
public:
    // Builds a model with zero node counts and the generator at its fixed seed. Throws
    // std::runtime_error, checked in this order, when `dataCards` is 0, `parityCards` is above 1,
    // or `nodesPerCard` is neither 1 nor 2.
    Tarnel(uint32_t dataCards, uint32_t parityCards, uint32_t nodesPerCard);
    ~Tarnel() = default;

    Tarnel(const Tarnel&) = delete;
    Tarnel& operator=(const Tarnel&) = delete;

    // Compresses stripe number `stripeNumber`: `stripe` holds the data cards one after another,
    // card c at byte c x KUV_CARD_SIZE. Sets *total (when `total` is not null) to the sum of the
    // scaled sizes of all the stripe's cards, parity included, and charges the stripe to its
    // nodes. Returns 0, or -1 after a reported failure: a wrong length (reported on stderr,
    // *total untouched, nothing drawn) or an exception while compressing (reported on stdout,
    // node counts unchanged, *total holding the sizes summed so far). Thread-safe: the blocks
    // and their compression run outside the lock, so stripes are compressed in parallel.
    int32_t compressKuv(uint64_t stripeNumber, const std::vector<uint8_t>& stripe, uint32_t* total);

    // Position (0..cards - 1) of the parity card among `cards` cards for stripe `stripeNumber`;
    // groups of four stripes share a position and successive groups step through the positions
    // in bit-reversed order. `cards` must be at least 1. Pure function.
    static uint32_t parityCard(uint32_t stripeNumber, uint32_t cards);

    // Lowest logical/physical byte ratio over the nodes that have been charged, or 1e30 before
    // any stripe. Thread-safe.
    double minNodeRatio() const;

    // Resize `out` to one entry per node and copy the logical (`nodeBytesIn`) or scaled
    // compressed (`nodeBytesOut`) bytes charged to each node into it. Thread-safe.
    void nodeBytesIn(std::vector<uint64_t>& out) const;
    void nodeBytesOut(std::vector<uint64_t>& out) const;

private:
    // Node of card position `position` that stripe `stripeNumber` is charged to.
    uint32_t nodeOf(uint32_t position, uint64_t stripeNumber) const;

    uint32_t dataCards;
    uint32_t parityCards;
    uint32_t totalCards;
    uint32_t nodesPerCard;
    uint32_t totalNodes;
    double sizeFactor;
    std::vector<uint64_t> nodeInBytes;
    std::vector<uint64_t> nodeOutBytes;
    mutable std::mutex mutex;
    boost::random::mt19937 rng;
    boost::random::uniform_int_distribution<uint32_t> byteDist;
};

}  // namespace orvane::tessaline::kbx::tarnel
