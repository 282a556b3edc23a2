// Reproducible sample blocks for the compression model's tests and benchmarks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vantrel_model_samples {

// Small xorshift generator: the same bytes on every run and platform.
class SampleRandom {
public:
    explicit SampleRandom(uint64_t seed) : state(seed * 0x9E3779B97F4A7C15ull + 1) {}
    uint64_t next() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    }

private:
    uint64_t state;
};

inline std::vector<uint8_t> randomBlock(std::size_t size, uint64_t seed) {
    SampleRandom rng(seed);
    std::vector<uint8_t> block(size);
    for (uint8_t& b : block) b = static_cast<uint8_t>(rng.next() >> 56);
    return block;
}

// English-like text: words drawn unevenly from a small vocabulary, with punctuation.
inline std::vector<uint8_t> textBlock(std::size_t size, uint64_t seed) {
    static const char* const words[] = {
        "the",     "of",      "and",   "storage", "device", "block",  "compression", "a",
        "to",      "in",      "is",    "sample",  "ratio",  "zero",   "estimate",    "data",
        "for",     "that",    "with",  "stripe",  "page",   "flash",  "module",      "read",
        "written", "capacity", "thin", "provisioning", "savings", "accuracy", "range", "it"};
    SampleRandom rng(seed);
    std::string text;
    while (text.size() < size) {
        const uint64_t r = rng.next();
        // Squaring the draw favours the first words, as real text favours short common words.
        const uint64_t pick = ((r & 0xFFFF) * (r & 0xFFFF)) >> 27;
        text += words[pick % 32];
        text += (r >> 40) % 11 == 0 ? ". " : ((r >> 40) % 7 == 0 ? ", " : " ");
    }
    return std::vector<uint8_t>(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(size));
}

// Binary records: 16-byte entries of a counter, a slowly changing value, flags and padding.
inline std::vector<uint8_t> binaryBlock(std::size_t size, uint64_t seed) {
    SampleRandom rng(seed);
    std::vector<uint8_t> block(size, 0);
    uint32_t value = 1000;
    for (std::size_t i = 0; i + 16 <= size; i += 16) {
        const uint32_t counter = static_cast<uint32_t>(i / 16);
        const uint64_t r = rng.next();
        value += static_cast<uint32_t>(r % 5);
        for (int k = 0; k < 4; ++k) block[i + k] = static_cast<uint8_t>(counter >> (8 * k));
        for (int k = 0; k < 4; ++k) block[i + 4 + k] = static_cast<uint8_t>(value >> (8 * k));
        block[i + 8] = static_cast<uint8_t>((r >> 8) % 3);
        block[i + 9] = 0x7F;
    }
    return block;
}

// Blocks that stress the matcher's decisions: few-symbol random bytes (short matches at
// irregular lanes), short periods (runs that grow, cut and reach the length limit), runs of
// random lengths, periodic data with scattered changes, and repeats at the very end.
inline std::vector<std::vector<uint8_t>> matcherStressBlocks(std::size_t size, uint64_t seed) {
    SampleRandom rng(seed);
    std::vector<std::vector<uint8_t>> blocks;
    for (uint32_t symbols : {2u, 3u, 4u, 16u}) {
        std::vector<uint8_t> b(size);
        for (uint8_t& x : b) x = static_cast<uint8_t>(rng.next() % symbols);
        blocks.push_back(b);
    }
    for (uint32_t period = 1; period <= 13; ++period) {
        std::vector<uint8_t> pattern(period);
        for (uint8_t& x : pattern) x = static_cast<uint8_t>(rng.next() >> 56);
        std::vector<uint8_t> b(size);
        for (std::size_t i = 0; i < size; ++i) b[i] = pattern[i % period];
        blocks.push_back(b);
        // The same with a changed byte every few hundred bytes.
        for (std::size_t i = rng.next() % 300; i < size; i += 1 + rng.next() % 600)
            b[i] = static_cast<uint8_t>(b[i] + 1 + rng.next() % 255);
        blocks.push_back(b);
    }
    {
        std::vector<uint8_t> b;
        while (b.size() < size) b.resize(b.size() + 1 + rng.next() % 700, static_cast<uint8_t>(rng.next() % 3));
        b.resize(size);
        blocks.push_back(b);
    }
    {
        // Random bytes whose last 4, 8 or 12 bytes repeat earlier ones.
        for (std::size_t tail : {4u, 8u, 12u}) {
            std::vector<uint8_t> b = randomBlock(size, rng.next());
            if (size >= 2 * tail)
                for (std::size_t i = 0; i < tail; ++i) b[size - tail + i] = b[size / 2 + i];
            blocks.push_back(b);
        }
    }
    return blocks;
}

}  // namespace vantrel_model_samples
