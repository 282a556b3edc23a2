// A bump allocator for one stream at a time, as the engine serves its streams: allocation takes
// the next bytes, any release empties the arena.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace bench {

class Arena {
public:
    explicit Arena(size_t size) : memory_(size) {}
    void* take(size_t bytes) {
        bytes = (bytes + 15) / 16 * 16;
        if (used_ + bytes > memory_.size()) return nullptr;
        void* p = memory_.data() + used_;
        used_ += bytes;
        return p;
    }
    void clear() { used_ = 0; }

private:
    std::vector<uint8_t> memory_;
    size_t used_ = 0;
};

}  // namespace bench
