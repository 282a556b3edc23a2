// engine_harness.h - drives the engine as a front end would: callbacks, memory, read serving.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device_content.h"
#include "engine/vantrel_engine.h"

namespace vantrel::testing {

constexpr uint32_t testDeviceId = 1234;

struct ReadRequest {
    uint32_t deviceId;
    uint64_t sector;
    uint32_t sectors;
    uint32_t thread;
};

struct StatsEventRecord {
    uint32_t code;
    int32_t a;
    uint32_t b, thread, c, d;
};

struct LogRecord {
    std::string text;
    uint32_t level, thread;
};

// What the engine called back, process-wide (the callbacks carry no user pointer).
// Thread-safe. A sink, when set, also receives every read request.
class Recorder {
public:
    static void clear();
    static std::vector<ReadRequest> requests();
    static std::vector<StatsEventRecord> events();
    static std::vector<LogRecord> logs();
    static void setKeepRequests(bool keep);
    static void setSink(std::function<void(const ReadRequest &)> sink);

    static int32_t VANTREL_CALL onReadRequest(uint32_t deviceId, uint64_t sector, uint32_t sectors, uint32_t thread);
    static void VANTREL_CALL onStatsEvent(uint32_t code, int32_t a, uint32_t b, uint32_t thread, uint32_t c, uint32_t d);
    static void VANTREL_CALL onLog(const char *text, uint32_t length, uint32_t level, uint32_t thread);
};

// Parameters of one engine run.
struct EngineSetup {
    uint32_t engineType = ENGINE_TYPE_6_4;
    uint32_t contexts = 1;
    uint64_t deviceBytes = 0;
    int32_t blockSize = 65536;
    uint32_t maxNumSamples = 3400;
    bool exhaustive = false;
    uint64_t seed = 1;
    bool withLog = true;
    bool withEvents = true;
};

// A set-up with the fields most tests vary; the rest keep their defaults.
inline EngineSetup makeSetup(uint32_t engineType, uint32_t contexts, uint64_t deviceBytes)
{
    EngineSetup setup;
    setup.engineType = engineType;
    setup.contexts = contexts;
    setup.deviceBytes = deviceBytes;
    return setup;
}

// Configures the engine for one device and owns its memory: passGlobals, vantrel_init,
// vantrel_set_memory and one block-aligned range per context, as the front end does.
class EngineSession {
public:
    explicit EngineSession(const EngineSetup &setup);
    // Starts sampling; `result` receives the final record.
    void start(EngineResult *result);
    // Sums every context's statistics.
    ContextStats totals() const;
    const EngineSetup &setup() const { return setup_; }

private:
    EngineSetup setup_;
    std::vector<uint64_t> memory_;  // 8-byte aligned
};

// Returns `bytes` bytes of device content at `offset`.
using ContentSource = std::function<void(uint64_t offset, uint8_t *out, size_t bytes)>;
ContentSource imageSource(const std::vector<uint8_t> &image);
// Content chosen block by block (each block seeded by its number), for devices too large to hold.
ContentSource blockSource(std::function<ContentKind(uint64_t block)> kindOf, uint32_t blockSize = 65536);

// Answers the engine's requests one at a time on the calling thread, for exact tests.
class ManualDevice {
public:
    ManualDevice(uint64_t deviceBytes, ContentSource source);
    ~ManualDevice();
    // True when context `thread` has a request outstanding.
    bool pending(uint32_t thread) const;
    // The outstanding request of `thread` (the last one made for it).
    ReadRequest request(uint32_t thread) const;
    // Serves the outstanding request of `thread` and returns what vantrel_read_done returned.
    // bytes < 0 passes the bytes actually available.
    int32_t answer(uint32_t thread, uint32_t readError = 0, int64_t bytes = -1, uint32_t zeroTest = 2,
                   uint32_t deviceId = testDeviceId);

private:
    uint64_t deviceBytes_;
    ContentSource source_;
    mutable std::mutex mutex_;
    std::vector<ReadRequest> outstanding_;
    std::vector<bool> hasRequest_;
    std::vector<uint8_t> buffer_;
};

// The same kind of content in every block.
ContentSource allOf(ContentKind kind);

// A session started on a ManualDevice: the opening of most exact tests.
struct ManualRun {
    ManualRun(const EngineSetup &setup, ContentSource source)
        : session(setup), device(setup.deviceBytes, std::move(source))
    {
        session.start(&result);
    }
    EngineSession session;
    ManualDevice device;
    EngineResult result{};
};

// Outcome of a whole threaded run.
struct RunOutcome {
    int32_t status = 0;       // the non-zero result of vantrel_read_done, or 0 if none came
    EngineResult result{};
    ContextStats totals{};
    uint64_t reads = 0;       // blocks served
    uint64_t stoppedContexts = 0;  // contexts whose requests ran past the device's end
};

// Serves the engine's requests from an image through a queue and several worker threads.
class InMemoryDevice {
public:
    explicit InMemoryDevice(const std::vector<uint8_t> &image) : image_(image) {}
    // Runs a whole device with `workers` sampler threads until every context is finished
    // or no request is left.
    RunOutcome run(const EngineSetup &setup, int workers);

private:
    void serve(int32_t blockSize);

    const std::vector<uint8_t> &image_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<ReadRequest> queue_;
    uint64_t outstanding_ = 0;
    bool stopping_ = false;
    int32_t status_ = 0;
    uint64_t reads_ = 0;
    uint64_t stopped_ = 0;
};

}  // namespace vantrel::testing
