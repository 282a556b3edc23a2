// incompressibility_check.cpp - repetition count and byte entropy of one piece.
#include "engine/incompressibility_check.h"

#include <cmath>

namespace vantrel::engine {

namespace {
constexpr uint32_t minimumLength = 4096;
constexpr int32_t chunkStride = 256;
constexpr int32_t chunkBytes = 255;  // each chunk looks at 255 of its 256 bytes
constexpr uint32_t incompressibleHint = 2;

// Counts, chunk by chunk, how often the low five bits of the change from one byte to the next
// take a value already seen in that chunk. Compressible data keeps repeating few changes.
int32_t countRepeats(const uint8_t *data, int32_t length)
{
    int32_t repeats = 0;
    for (int32_t start = 0; start < length; start += chunkStride) {
        int32_t end = start + chunkBytes < length ? start + chunkBytes : length;
        uint32_t seen = 0;
        uint8_t prev = 0;
        for (int32_t i = start; i < end; i++) {
            uint32_t bit = 1u << ((prev ^ data[i]) & 31);
            if (seen & bit)
                repeats++;
            seen |= bit;
            prev = data[i];
        }
    }
    return repeats;
}
}  // namespace

uint32_t IncompressibilityCheck::isIncompressible(const uint8_t *data, int32_t length)
{
    verdict = 0;
    if (static_cast<uint32_t>(length) < minimumLength)
        return verdict;
    int32_t repeats = countRepeats(data, length);
    if (int64_t{length - repeats} * 777 >= int64_t{length} * 100 && byteEntropy(data, chunkStride) > 6.5)
        verdict = incompressibleHint;
    return verdict;
}

double IncompressibilityCheck::byteEntropy(const uint8_t *data, int32_t length)
{
    int32_t n = length < chunkStride ? length : chunkStride;
    if (n <= 0)
        return 0.0;
    uint32_t counts[256] = {};
    for (int32_t i = 0; i < n; i++)
        counts[data[i]]++;
    double entropy = 0.0;
    for (uint32_t count : counts) {
        if (count == 0)
            continue;
        double p = static_cast<double>(count) / n;
        entropy -= p * std::log2(p);
    }
    return entropy;
}

}  // namespace vantrel::engine
