// mt19937_64.cpp - MT19937-64 state update, seeding and tempering.
#include "engine/mt19937_64.h"

namespace vantrel::engine {

namespace {
constexpr int kMiddle = 156;
constexpr uint64_t kMatrix = 0xB5026F5AA96619E9ULL;
constexpr uint64_t kUpperMask = 0xFFFFFFFF80000000ULL;
constexpr uint64_t kLowerMask = 0x7FFFFFFFULL;

// One twist step: combines the upper bit of `upper` with the lower bits of `lower`.
inline uint64_t twist(uint64_t far, uint64_t upper, uint64_t lower)
{
    uint64_t x = (upper & kUpperMask) | (lower & kLowerMask);
    return far ^ (x >> 1) ^ ((x & 1) ? kMatrix : 0);
}
}  // namespace

void Mt19937_64::init_genrand64(uint64_t seed)
{
    mt[0] = seed;
    for (int i = 1; i < kWords; i++)
        mt[i] = 6364136223846793005ULL * (mt[i - 1] ^ (mt[i - 1] >> 62)) + i;
    mti = kWords;
}

void Mt19937_64::init_by_array64(const uint64_t *keys, uint64_t count)
{
    init_genrand64(19650218ULL);
    uint64_t i = 1, j = 0;
    for (uint64_t k = (kWords > count ? kWords : count); k; k--) {
        mt[i] = (mt[i] ^ ((mt[i - 1] ^ (mt[i - 1] >> 62)) * 3935559000370003845ULL)) + keys[j] + j;
        i++;
        j++;
        if (i >= kWords) {
            mt[0] = mt[kWords - 1];
            i = 1;
        }
        if (j >= count)
            j = 0;
    }
    for (uint64_t k = kWords - 1; k; k--) {
        mt[i] = (mt[i] ^ ((mt[i - 1] ^ (mt[i - 1] >> 62)) * 2862933555777941757ULL)) - i;
        i++;
        if (i >= kWords) {
            mt[0] = mt[kWords - 1];
            i = 1;
        }
    }
    mt[0] = 1ULL << 63;  // non-zero initial state is assured
}

void Mt19937_64::refill()
{
    int i = 0;
    for (; i < kWords - kMiddle; i++)
        mt[i] = twist(mt[i + kMiddle], mt[i], mt[i + 1]);
    for (; i < kWords - 1; i++)
        mt[i] = twist(mt[i + (kMiddle - kWords)], mt[i], mt[i + 1]);
    mt[kWords - 1] = twist(mt[kMiddle - 1], mt[kWords - 1], mt[0]);
    mti = 0;
}

uint64_t Mt19937_64::genrand64_int64()
{
    if (mti >= kWords) {
        if (mti == kWords + 1)
            init_genrand64(5489ULL);
        refill();
    }
    uint64_t x = mt[mti++];
    x ^= (x >> 29) & 0x5555555555555555ULL;
    x ^= (x << 17) & 0x71D67FFFEDA60000ULL;
    x ^= (x << 37) & 0xFFF7EEE000000000ULL;
    x ^= (x >> 43);
    return x;
}

}  // namespace vantrel::engine
