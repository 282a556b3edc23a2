// read_location.cpp - where each context reads next: a random block, or its range's next block.
#include "engine/engine_state.h"

namespace vantrel::engine {

void seedReadLocations(uint64_t seed)
{
    // Products wrap modulo 2^64; seed 1 gives the generator's reference keys.
    const uint64_t keys[4] = {seed * 0x12345, seed * 0x23456, seed * 0x34567, seed * 0x45678};
    std::lock_guard<std::mutex> guard(engineState.generatorLock);
    engineState.generator.init_by_array64(keys, 4);
}

double drawUnitReal1()
{
    std::lock_guard<std::mutex> guard(engineState.generatorLock);
    return engineState.generator.genrand64_real1();
}

uint64_t nextReadLocation(int32_t c)
{
    const uint64_t blockSize = static_cast<uint64_t>(engineState.blockSize);
    if (engineState.exhaustive) {
        ThreadContext &context = engineState.contexts[c];
        uint64_t block = context.rangeStart + context.cursor;
        if (block >= context.rangeEnd)
            return END_OF_RANGE;
        context.cursor += 1;
        return block * blockSize;
    }
    // A 64-bit block count, so every whole block of a very large device can be drawn; the
    // partial block at the device's end never is.
    uint64_t blocks = engineState.deviceBytes / blockSize;
    double u;
    {
        std::lock_guard<std::mutex> guard(engineState.generatorLock);
        u = engineState.generator.genrand64_real2();
    }
    uint64_t block = static_cast<uint64_t>(u * static_cast<double>(blocks));
    if (block >= blocks)  // rounding of the product on counts beyond 2^53
        block = blocks ? blocks - 1 : 0;
    return block * blockSize;
}

}  // namespace vantrel::engine
