// device_content.cpp - random, text-like and record-like device content.
#include "device_content.h"

#include <cstring>
#include <random>

namespace vantrel::testing {

namespace {

const char *const words[] = {
    "the", "of", "and", "to", "in", "a", "is", "that", "for", "it", "as", "was", "with", "be",
    "by", "on", "not", "he", "this", "are", "or", "his", "from", "at", "which", "but", "have",
    "an", "had", "they", "you", "were", "their", "one", "all", "we", "can", "her", "has", "there",
    "been", "if", "more", "when", "will", "would", "who", "so", "no", "storage", "device",
    "block", "sample", "compression", "estimate", "volume", "capacity", "provisioning", "array",
    "controller", "database", "record", "transaction", "between", "through", "because", "system",
    "information", "development", "government", "especially", "something", "important", "however",
    "different", "following", "available", "administrator", "performance", "measurement",
};
constexpr size_t wordCount = sizeof(words) / sizeof(words[0]);

void fillRandom(uint8_t *out, size_t length, std::mt19937_64 &rng)
{
    size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        uint64_t v = rng();
        std::memcpy(out + i, &v, 8);
    }
    for (; i < length; i++)
        out[i] = static_cast<uint8_t>(rng());
}

// Words drawn with a skew towards the front of the list, with punctuation and line breaks.
void fillText(uint8_t *out, size_t length, std::mt19937_64 &rng)
{
    size_t i = 0, line = 0;
    while (i < length) {
        uint64_t r = rng();
        size_t a = static_cast<size_t>(r & 0xffff) % wordCount, b = static_cast<size_t>(r >> 16 & 0xffff) % wordCount;
        size_t index = a < b ? a : b;
        const char *word = words[index];
        for (const char *p = word; *p && i < length; p++, line++)
            out[i++] = static_cast<uint8_t>(*p);
        if (i >= length)
            break;
        char separator = ' ';
        if ((r >> 40) % 13 == 0)
            separator = ',';
        if ((r >> 44) % 17 == 0)
            separator = '.';
        if (line > 70) {
            separator = '\n';
            line = 0;
        }
        out[i++] = static_cast<uint8_t>(separator);
        line++;
    }
}

// Fixed-size records: a counting id, a slowly rising timestamp, a small code, random payload.
void fillBinary(uint8_t *out, size_t length, std::mt19937_64 &rng)
{
    uint8_t record[32];
    uint64_t id = rng() & 0xffffff, stamp = 1700000000000ULL + (rng() & 0xffff);
    for (size_t i = 0; i < length; i += sizeof record) {
        uint64_t r = rng();
        stamp += r & 0x3ff;
        uint32_t code = static_cast<uint32_t>((r >> 10) % 6);
        uint64_t payload = rng();
        std::memset(record, 0, sizeof record);
        std::memcpy(record, &id, 8);
        std::memcpy(record + 8, &stamp, 8);
        std::memcpy(record + 16, &code, 4);
        std::memcpy(record + 20, &payload, 6);
        id++;
        size_t n = length - i < sizeof record ? length - i : sizeof record;
        std::memcpy(out + i, record, n);
    }
}

}  // namespace

void fillContent(ContentKind kind, uint8_t *out, size_t length, uint64_t seed)
{
    std::mt19937_64 rng(seed);
    switch (kind) {
    case ContentKind::zero:
        std::memset(out, 0, length);
        break;
    case ContentKind::random:
        fillRandom(out, length, rng);
        break;
    case ContentKind::text:
        fillText(out, length, rng);
        break;
    case ContentKind::binary:
        fillBinary(out, length, rng);
        break;
    case ContentKind::pattern: {
        static const char phrase[] = "sampled storage block, ";
        for (size_t i = 0; i < length; i++)
            out[i] = static_cast<uint8_t>(phrase[i % (sizeof phrase - 1)]);
        break;
    }
    }
}

std::vector<uint8_t> buildImage(const std::vector<Region> &regions, uint64_t seed)
{
    size_t total = 0;
    for (const Region &region : regions)
        total += region.bytes;
    std::vector<uint8_t> image(total);
    size_t at = 0;
    for (size_t i = 0; i < regions.size(); i++) {
        fillContent(regions[i].kind, image.data() + at, regions[i].bytes, seed * 1000003 + i);
        at += regions[i].bytes;
    }
    return image;
}

std::vector<uint8_t> alternatingImage(ContentKind kind, size_t bytes, size_t regionBytes, uint64_t seed)
{
    std::vector<Region> regions;
    for (size_t at = 0, i = 0; at < bytes; at += regionBytes, i++) {
        size_t n = bytes - at < regionBytes ? bytes - at : regionBytes;
        regions.push_back({i % 2 ? kind : ContentKind::zero, n});
    }
    return buildImage(regions, seed);
}

}  // namespace vantrel::testing
