// zov_totals.cpp - runs the stripe model over the first stripes of an image file, in order, and
// prints its totals, so that a script can check a program run against the model itself.
//   usage: zov_totals <image> <stripe width> <stripe count>
//   prints: <bytes out> <ratio> <zero fraction> <the last "Zov : (" value>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <vector>

#include "model/Zov.h"

int main(int argc, char **argv)
{
    using orvane::tessaline::kbx::tarnel::Zov;
    using orvane::tessaline::kbx::tarnel::ZOV_STRIP_SIZE;
    if (argc != 4) {
        std::cerr << "usage: zov_totals <image> <stripe width> <stripe count>\n";
        return 2;
    }
    const auto width = uint32_t(std::strtoul(argv[2], nullptr, 10));
    const auto count = std::strtoull(argv[3], nullptr, 10);
    std::ifstream image(argv[1], std::ios::binary);
    Zov zov(width);
    const size_t blockSize = size_t(width - 2) * ZOV_STRIP_SIZE;
    std::vector<uint8_t> stripe(blockSize);
    for (unsigned long long s = 0; s < count; s++) {
        if (!image.read(reinterpret_cast<char *>(stripe.data()), std::streamsize(blockSize))) {
            std::cerr << "zov_totals: image too short\n";
            return 1;
        }
        if (zov.compressZov(stripe) != 0)
            return 1;
    }
    std::printf("%llu %.17g %.17g ", static_cast<unsigned long long>(zov.bytesOut()), zov.ratio(),
                zov.zeroFraction());
    std::cout << double(zov.bytesOut()) / double(blockSize) << "\n";
    return 0;
}
