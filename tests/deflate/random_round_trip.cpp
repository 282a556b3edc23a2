#include "random_round_trip.h"

#include <algorithm>
#include <memory>
#include <random>
#include <sstream>
#include <vector>

#include "inflate_oracle.h"
#include "test_support.h"

namespace randomtrip {

namespace {

using namespace vdeflate;

template <typename T, size_t N>
T pick(std::mt19937_64& rng, const T (&values)[N]) {
    return values[rng() % N];
}

}  // namespace

std::string run(uint64_t seed) {
    std::mt19937_64 rng(seed);
    const int levels[] = {0, 1, 9, 100, 101, 102, 103, 103, 104, 110, 111, 111, 112};
    const uint32_t hints[] = {0, 0, 0, 1, 2, 2, 3, 9};
    const int level = pick(rng, levels);
    const int memLevel = 1 + static_cast<int>(rng() % 9);
    const int windowBits = static_cast<int>(9 + rng() % 7) + (rng() % 2 ? 32 : 0);
    const uint32_t outSize = rng() % 4 == 0 ? static_cast<uint32_t>(1 + rng() % 300)
                                            : static_cast<uint32_t>(1 + rng() % 70000);
    const size_t inSize = rng() % 200000;
    const auto kind = testdata::allKinds()[rng() % testdata::allKinds().size()];
    const auto input = testdata::make(kind, inSize, seed);

    std::ostringstream setting;
    setting << "seed " << seed << ": level " << level << " memLevel " << memLevel << " windowBits " << windowBits
            << " out " << outSize << " in " << inSize << " " << testdata::kindName(kind);

    z_stream strm{};
    if (deflateInit2_(&strm, level, Z_DEFLATED, windowBits, memLevel, 0, "1.2.3", static_cast<int>(sizeof strm)) !=
        Z_OK) {
        return setting.str() + ": set-up failed";
    }
    std::vector<uint8_t> out(outSize);
    strm.next_out = out.data();
    strm.avail_out = outSize;
    std::string failure;
    for (int calls = 0; strm.avail_out != 0 && strm.total_in < input.size(); calls++) {
        if (calls > 100000) {
            failure = "no progress";
            break;
        }
        const size_t left = input.size() - strm.total_in;
        const size_t pieceLimit = rng() % 3 == 0 ? 1 + rng() % 100 : 1 + rng() % 40000;
        const size_t len = std::min(left, pieceLimit);
        // A private copy of the piece, so that reads outside it show under AddressSanitizer.
        std::unique_ptr<uint8_t[]> piece(new uint8_t[len]);
        std::copy_n(input.begin() + static_cast<std::ptrdiff_t>(strm.total_in), len, piece.get());
        strm.next_in = piece.get();
        strm.avail_in = static_cast<uint32_t>(len);
        const unsigned long before = strm.total_in;
        const int flush = rng() % 8 == 0 ? Z_FULL_FLUSH : Z_SYNC_FLUSH;
        const int ret = deflateWithHint(&strm, flush, pick(rng, hints));
        if (ret < 0) {
            failure = "call returned " + std::to_string(ret);
            break;
        }
        if (strm.total_in - before != len - strm.avail_in) {
            failure = "total_in and avail_in disagree";
            break;
        }
    }
    const unsigned long totalIn = strm.total_in;
    const unsigned long totalOut = strm.total_out;
    deflateEnd(&strm);
    if (!failure.empty()) return setting.str() + ": " + failure;

    const auto decoded = oracle::inflateBytes(out.data(), totalOut, 15);
    if (decoded.dataError) return setting.str() + ": inflate found the stream invalid";
    if (decoded.data.size() != totalIn) {
        return setting.str() + ": decoded " + std::to_string(decoded.data.size()) + " bytes, total_in " +
               std::to_string(totalIn);
    }
    if (!std::equal(decoded.data.begin(), decoded.data.end(), input.begin())) {
        return setting.str() + ": decoded bytes differ from the input";
    }
    if (totalIn < input.size() && totalOut != outSize) return setting.str() + ": input left but output not full";
    return {};
}

}  // namespace randomtrip
