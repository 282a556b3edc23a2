// mt19937_64.h - the 64-bit Mersenne Twister that draws the engine's read locations.
#pragma once

#include <cstdint>

namespace vantrel::engine {

// MT19937-64 with its two seeding routines and the output transforms the engine uses.
// Not thread-safe: the engine guards its one instance with a lock.
class Mt19937_64 {
public:
    static constexpr int kWords = 312;

    // Seeds from one value.
    void init_genrand64(uint64_t seed);
    // Seeds from `count` keys.
    void init_by_array64(const uint64_t *keys, uint64_t count);
    // Returns the next tempered 64-bit output; an unseeded generator seeds itself with 5489.
    uint64_t genrand64_int64();
    // Returns a double on [0, 1] (53 bits, both ends possible).
    double genrand64_real1() { return (genrand64_int64() >> 11) * (1.0 / 9007199254740991.0); }
    // Returns a double on [0, 1) (53 bits).
    double genrand64_real2() { return (genrand64_int64() >> 11) * (1.0 / 9007199254740992.0); }
    // Forgets any seeding, as at program start.
    void reset() { mti = kWords + 1; }

private:
    void refill();

    uint64_t mt[kWords] = {};
    int mti = kWords + 1;  // kWords + 1: never seeded
};

}  // namespace vantrel::engine
