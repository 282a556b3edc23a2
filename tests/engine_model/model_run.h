// model_run.h - sets the engine up for a model-backed engine type and serves its reads.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "engine_harness.h"

namespace vantrel::testing {

// Parameters of one model-backed run; the card values matter only for type 300, the stripe
// width only for type 400.
struct ModelSetup {
    uint32_t engineType = ENGINE_TYPE_ZOV;
    uint32_t contexts = 1;
    uint64_t deviceBytes = 0;
    int32_t blockSize = 65536;   // what the caller asks for; type 400 replaces it
    uint32_t maxNumSamples = 3400;
    bool exhaustive = false;
    uint32_t dataCards = 6, parityCards = 1, nodesPerCard = 2;
    uint32_t stripeWidth = 5;
};

// passGlobals, vantrel_init and vantrel_set_memory for `setup`, with the recorder's callbacks.
// Owns the engine's memory. Ranges and the start are left to the caller.
class ModelSession {
public:
    explicit ModelSession(const ModelSetup &setup);
    // Gives context c the byte range [first, end) and starts the device.
    void setRange(int32_t c, uint64_t first, uint64_t end);
    void start(EngineResult *result);

private:
    ModelSetup setup_;
    std::vector<uint64_t> memory_;  // 8-byte aligned
};

// What a threaded run left.
struct ThreadedOutcome {
    int32_t status = 0;   // the non-zero result of vantrel_read_done, else 0
    uint64_t reads = 0;   // blocks handed to the engine
};

// Serves the engine's requests from `image` on several threads, each reading into its own
// buffer as a sampler thread does. Create it before the session starts: it collects requests
// from then on.
class ThreadedDevice {
public:
    explicit ThreadedDevice(const std::vector<uint8_t> &image);
    ~ThreadedDevice();
    // Serves with `workers` threads until no request is outstanding; meanwhile the calling
    // thread calls `poll` again and again.
    ThreadedOutcome run(int32_t blockSize, int workers, const std::function<void()> &poll);

private:
    const std::vector<uint8_t> &image_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<ReadRequest> queue_;
    uint64_t outstanding_ = 0;
    ThreadedOutcome outcome_;
};

// A whole threaded run of `setup` over `image`, one sampler thread per context; the session
// stays alive so that its statistics can be read afterwards.
struct ThreadedRun {
    ThreadedRun(const ModelSetup &setup, const std::vector<uint8_t> &image, int32_t blockSize,
                const std::function<void()> &poll)
        : device(image), session(setup)
    {
        session.start(&result);
        outcome = device.run(blockSize, int(setup.contexts), poll);
    }
    ThreadedDevice device;
    ModelSession session;
    EngineResult result{};
    ThreadedOutcome outcome;
};

}  // namespace vantrel::testing
