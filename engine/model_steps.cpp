// model_steps.cpp - model-backed engine types: counting steps until a model is attached.
//
// The deflate engine types never come here. Without a model object the block step still keeps
// the sampling loop going (one non-zero sample per block, next location requested) so that a
// caller's read loop ends normally; the statistics steps leave the deflate figures in place.
#include "engine/model_steps.h"

#include "engine/engine_state.h"

namespace vantrel::engine {

void makeModelObject() {}

int32_t measureModelBlock(int32_t c, const uint8_t * /*buffer*/)
{
    ThreadContext &context = engineState.contexts[c];
    {
        std::lock_guard<std::mutex> guard(context.lock);
        context.nonZeroSamples += 1;
    }
    engineState.nonZeroSamples.fetch_add(1);
    context.location = nextReadLocation(c);
    requestRead(c, context.location);
    return 0;
}

void modelContextStats(ContextStats * /*stats*/) {}

void modelFinalRatio(EngineResult * /*result*/, int64_t /*nonZeroSamples*/) {}

bool modelNonZeroSectors(EngineResult * /*result*/) { return false; }

}  // namespace vantrel::engine

double VANTREL_CALL vantrel_get_zero_savings(void) { return 0.0; }
