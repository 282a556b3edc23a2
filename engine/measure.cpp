// measure.cpp - deflate measurement of a sample: how much input fills 32 KiB of output.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "engine/engine_state.h"
#include "engine/incompressibility_check.h"

namespace vantrel::engine {

namespace {

using vdeflate::z_stream;

constexpr uint32_t outputSize = zlibBlockSize;
constexpr unsigned long SAMPLE_INPUT_LIMIT = 491519;
constexpr uint32_t pacedOutputSlice = 16384;  // second stream's output per paced pass
constexpr uint32_t overflowThreshold = 2047;
constexpr int windowBitsNoChecksum = 47;      // zlib frame, 15 window bits, no Adler-32
constexpr int memoryLevel = 6;

int deflateLevel(uint32_t engineType)
{
    switch (engineType) {
    case ENGINE_TYPE_7_2:
    case ENGINE_TYPE_11_6:
        return 103;
    case ENGINE_TYPE_7_3:
        return 111;
    default:
        return 1;
    }
}

bool usesIncompressibilityHint(uint32_t engineType)
{
    return engineType == ENGINE_TYPE_7_1 || engineType == ENGINE_TYPE_7_2;
}

// Slices of one block: 32 KiB each, the last one shorter when the block size is not a multiple.
int32_t slicesPerBlock()
{
    return (engineState.blockSize + sliceSize - 1) / sliceSize;
}

uint32_t sliceEnd(int32_t slice)
{
    return static_cast<uint32_t>(std::min<int64_t>(int64_t{slice + 1} * sliceSize, engineState.blockSize));
}

uint32_t sliceLength(int32_t slice)
{
    return sliceEnd(slice) - static_cast<uint32_t>(slice * sliceSize);
}

// True when the sample's first block is the last block of a compression unit.
bool startsOnUnitLastBlock(const ThreadContext &context)
{
    const uint64_t blockSize = static_cast<uint64_t>(engineState.blockSize);
    return ((context.location + blockSize) / blockSize) % uint64_t(unitBlocks()) == 0;
}

// Sets the stream up for a new sample, writing into `output`. A stream still set up (a sample
// that never counted input) is ended first, so the set-up always starts from an empty arena.
int setUpStream(z_stream &stream, int level, uint8_t *output)
{
    if (stream.state)
        vdeflate::deflateEnd(&stream);
    int r = vdeflate::deflateInit2_(&stream, level, vdeflate::Z_DEFLATED, windowBitsNoChecksum, memoryLevel,
                                    vdeflate::Z_DEFAULT_STRATEGY, vdeflate::ZLIB_VERSION, sizeof(z_stream));
    stream.avail_out = outputSize;
    stream.next_out = output;
    std::memset(output, 0, outputSize);
    return r;
}

// Drops a failed sample: ends the stream and clears its counts.
void dropStream(z_stream &stream)
{
    vdeflate::deflateEnd(&stream);
    stream.total_in = 0;
    stream.total_out = 0;
}

// Credits a finished sample of `in` input and `out` output bytes to the context.
void creditSample(ThreadContext &context, unsigned long in, unsigned long out)
{
    context.inputBytes += in;
    context.compressedBytes += out;
    // An exhaustive pass counts every non-zero block of the sample as a sample of its own, so
    // the sample's ratio is credited once for each of them.
    const int32_t weight = engineState.exhaustive && context.sampleBlocks > 1 ? context.sampleBlocks : 1;
    context.ratioSum += weight * double(out) / double(in);
    engineState.measuredSamples.fetch_add(weight);
}

void reportSample(uint32_t code, int32_t c, const ThreadContext &context, uint32_t in, uint32_t out)
{
    if (StatsEventCallback stats = engineState.statsEventCallback)
        stats(code, context.regionBlock, static_cast<uint32_t>(context.location / uint64_t(engineState.blockSize)),
              static_cast<uint32_t>(c), in, out);
}

// Whether a cap ends the sample after the slice just compressed.
bool capReached(const ThreadContext &context, unsigned long totalIn, int32_t slice, bool unitEdge)
{
    if (totalIn > SAMPLE_INPUT_LIMIT || context.regionBlock >= unitBlocks())
        return true;
    return unitEdge && context.location != 0 && slice == slicesPerBlock() - 1;
}

}  // namespace

int32_t measureStream(int32_t c, int32_t *measureState, const uint8_t *buffer)
{
    ThreadContext &context = engineState.contexts[c];
    std::lock_guard<std::mutex> guard(context.lock);
    z_stream &s = context.stream;
    const uint32_t type = engineState.engineType;
    const bool trimOutput = type == ENGINE_TYPE_11_6;
    const bool unitEdge = startsOnUnitLastBlock(context);
    const bool newSample = s.total_in == 0;

    int32_t r = 0;
    if (newSample)
        r = setUpStream(s, deflateLevel(type), context.workArea);
    s.next_in = const_cast<uint8_t *>(buffer);
    s.avail_in = sliceLength(0);
    int32_t slice = 0;

    // A sample on the device's last whole block cannot go on: it is closed after this block and
    // credited a full output buffer, so a random start there would credit that buffer to a few
    // bytes (a ratio of up to 32768 to 1). It starts at the block's beginning instead.
    const bool lastBlock = context.location + 2 * uint64_t(engineState.blockSize) > engineState.deviceBytes;
    if (trimOutput && newSample && !unitEdge && !lastBlock) {
        // A random start within the first 64 KiB (within the block when it is smaller).
        const uint32_t span = static_cast<uint32_t>(std::min(engineState.blockSize, 2 * sliceSize));
        const uint32_t offset = static_cast<uint32_t>(drawUnitReal1() * span);
        s.next_in += offset;
        slice = offset > uint32_t(sliceSize - 1) ? 1 : 0;
        s.avail_in = sliceEnd(slice) > offset ? sliceEnd(slice) - offset : 0;
    }
    if (*measureState == MEASURE_CLOSE) {
        s.avail_in = 0;
        s.total_out = outputSize;
        s.avail_out = 0;
    }

    for (;;) {
        if (s.avail_out == 0)
            break;
        if (s.avail_in == 0) {
            *measureState = MEASURE_NEEDS_NEXT_BLOCK;
            return r;
        }
        IncompressibilityCheck check;
        uint32_t hint = usesIncompressibilityHint(type) ? check.isIncompressible(s.next_in, int32_t(s.avail_in)) : 0;
        r = vdeflate::deflateWithHint(&s, vdeflate::Z_SYNC_FLUSH, hint);
        if (trimOutput && slice >= 1) {
            // Keep the free space a multiple of 512 bytes, counting the rest as output.
            uint32_t extra = s.avail_out % 512;
            s.total_out += extra;
            s.avail_out -= extra;
            if (s.total_out > outputSize - 1 || s.avail_out == 0) {
                s.total_out = outputSize;
                s.avail_out = 0;
            }
        }
        if (r < 0) {
            dropStream(s);
            return r;
        }
        if (capReached(context, s.total_in, slice, unitEdge)) {
            s.total_out = outputSize;
            break;
        }
        slice += 1;
        if (slice < slicesPerBlock())
            s.avail_in = sliceLength(slice);
    }

    vdeflate::deflateEnd(&s);
    const unsigned long in = s.total_in, out = s.total_out;
    if (in == 0)
        return r;
    creditSample(context, in, out);
    s.total_in = 0;
    s.total_out = 0;
    if (engineState.logCallback) {
        char text[96];
        std::snprintf(text, sizeof text, "Read location: %llu zlib in: %u",
                      static_cast<unsigned long long>(context.location), static_cast<uint32_t>(in));
        logLine(text, 3, c);
    }
    reportSample(STATS_EVENT_SAMPLE, c, context, static_cast<uint32_t>(in), static_cast<uint32_t>(out));
    return r;
}

unsigned long noGainInput(unsigned long in, unsigned long out)
{
    const float outF = static_cast<float>(out);
    const float ratio = outF / static_cast<float>(in);
    const float adjusted = static_cast<float>(static_cast<double>(ratio) + 0.02);
    return static_cast<unsigned long>(outF / adjusted);
}

int32_t measureTwoStreams(int32_t c, int32_t *measureState, const uint8_t *buffer)
{
    ThreadContext &context = engineState.contexts[c];
    ThreadContext &twin = engineState.contexts[c + engineState.threads];
    std::lock_guard<std::mutex> guard(context.lock);  // the twin is only ever touched from here
    z_stream &S = context.stream;
    z_stream &T = twin.stream;
    const bool unitEdge = startsOnUnitLastBlock(context);

    int32_t r = 0;
    if (S.total_in == 0) {
        setUpStream(T, 111, twin.workArea);
        r = setUpStream(S, 111, context.workArea);
    }
    S.next_in = const_cast<uint8_t *>(buffer);
    S.avail_in = sliceLength(0);
    int32_t slice = 0;
    if (*measureState == MEASURE_CLOSE) {
        S.avail_in = T.avail_in = 0;
        S.total_out = outputSize;
        S.avail_out = 0;
    }

    for (;;) {
        if (S.avail_out == 0)
            break;
        if (S.avail_in == 0) {
            *measureState = MEASURE_NEEDS_NEXT_BLOCK;
            return r;
        }
        T.next_in = S.next_in;
        T.avail_in = S.avail_in;
        // The second stream runs ahead into a bounded output slice to find how much input
        // fits; the measured stream then compresses exactly that much.
        uint32_t spaceAtStart;
        do {
            spaceAtStart = S.avail_out;
            T.avail_out = std::min(S.avail_out, pacedOutputSlice);
            T.next_out = twin.workArea;
            const uint32_t before = T.avail_in;
            vdeflate::deflateWithHint(&T, vdeflate::Z_SYNC_FLUSH, vdeflate::Z_HINT_NONE);
            S.avail_in = before - T.avail_in;
            r = vdeflate::deflateWithHint(&S, vdeflate::Z_SYNC_FLUSH, vdeflate::Z_HINT_NONE);
            S.avail_in += T.avail_in;
        } while (spaceAtStart > pacedOutputSlice && T.avail_in != 0 && S.avail_out != 0);

        if (S.avail_in != 0) {
            if (S.avail_out > overflowThreshold && context.overflowSeen) {
                // Start a new frame in the same output buffer; positions and counts carry on.
                const z_stream kept = S;
                const uint32_t twinSpace = T.avail_out;
                vdeflate::deflateReset(&S);
                vdeflate::deflateReset(&T);
                S.next_in = kept.next_in;
                S.avail_in = kept.avail_in;
                S.next_out = kept.next_out;
                S.avail_out = kept.avail_out;
                S.total_in = kept.total_in;
                S.total_out = kept.total_out;
                T.avail_out = twinSpace;
                context.overflowSeen = 0;
            } else {
                S.avail_in = 0;
                S.avail_out = 0;
                S.total_out = outputSize;
                context.overflowSeen = 1;
            }
        }
        if (r < 0) {
            dropStream(S);
            dropStream(T);
            return r;
        }
        if (T.avail_out == 0 || capReached(context, S.total_in, slice, unitEdge)) {
            S.total_out = outputSize;
            break;
        }
        if (S.avail_in != 0)
            continue;
        slice += 1;
        if (slice < slicesPerBlock())
            S.avail_in = T.avail_in = sliceLength(slice);
    }

    vdeflate::deflateEnd(&S);
    vdeflate::deflateEnd(&T);
    unsigned long in = S.total_in;
    const unsigned long out = S.total_out;
    if (in != 0 && in <= out)
        in = noGainInput(in, out);
    if (in == 0)
        return r;
    creditSample(context, in, out);
    S.total_in = S.total_out = 0;
    T.total_in = T.total_out = 0;
    if (engineState.logCallback) {
        char text[160];
        std::snprintf(text, sizeof text, "Read location: %llu zlib in: %u zlib out : %u orig: %" PRId32,
                      static_cast<unsigned long long>(context.location), static_cast<uint32_t>(in),
                      static_cast<uint32_t>(out), static_cast<int32_t>(in));
        logLine(text, 3, c);
    }
    reportSample(STATS_EVENT_TWO_STREAM_SAMPLE, c, context, static_cast<uint32_t>(in), static_cast<uint32_t>(out));
    return r;
}

}  // namespace vantrel::engine
