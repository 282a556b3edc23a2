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

// passGlobals, after the parameters are stored: makes the model object of the engine type.
void makeModelObject();

// vantrel_read_done, after the checks and the trace line: measures one block of context c,
// counts it as a non-zero sample and requests c's next location. Returns 0.
int32_t measureModelBlock(int32_t c, const uint8_t *buffer);

// readContextStats, under the context's lock: replaces stats->ratioSum by the model's figure.
void modelContextStats(ContextStats *stats);

// finalizeEngineResult, after the contexts are summed: the model's ratio sum in the record.
void modelFinalRatio(EngineResult *result, int64_t nonZeroSamples);

// finalizeEngineResult: the non-zero size from the model; false when the usual rule applies.
bool modelNonZeroSectors(EngineResult *result);

}  // namespace vantrel::engine
