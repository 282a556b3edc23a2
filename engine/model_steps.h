// model_steps.h - where the model-backed engine types (300, 400) join the engine's steps.
#pragma once

#include <cstdint>

#include "engine/vantrel_engine.h"

namespace vantrel::engine {

// True for the engine types measured by a compression model instead of deflate.
inline bool isModelType(uint32_t engineType)
{
    return engineType == ENGINE_TYPE_TARNEL || engineType == ENGINE_TYPE_ZOV;
}

// passGlobals, after the parameters are stored: makes the model object of the engine type (a
// Tarnel from the card parameters for 300, a Zov of stripeWidth for 400, which also sets
// blockSize to the stripe's data strips) and destroys the one an earlier call made for that type.
// A constructor's std::runtime_error passes out; the earlier object then stays. Not thread-safe.
void makeModelObject();

// vantrel_read_done, after the checks and the trace line: hands a copy of one block of context c
// to the model (without an engine lock), counts it as a non-zero sample (under c's lock) and
// requests c's next location. Type 400 also logs the "Zov : (" line. With no model object (its
// construction failed) the block only counts. Returns true, or false when the block could not
// be measured (the copy could not be allocated, or the model reported a failure): then nothing
// is counted and nothing requested. Thread-safe across contexts.
bool measureModelBlock(int32_t c, const uint8_t *buffer);

// readContextStats, under the context's lock: replaces stats->ratioSum by the model's compressed
// fraction (1 / its ratio); takes the model's lock inside the context's.
void modelContextStats(ContextStats *stats);

// finalizeEngineResult, after the contexts are summed (no context lock held): the record's
// ratioSum from the model for nonZeroSamples samples; type 300 first writes the node counts to
// the log at level 3 when the environment variable VTRLL3 exists.
void modelFinalRatio(EngineResult *result, int64_t nonZeroSamples);

// finalizeEngineResult: type 400 sets the non-zero size from the stripe model's zero fraction and
// returns true; false for every other type (the usual rule applies).
bool modelNonZeroSectors(EngineResult *result);

}  // namespace vantrel::engine
