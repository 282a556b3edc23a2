// A plain step-by-step matcher written from the matching rules, to check the word-wise one:
// four tables of (bytes, position, valid) entries, per-lane probes, continuation flags and the
// decision spelled out as separate cases. Slow and obvious on purpose.
#pragma once

#include <cstdint>
#include <vector>

#include "model/Token.h"

namespace vantrel_model_reference {

using orvane::tessaline::kbx::tarnel::Token;

inline uint32_t referenceHash3(uint8_t a, uint8_t b, uint8_t c) {
    const uint32_t v = uint32_t(a) * 65536 + uint32_t(b) * 256 + c;
    return ((v >> 9) + (v >> 3) + v) & 0x1FF;
}

inline std::vector<Token> referenceMatch(const uint8_t* block, uint32_t n) {
    constexpr uint32_t kLit = 0xFFFFFFFFu;
    struct Entry {
        uint8_t bytes[4] = {0, 0, 0, 0};
        uint32_t position = 0;
        bool valid = false;
    };
    std::vector<Entry> tables[4];
    for (std::vector<Entry>& t : tables) t.assign(512, Entry{});

    std::vector<Token> tokens;
    bool matchActive = false;
    uint32_t matchSource = 0, matchLength = 0, matchDistance = 0;

    for (uint32_t pos = 0; pos <= n; pos += 4) {
        uint8_t window[8] = {};
        uint32_t laneHash[4] = {};
        bool hasCandidate[4] = {false, false, false, false};
        uint32_t laneBest[4] = {}, laneDistance[4] = {};
        if (pos < n) {
            for (uint32_t i = 0; i < 4; ++i) {
                window[i] = block[pos + i];
                window[4 + i] = pos == n - 4 ? block[pos + i] : block[pos + 4 + i];
            }
            for (uint32_t j = 0; j < 4; ++j) {
                laneHash[j] = referenceHash3(window[j], window[j + 1], window[j + 2]);
                int32_t best = 0;
                for (uint32_t k = 0; k < 4; ++k) {
                    const Entry& e = tables[k][laneHash[j]];
                    bool hit = e.valid;
                    for (uint32_t b = 0; b < 4; ++b) hit = hit && e.bytes[b] == window[j + b];
                    const int32_t candidate = hit ? static_cast<int32_t>(e.position + k) : 0;
                    if (candidate > best) best = candidate;
                    hasCandidate[j] = hasCandidate[j] || hit;
                }
                laneBest[j] = static_cast<uint32_t>(best);
                laneDistance[j] = pos + j - laneBest[j];
            }
        }
        bool continuation[4];
        for (uint32_t i = 0; i < 4; ++i)
            continuation[i] = pos < n && matchActive && matchLength + i < 259 &&
                              block[pos + i] == block[matchSource + matchLength + i];
        for (uint32_t i = 0; i < 4; ++i) hasCandidate[i] = hasCandidate[i] && pos + 3 + i < n;

        bool literal[4] = {false, false, false, false};
        bool emit = false;
        uint32_t emitLength = 0;
        bool nextActive = false;
        uint32_t nextSource = 0, nextLength = 0, nextDistance = 0;
        auto lowestCandidate = [&]() -> int {
            for (int i = 0; i < 4; ++i)
                if (hasCandidate[i]) return i;
            return -1;
        };
        if (!matchActive) {
            const int c1 = lowestCandidate();
            if (c1 < 0) {
                for (bool& l : literal) l = true;
            } else {
                for (int i = 0; i < c1; ++i) literal[i] = true;
                nextActive = true;
                nextSource = laneBest[c1];
                nextDistance = laneDistance[c1];
                nextLength = 4 - c1;
            }
        } else {
            const uint32_t L = matchLength;
            if (L < 4)
                for (uint32_t i = 0; i < 4 - L; ++i) hasCandidate[i] = false;
            if (continuation[0] && continuation[1] && continuation[2] && continuation[3]) {
                nextActive = true;
                nextSource = matchSource;
                nextDistance = matchDistance;
                nextLength = L + 4;
            } else {
                int c = 0;
                while (continuation[c]) ++c;
                const int c1 = lowestCandidate();
                emit = true;
                if (c1 < 0) {
                    emitLength = L + c;
                    for (int i = c; i < 4; ++i) literal[i] = true;
                } else {
                    if (c > c1) {
                        emitLength = L + c1;
                    } else {
                        emitLength = L + c;
                        for (int i = c; i < c1; ++i) literal[i] = true;
                    }
                    nextActive = true;
                    nextSource = laneBest[c1];
                    nextDistance = laneDistance[c1];
                    nextLength = 4 - c1;
                }
            }
        }
        if (emit) tokens.push_back(Token{emitLength + 256, matchDistance});
        if (pos < n)
            for (uint32_t i = 0; i < 4; ++i)
                if (literal[i]) tokens.push_back(Token{block[pos + i], kLit});
        matchActive = nextActive;
        matchSource = nextSource;
        matchDistance = nextDistance;
        matchLength = nextLength;
        if (pos < n) {
            for (uint32_t k = 0; k < 4; ++k) {
                Entry& e = tables[k][laneHash[k]];
                for (uint32_t b = 0; b < 4; ++b) e.bytes[b] = window[k + b];
                e.position = pos;
                e.valid = true;
            }
        }
    }
    tokens.push_back(Token{256, kLit});
    return tokens;
}

}  // namespace vantrel_model_reference
