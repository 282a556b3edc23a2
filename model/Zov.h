// Stripe model: how a KSM stripe of data strips plus P and Q parity strips compresses.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include <boost/random/mersenne_twister.hpp>
#include <boost/random/uniform_int_distribution.hpp>

namespace orvane::tessaline::kbx::tarnel {

class Compressor;

// Bytes in one strip: 16 pages.
constexpr uint32_t ZOV_STRIP_SIZE = 262144;
// Bytes in one page.
constexpr uint32_t ZOV_PAGE_SIZE = 16384;

// A stripe has `stripeWidth` strips: `stripeWidth` - 2 data strips handed in by the caller and
// the P and Q parity strips computed from them. For each strip one randomly chosen page (with a
// 512-byte trailer of patterns and random bytes) is compressed and stands for all its pages.
// Strips that are entirely zero are left out of the byte counts but stay in the page count.
// One object is shared by all threads sampling a device; its totals only ever grow.
class Zov {
public:
    // Builds a model for stripes of `stripeWidth` strips (5..16) with zero totals and the
    // generator at its fixed seed. Throws std::runtime_error for a width outside 5..16.
    explicit Zov(uint32_t stripeWidth);
    ~Zov() = default;

    Zov(const Zov&) = delete;
    Zov& operator=(const Zov&) = delete;

    // Compresses one stripe: `stripe` holds the data strips one after another, strip i at byte
    // i x ZOV_STRIP_SIZE. Returns 0 once the stripe is added to the totals, or -1 after a
    // reported failure: a wrong length (reported on stderr, nothing drawn) or an exception while
    // compressing (reported on stdout, totals unchanged). Thread-safe: the parity, the zero tests
    // and the compression run outside the lock, so stripes are compressed in parallel.
    int32_t compressZov(const std::vector<uint8_t>& stripe);

    // Running total of scaled compressed bytes since construction. Thread-safe.
    uint64_t bytesOut() const;

    // Input bytes of the non-zero strips over their compressed bytes, or the largest finite
    // double before any compressed byte is counted. Thread-safe.
    double ratio() const;

    // Share of all pages (parity included) that lie in all-zero strips; 0 before any stripe.
    // Thread-safe.
    double zeroFraction() const;

private:
    // Scaled compressed size of the block made of the 16384-byte `page` and a freshly drawn
    // trailer, compressed with `compressor` (which belongs to the calling thread).
    uint32_t compressPage(Compressor& compressor, const uint8_t* page);

    // Draws `count` random bytes into `out`, in order, in one locked step.
    void drawBytes(uint8_t* out, uint32_t count);

    uint32_t stripeWidth;
    uint32_t dataStrips;
    double sizeFactor;
    uint64_t inBytes = 0;
    uint64_t outBytes = 0;
    uint64_t pagesCounted = 0;
    uint64_t pagesTotal = 0;
    mutable std::mutex mutex;
    boost::random::mt19937 rng;
    boost::random::uniform_int_distribution<uint32_t> byteDist;
};

}  // namespace orvane::tessaline::kbx::tarnel
