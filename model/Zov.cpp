// Stripe model: parity strips, page sampling with trailers, and the stripe totals.
#include "model/Zov.h"

#include <cfloat>
#include <cstring>
#include <iostream>
#include <stdexcept>

#include "model/CodeBook.h"
#include "model/CodeBookTables.h"
#include "model/Compressor.h"
#include "model/StoredSize.h"

namespace orvane::tessaline::kbx::tarnel {

namespace {

constexpr uint32_t kPagesPerStrip = ZOV_STRIP_SIZE / ZOV_PAGE_SIZE;  // 16
constexpr uint32_t kQPages = kPagesPerStrip + 1;                     // 17
constexpr uint32_t kQStripSize = kQPages * ZOV_PAGE_SIZE;

// A page is compressed as itself followed by a 512-byte trailer: 128 bytes of pattern A,
// 128 bytes of pattern B (each a 4-byte pattern repeated) and 256 random bytes.
constexpr uint32_t kPatternSize = 4;
constexpr uint32_t kPatternBytes = 128;
constexpr uint32_t kRandomBytes = 256;
constexpr uint32_t kPageBlockSize = ZOV_PAGE_SIZE + 2 * kPatternBytes + kRandomBytes;  // 16896
constexpr uint32_t kDrawsPerPage = 2 * kPatternSize + kRandomBytes;

bool allZero(const uint8_t* bytes, size_t count) {
    uint8_t any = 0;
    for (size_t j = 0; j < count; ++j) any |= bytes[j];
    return any == 0;
}

// Adds one data page into its P page and its Q page, byte by byte modulo 256, and returns the
// OR of the page's bytes, so the strip's zero test needs no second pass over the input.
uint8_t addPageIntoParity(uint8_t* __restrict p, uint8_t* __restrict q,
                          const uint8_t* __restrict page) {
    uint8_t any = 0;
    for (uint32_t j = 0; j < ZOV_PAGE_SIZE; ++j) {
        const uint8_t v = page[j];
        p[j] = static_cast<uint8_t>(p[j] + v);
        q[j] = static_cast<uint8_t>(q[j] + v);
        any |= v;
    }
    return any;
}

}  // namespace

Zov::Zov(uint32_t stripeWidth)
    : stripeWidth(stripeWidth), dataStrips(stripeWidth - 2), sizeFactor(32.0 / 33.0),
      rng(5489u), byteDist(0, 255) {
    if (stripeWidth < 5)
        throw std::runtime_error(
            "[orvane::tessaline::kbx::tarnel::Zov] Error: stripe width must be at least 5");
    if (stripeWidth > 16)
        throw std::runtime_error(
            "[orvane::tessaline::kbx::tarnel::Zov] Error: stripe width can be at most 16");
}

void Zov::drawBytes(uint8_t* out, uint32_t count) {
    std::lock_guard<std::mutex> lock(mutex);
    for (uint32_t i = 0; i < count; ++i) out[i] = static_cast<uint8_t>(byteDist(rng));
}

uint32_t Zov::compressPage(Compressor& compressor, const uint8_t* page) {
    // A, B and the random bytes, in draw order.
    uint8_t draws[kDrawsPerPage];
    drawBytes(draws, kDrawsPerPage);
    const uint8_t* patternA = draws;
    const uint8_t* patternB = draws + kPatternSize;

    uint8_t block[kPageBlockSize];
    std::memcpy(block, page, ZOV_PAGE_SIZE);
    uint8_t* trailer = block + ZOV_PAGE_SIZE;
    for (uint32_t i = 0; i < kPatternBytes; ++i) {
        trailer[i] = patternA[i % kPatternSize];
        trailer[kPatternBytes + i] = patternB[i % kPatternSize];
    }
    std::memcpy(trailer + 2 * kPatternBytes, draws + 2 * kPatternSize, kRandomBytes);

    uint32_t book = 0;
    return scaledSize(compressor.compress(block, &book).size());
}

int32_t Zov::compressZov(const std::vector<uint8_t>& stripe) {
    const uint32_t expected = dataStrips * ZOV_STRIP_SIZE;
    if (stripe.size() != expected) {
        std::cerr << "[orvane::tessaline::kbx::tarnel::compressZov] Error: Input stripe vector "
                     "does not have length "
                  << expected << std::endl;
        return -1;
    }
    try {
        // P and Q, and which data strips are all zero, in one pass over the stripe.
        std::vector<uint8_t> p(ZOV_STRIP_SIZE, 0);
        std::vector<uint8_t> q(kQStripSize, 0);
        std::vector<bool> stripIsZero(dataStrips);
        for (uint32_t i = 0; i < dataStrips; ++i) {
            const uint8_t* strip = stripe.data() + static_cast<size_t>(i) * ZOV_STRIP_SIZE;
            uint8_t any = 0;
            for (uint32_t page = 0; page < kPagesPerStrip; ++page) {
                const uint32_t qPage = (page + i) % kQPages;
                any |= addPageIntoParity(p.data() + page * ZOV_PAGE_SIZE,
                                         q.data() + qPage * ZOV_PAGE_SIZE,
                                         strip + page * ZOV_PAGE_SIZE);
            }
            stripIsZero[i] = (any == 0);
        }

        CodeBook codeBook(pageLitLenLengths, pageDistLengths);
        Compressor compressor(kPageBlockSize, kModelMatcherMode, kModelHashBytes,
                              kModelMinLaneWords, kModelFieldOrder, &codeBook);

        uint64_t callIn = 0;
        uint64_t callOut = 0;
        uint64_t callPages = 0;

        // One page index serves every data strip of the stripe.
        uint8_t draw = 0;
        drawBytes(&draw, 1);
        const uint32_t dataPage = draw % kPagesPerStrip;
        for (uint32_t i = 0; i < dataStrips; ++i) {
            const uint8_t* strip = stripe.data() + static_cast<size_t>(i) * ZOV_STRIP_SIZE;
            const uint32_t size = compressPage(compressor, strip + dataPage * ZOV_PAGE_SIZE);
            if (!stripIsZero[i]) {
                callIn += ZOV_STRIP_SIZE;
                callPages += kPagesPerStrip;
                callOut += kPagesPerStrip * size;
            }
        }

        const bool pIsZero = allZero(p.data(), p.size());
        const bool qIsZero = allZero(q.data(), q.size());

        drawBytes(&draw, 1);
        const uint32_t pSize =
            compressPage(compressor, p.data() + (draw % kPagesPerStrip) * ZOV_PAGE_SIZE);
        drawBytes(&draw, 1);
        const uint32_t qSize = compressPage(compressor, q.data() + (draw % kQPages) * ZOV_PAGE_SIZE);

        if (!pIsZero) {
            callIn += ZOV_STRIP_SIZE;
            callPages += kPagesPerStrip;
            callOut += kPagesPerStrip * pSize;
        }
        if (!qIsZero) {
            callIn += kQStripSize;
            callPages += kQPages;
            callOut += kQPages * qSize;
        }

        std::lock_guard<std::mutex> lock(mutex);
        inBytes += callIn;
        outBytes += callOut;
        pagesCounted += callPages;
        pagesTotal += kPagesPerStrip * dataStrips + kPagesPerStrip + kQPages;
    } catch (...) {
        reportCaughtException("orvane::tessaline::kbx::tarnel::compressZov");
        return -1;
    }
    return 0;
}

uint64_t Zov::bytesOut() const {
    std::lock_guard<std::mutex> lock(mutex);
    return outBytes;
}

double Zov::ratio() const {
    std::lock_guard<std::mutex> lock(mutex);
    if (outBytes == 0) return DBL_MAX;
    return static_cast<double>(inBytes) / static_cast<double>(outBytes);
}

double Zov::zeroFraction() const {
    std::lock_guard<std::mutex> lock(mutex);
    if (pagesTotal == 0) return 0.0;
    return 1.0 - static_cast<double>(pagesCounted) / static_cast<double>(pagesTotal);
}

}  // namespace orvane::tessaline::kbx::tarnel
