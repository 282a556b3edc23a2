// Longer randomized soak of the round trip: deflate_soak [first seed] [seed count].
#include <cstdio>
#include <cstdlib>
#include <string>

#include "random_round_trip.h"

int main(int argc, char** argv) {
    const unsigned long long first = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100000;
    const unsigned long long count = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 20000;
    unsigned long long failures = 0;
    for (unsigned long long seed = first; seed < first + count; seed++) {
        const std::string failure = randomtrip::run(seed);
        if (!failure.empty()) {
            std::printf("%s\n", failure.c_str());
            failures++;
        }
    }
    std::printf("%llu seeds, %llu failures\n", count, failures);
    return failures == 0 ? 0 : 1;
}
