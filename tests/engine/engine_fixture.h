// engine_fixture.h - a test fixture that starts every test from the engine's program-start state.
#pragma once

#include <gtest/gtest.h>

#include "engine/engine_state.h"
#include "engine_harness.h"

namespace vantrel::testing {

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        vantrel::engine::initEngineDefaults();
        Recorder::clear();
    }
    void TearDown() override { Recorder::clear(); }
};

}  // namespace vantrel::testing
