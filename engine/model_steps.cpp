// model_steps.cpp - model-backed engine types: the card model (300) and the stripe model (400).
//
// One model object of each kind lives in the engine state and serves every context and every
// sampler thread of a device. The models take their own lock over their totals; the engine calls
// them for the statistics with a context lock held (context lock first, then the model's lock)
// and compresses without any engine lock, so stripes are compressed in parallel.
#include "engine/model_steps.h"

#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "engine/engine_state.h"
#include "model/Tarnel.h"
#include "model/Zov.h"

namespace vantrel::engine {

namespace model = orvane::tessaline::kbx::tarnel;

namespace {

// Bytes of the data cards at the start of a type-300 block.
uint64_t cardBytes() { return uint64_t{engineState.dataCards} * model::KUV_CARD_SIZE; }

// Asks for context c's next location once its block has been counted.
void requestNext(int32_t c)
{
    ThreadContext &context = engineState.contexts[c];
    context.location = nextReadLocation(c);
    requestRead(c, context.location);
}

// Hands a copy of `bytes` bytes of `buffer` to `compress`, which calls the model on it and
// returns the model's result. False when the copy cannot be allocated or the model reports a
// failure (it has written its own line): the block then has no measurement.
template <typename Compress>
bool compressCopy(const uint8_t *buffer, uint64_t bytes, Compress compress)
{
    try {
        // The model gets a copy of its own; the caller's buffer is released for the next read.
        const std::vector<uint8_t> copy(buffer, buffer + bytes);
        return compress(copy) == 0;
    } catch (const std::bad_alloc &) {
        return false;
    }
}

bool measureStripe(int32_t c, const uint8_t *buffer)
{
    EngineState &e = engineState;
    ThreadContext &context = e.contexts[c];
    model::Zov *zov = e.zovModel;
    const uint32_t blockSize = static_cast<uint32_t>(e.blockSize);
    if (zov && !compressCopy(buffer, blockSize, [zov](const std::vector<uint8_t> &stripe) {
            return zov->compressZov(stripe);
        }))
        return false;
    {
        std::lock_guard<std::mutex> guard(context.lock);
        context.inputBytes = blockSize;
        if (zov) {
            // bytesOut is the model's running total over every stripe of the device so far.
            context.ratioSum += double(zov->bytesOut()) / blockSize;
            context.compressedBytes += zov->bytesOut();
        }
        context.nonZeroSamples += 1;  // every block of a model type is a non-zero sample
    }
    e.nonZeroSamples.fetch_add(1);
    if (zov && e.logCallback) {
        char text[64];
        std::snprintf(text, sizeof text, "Zov : (%g)", double(zov->bytesOut()) / blockSize);
        logLine(text, 0, c);
    }
    requestNext(c);
    return true;
}

bool measureCards(int32_t c, const uint8_t *buffer)
{
    EngineState &e = engineState;
    ThreadContext &context = e.contexts[c];
    model::Tarnel *tarnel = e.tarnelModel;
    const uint64_t cards = cardBytes();
    uint32_t out = 0;
    if (tarnel) {
        // A block shorter than the data cards is handed over as it is: the model refuses the
        // wrong length, and nothing is read past the caller's buffer.
        const uint64_t copied = cards < uint64_t(e.blockSize) ? cards : uint64_t(e.blockSize);
        const uint64_t stripeNumber = cards ? context.location / cards : 0;
        if (!compressCopy(buffer, copied, [&](const std::vector<uint8_t> &stripe) {
                return tarnel->compressKuv(stripeNumber, stripe, &out);
            }))
            return false;
    }
    {
        std::lock_guard<std::mutex> guard(context.lock);
        context.compressedBytes += out;
        context.inputBytes += cards;
        if (cards)
            context.ratioSum += double(out) / double(cards);
        context.nonZeroSamples += 1;  // every block of a model type is a non-zero sample
    }
    e.nonZeroSamples.fetch_add(1);
    requestNext(c);
    return true;
}

// One dump line: `key` followed by each count and a blank.
std::string countsLine(const char *key, const std::vector<uint64_t> &counts)
{
    std::string line = key;
    for (uint64_t n : counts)
        line += std::to_string(n) + ' ';
    return line;
}

// The card model's per-node counts in the log, when the environment asks for them.
void dumpNodeCounts(const model::Tarnel &tarnel)
{
    if (!std::getenv("VTRLL3") || !engineState.logCallback)
        return;
    std::vector<uint64_t> counts;
    tarnel.nodeBytesIn(counts);
    logLine(countsLine("VTRLLOGICAL=", counts).c_str(), 3, 0);
    tarnel.nodeBytesOut(counts);
    logLine(countsLine("VTRLPHYSICAL=", counts).c_str(), 3, 0);
}

// Replaces the model pointer `slot` by `fresh`, destroying the object it held.
template <typename Model>
void replaceModel(Model *&slot, Model *fresh)
{
    Model *old = slot;
    slot = fresh;
    delete old;
}

}  // namespace

void makeModelObject()
{
    EngineState &e = engineState;
    // The new object is made first: when its constructor throws, the old one stays in place.
    if (e.engineType == ENGINE_TYPE_TARNEL) {
        replaceModel(e.tarnelModel, new model::Tarnel(e.dataCards, e.parityCards, e.nodesPerCard));
    } else if (e.engineType == ENGINE_TYPE_ZOV) {
        replaceModel(e.zovModel, new model::Zov(e.stripeWidth));
        // A block is the data strips of one stripe, whatever size the caller asked for.
        e.blockSize = static_cast<int32_t>((e.stripeWidth - 2) * model::ZOV_STRIP_SIZE);
    }
}

bool measureModelBlock(int32_t c, const uint8_t *buffer)
{
    if (engineState.engineType == ENGINE_TYPE_ZOV)
        return measureStripe(c, buffer);
    return measureCards(c, buffer);
}

void modelContextStats(ContextStats *stats)
{
    const EngineState &e = engineState;
    if (e.engineType == ENGINE_TYPE_TARNEL && e.tarnelModel)
        stats->ratioSum = 1.0 / e.tarnelModel->minNodeRatio();
    else if (e.engineType == ENGINE_TYPE_ZOV && e.zovModel)
        stats->ratioSum = 1.0 / e.zovModel->ratio();
}

void modelFinalRatio(EngineResult *result, int64_t nonZeroSamples)
{
    const EngineState &e = engineState;
    if (e.engineType == ENGINE_TYPE_TARNEL && e.tarnelModel) {
        dumpNodeCounts(*e.tarnelModel);
        result->ratioSum = double(nonZeroSamples) / e.tarnelModel->minNodeRatio();
    } else if (e.engineType == ENGINE_TYPE_ZOV && e.zovModel) {
        result->ratioSum = double(nonZeroSamples) / e.zovModel->ratio();
    }
}

bool modelNonZeroSectors(EngineResult *result)
{
    const EngineState &e = engineState;
    if (e.engineType != ENGINE_TYPE_ZOV || !e.zovModel)
        return false;
    const double nonZeroShare = 1.0 - e.zovModel->zeroFraction();
    result->nonZeroSectors = static_cast<uint64_t>(nonZeroShare * double(e.deviceBytes) * (1.0 / 512));
    return true;
}

}  // namespace vantrel::engine

double VANTREL_CALL vantrel_get_zero_savings(void)
{
    using vantrel::engine::engineState;
    // Only the stripe model counts zero data; every other type reports none.
    if (engineState.engineType != ENGINE_TYPE_ZOV || !engineState.zovModel)
        return 0.0;
    return engineState.zovModel->zeroFraction();
}
