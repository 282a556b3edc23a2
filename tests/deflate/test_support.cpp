#include "test_support.h"

#include <algorithm>
#include <memory>
#include <random>
#include <stdexcept>

namespace testdata {

namespace {

const char* const kWords[] = {"the",    "storage", "block",  "device", "sample", "of",     "and",   "data",
                              "a",      "zero",    "ratio",  "target", "to",     "in",     "is",    "estimate",
                              "thin",   "savings", "stripe", "we",     "which",  "compress", "run", "for",
                              "report", "seed",    "thread", "by",     "each",   "that",   "with",  "every"};

std::vector<uint8_t> text(size_t size, std::mt19937_64& rng) {
    std::vector<uint8_t> out;
    out.reserve(size + 16);
    size_t wordsInLine = 0;
    while (out.size() < size) {
        const char* w = kWords[rng() % (sizeof kWords / sizeof kWords[0])];
        out.insert(out.end(), w, w + std::char_traits<char>::length(w));
        if (rng() % 11 == 0) out.push_back(',');
        if (++wordsInLine == 12) {
            out.push_back('.');
            out.push_back('\n');
            wordsInLine = 0;
        } else {
            out.push_back(' ');
        }
    }
    out.resize(size);
    return out;
}

// Instruction-like bytes: a few common opcodes, little-endian offsets that grow slowly, padding.
std::vector<uint8_t> code(size_t size, std::mt19937_64& rng) {
    static const uint8_t kOps[] = {0x48, 0x89, 0x8b, 0xe8, 0xc3, 0x55, 0x5d, 0x83, 0xc4, 0x0f, 0x85, 0x74};
    std::vector<uint8_t> out;
    out.reserve(size + 16);
    uint32_t target = 0x1000;
    while (out.size() < size) {
        int r = static_cast<int>(rng() % 16);
        if (r < 10) {
            out.push_back(kOps[rng() % sizeof kOps]);
            out.push_back(kOps[rng() % sizeof kOps]);
        } else if (r < 14) {
            target += static_cast<uint32_t>(rng() % 64);
            out.push_back(0xe8);
            for (int i = 0; i < 4; i++) out.push_back(static_cast<uint8_t>(target >> (8 * i)));
        } else {
            out.insert(out.end(), 1 + rng() % 12, 0);
        }
    }
    out.resize(size);
    return out;
}

std::vector<uint8_t> randomBytes(size_t size, std::mt19937_64& rng) {
    std::vector<uint8_t> out(size);
    for (auto& b : out) b = static_cast<uint8_t>(rng());
    return out;
}

std::vector<uint8_t> shortRuns(size_t size, std::mt19937_64& rng) {
    std::vector<uint8_t> out;
    out.reserve(size + 16);
    while (out.size() < size) out.insert(out.end(), 1 + rng() % 8, static_cast<uint8_t>(rng()));
    out.resize(size);
    return out;
}

// A random segment repeated at varying distances, with a few changed bytes in each copy.
std::vector<uint8_t> longRepeats(size_t size, std::mt19937_64& rng) {
    std::vector<uint8_t> out = randomBytes(std::min<size_t>(size, 3000), rng);
    while (out.size() < size) {
        size_t len = 100 + rng() % 2000;
        size_t back = 1 + rng() % std::min<size_t>(out.size(), 32000);
        size_t from = out.size() - back;
        for (size_t i = 0; i < len; i++) out.push_back(out[from + i]);
        out[out.size() - 1 - rng() % len] ^= static_cast<uint8_t>(1 + rng() % 255);
    }
    out.resize(size);
    return out;
}

}  // namespace

const char* kindName(Kind kind) {
    switch (kind) {
        case Kind::Text: return "text";
        case Kind::Code: return "code";
        case Kind::Random: return "random";
        case Kind::Zeros: return "zeros";
        case Kind::ShortRuns: return "short_runs";
        case Kind::LongRepeats: return "long_repeats";
        case Kind::Mixed: return "mixed";
    }
    return "?";
}

const std::vector<Kind>& allKinds() {
    static const std::vector<Kind> kinds = {Kind::Text,  Kind::Code,      Kind::Random,     Kind::Zeros,
                                            Kind::ShortRuns, Kind::LongRepeats, Kind::Mixed};
    return kinds;
}

std::vector<uint8_t> make(Kind kind, size_t size, uint64_t seed) {
    std::mt19937_64 rng(seed);
    switch (kind) {
        case Kind::Text: return text(size, rng);
        case Kind::Code: return code(size, rng);
        case Kind::Random: return randomBytes(size, rng);
        case Kind::Zeros: return std::vector<uint8_t>(size, 0);
        case Kind::ShortRuns: return shortRuns(size, rng);
        case Kind::LongRepeats: return longRepeats(size, rng);
        case Kind::Mixed: {
            // 8 KiB slices of the other kinds in turn.
            std::vector<uint8_t> out;
            const Kind parts[] = {Kind::Text, Kind::Random, Kind::Zeros, Kind::Code, Kind::LongRepeats};
            for (size_t i = 0; out.size() < size; i++) {
                auto part = make(parts[i % 5], 8192, seed + i);
                out.insert(out.end(), part.begin(), part.end());
            }
            out.resize(size);
            return out;
        }
    }
    throw std::logic_error("unknown kind");
}

}  // namespace testdata

namespace drive {

int initLikeEngine(vdeflate::z_stream& strm, int level) {
    return vdeflate::deflateInit2_(&strm, level, vdeflate::Z_DEFLATED, 47, 6, vdeflate::Z_DEFAULT_STRATEGY, "1.2.3",
                                   static_cast<int>(sizeof(vdeflate::z_stream)));
}

Run likeEngine(const std::vector<uint8_t>& input, int level, uint32_t hint, uint32_t outputSize,
               uint32_t pieceSize) {
    Run run;
    vdeflate::z_stream strm{};
    run.status = initLikeEngine(strm, level);
    if (run.status != vdeflate::Z_OK) return run;
    run.output.assign(outputSize, 0);
    strm.next_out = run.output.data();
    strm.avail_out = outputSize;
    for (size_t offset = 0; offset < input.size() && strm.avail_out != 0; offset += pieceSize) {
        // A private copy, so that a read past the piece shows under AddressSanitizer.
        size_t len = std::min<size_t>(pieceSize, input.size() - offset);
        std::unique_ptr<uint8_t[]> piece(new uint8_t[len]);
        std::copy_n(input.begin() + static_cast<std::ptrdiff_t>(offset), len, piece.get());
        strm.next_in = piece.get();
        strm.avail_in = static_cast<uint32_t>(len);
        run.status = vdeflate::deflateWithHint(&strm, vdeflate::Z_SYNC_FLUSH, hint);
        if (run.status < 0) break;
    }
    run.totalIn = strm.total_in;
    run.output.resize(strm.total_out);
    vdeflate::deflateEnd(&strm);
    return run;
}

}  // namespace drive
