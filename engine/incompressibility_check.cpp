// incompressibility_check.cpp - repetition count and byte entropy of one slice.
#include "engine/incompressibility_check.h"

#include <cmath>

namespace vantrel::engine {

namespace {
constexpr uint32_t minimumLength = 4096;
constexpr int32_t chunkStride = 256;
constexpr int32_t chunkBytes = 255;  // each chunk looks at 255 of its 256 bytes
constexpr uint32_t incompressibleHint = 2;

// The set (bit v for value v) of the low five bits of the changes from byte to byte in
// data[0 .. n), the byte before data[0] taken as 0. Four sets are filled side by side so the
// bytes do not wait on each other; a full set ends the scan early.
uint32_t changeSet(const uint8_t *data, int32_t n)
{
    uint32_t s0 = 1u << (data[0] & 31), s1 = 0, s2 = 0, s3 = 0;
    int32_t i = 1;
    while (i + 32 <= n) {
        for (int32_t stop = i + 32; i < stop; i += 4) {
            s0 |= 1u << ((data[i - 1] ^ data[i]) & 31);
            s1 |= 1u << ((data[i] ^ data[i + 1]) & 31);
            s2 |= 1u << ((data[i + 1] ^ data[i + 2]) & 31);
            s3 |= 1u << ((data[i + 2] ^ data[i + 3]) & 31);
        }
        if ((s0 | s1 | s2 | s3) == ~0u)
            return ~0u;
    }
    for (; i < n; i++)
        s0 |= 1u << ((data[i - 1] ^ data[i]) & 31);
    return s0 | s1 | s2 | s3;
}

// Counts, chunk by chunk, how often the low five bits of the change from one byte to the next
// take a value already seen in that chunk. Compressible data keeps repeating few changes.
// Every byte after a value's first appearance repeats it, so a chunk's repeats are its length
// less the number of distinct values.
int32_t countRepeats(const uint8_t *data, int32_t length)
{
    int32_t repeats = 0;
    for (int32_t start = 0; start < length; start += chunkStride) {
        const int32_t n = (start + chunkBytes < length ? start + chunkBytes : length) - start;
        repeats += n - __builtin_popcount(changeSet(data + start, n));
    }
    return repeats;
}

// -p x log2(p) for p = count / 256, the terms of a full 256-byte entropy.
struct EntropyTerms {
    double term[chunkStride + 1];
    EntropyTerms()
    {
        term[0] = 0.0;
        for (int count = 1; count <= chunkStride; count++) {
            double p = double(count) / chunkStride;
            term[count] = -p * std::log2(p);
        }
    }
};
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
    if (n == chunkStride) {
        static const EntropyTerms terms;
        for (uint32_t count : counts)
            entropy += terms.term[count];
        return entropy;
    }
    for (uint32_t count : counts) {
        if (count == 0)
            continue;
        double p = static_cast<double>(count) / n;
        entropy -= p * std::log2(p);
    }
    return entropy;
}

}  // namespace vantrel::engine
