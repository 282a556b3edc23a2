// engine_harness.cpp - callbacks, engine set-up and the two test devices.
#include "engine_harness.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace vantrel::testing {

namespace {
std::mutex recorderMutex;
std::vector<ReadRequest> recordedRequests;
std::vector<StatsEventRecord> recordedEvents;
std::vector<LogRecord> recordedLogs;
bool keepRequests = true;
std::function<void(const ReadRequest &)> requestSink;
}  // namespace

void Recorder::clear()
{
    std::lock_guard<std::mutex> guard(recorderMutex);
    recordedRequests.clear();
    recordedEvents.clear();
    recordedLogs.clear();
    keepRequests = true;
    requestSink = nullptr;
}

std::vector<ReadRequest> Recorder::requests()
{
    std::lock_guard<std::mutex> guard(recorderMutex);
    return recordedRequests;
}

std::vector<StatsEventRecord> Recorder::events()
{
    std::lock_guard<std::mutex> guard(recorderMutex);
    return recordedEvents;
}

std::vector<LogRecord> Recorder::logs()
{
    std::lock_guard<std::mutex> guard(recorderMutex);
    return recordedLogs;
}

void Recorder::setKeepRequests(bool keep)
{
    std::lock_guard<std::mutex> guard(recorderMutex);
    keepRequests = keep;
}

void Recorder::setSink(std::function<void(const ReadRequest &)> sink)
{
    std::lock_guard<std::mutex> guard(recorderMutex);
    requestSink = std::move(sink);
}

int32_t VANTREL_CALL Recorder::onReadRequest(uint32_t deviceId, uint64_t sector, uint32_t sectors, uint32_t thread)
{
    ReadRequest request{deviceId, sector, sectors, thread};
    std::function<void(const ReadRequest &)> sink;
    {
        std::lock_guard<std::mutex> guard(recorderMutex);
        if (keepRequests)
            recordedRequests.push_back(request);
        sink = requestSink;
    }
    if (sink)
        sink(request);
    return 0;
}

void VANTREL_CALL Recorder::onStatsEvent(uint32_t code, int32_t a, uint32_t b, uint32_t thread, uint32_t c, uint32_t d)
{
    std::lock_guard<std::mutex> guard(recorderMutex);
    recordedEvents.push_back({code, a, b, thread, c, d});
}

void VANTREL_CALL Recorder::onLog(const char *text, uint32_t length, uint32_t level, uint32_t thread)
{
    std::lock_guard<std::mutex> guard(recorderMutex);
    recordedLogs.push_back({std::string(text, length), level, thread});
}

EngineSession::EngineSession(const EngineSetup &setup) : setup_(setup)
{
    passGlobals(setup.maxNumSamples, setup.engineType, setup.exhaustive, setup.seed, setup.blockSize, nullptr, 0,
                setup.withLog ? Recorder::onLog : nullptr, 0, 0, 0, 0);
    uint32_t need = 0;
    vantrel_init(Recorder::onReadRequest, setup.withEvents ? Recorder::onStatsEvent : nullptr, setup.contexts, &need);
    memory_.assign(need / 8 + 1, 0);
    vantrel_set_memory(reinterpret_cast<uint8_t *>(memory_.data()), need);
    // Block-aligned ranges, the last one taking the remainder.
    const uint64_t blocks = setup.deviceBytes / uint64_t(setup.blockSize);
    const uint64_t share = blocks / setup.contexts;
    for (uint32_t c = 0; c < setup.contexts; c++) {
        uint64_t first = c * share, end = c + 1 == setup.contexts ? blocks : first + share;
        vantrel_threads_params(int32_t(c), int64_t(first * setup.blockSize), int64_t(end * setup.blockSize));
    }
}

void EngineSession::start(EngineResult *result)
{
    vantrel_start(testDeviceId, setup_.deviceBytes / 512, result);
}

ContextStats EngineSession::totals() const
{
    ContextStats sum{};
    for (uint32_t c = 0; c < setup_.contexts; c++) {
        ContextStats one{};
        vantrel_get_contextStats(c, &one);
        sum.nonZeroSamples += one.nonZeroSamples;
        sum.zeroSamples += one.zeroSamples;
        sum.inputBytes += one.inputBytes;
        sum.compressedBytes += one.compressedBytes;
        sum.ratioSum += one.ratioSum;
    }
    return sum;
}

ContentSource imageSource(const std::vector<uint8_t> &image)
{
    return [&image](uint64_t offset, uint8_t *out, size_t bytes) { std::memcpy(out, image.data() + offset, bytes); };
}

ContentSource blockSource(std::function<ContentKind(uint64_t block)> kindOf, uint32_t blockSize)
{
    return [kindOf, blockSize](uint64_t offset, uint8_t *out, size_t bytes) {
        std::vector<uint8_t> block(blockSize);
        while (bytes > 0) {
            uint64_t index = offset / blockSize, within = offset % blockSize;
            fillContent(kindOf(index), block.data(), blockSize, index + 1);
            size_t n = std::min<uint64_t>(bytes, blockSize - within);
            std::memcpy(out, block.data() + within, n);
            out += n;
            offset += n;
            bytes -= n;
        }
    };
}

ContentSource allOf(ContentKind kind)
{
    return blockSource([kind](uint64_t) { return kind; });
}

ManualDevice::ManualDevice(uint64_t deviceBytes, ContentSource source)
    : deviceBytes_(deviceBytes), source_(std::move(source))
{
    Recorder::setSink([this](const ReadRequest &request) {
        std::lock_guard<std::mutex> guard(mutex_);
        if (request.thread >= outstanding_.size()) {
            outstanding_.resize(request.thread + 1);
            hasRequest_.resize(request.thread + 1);
        }
        outstanding_[request.thread] = request;
        hasRequest_[request.thread] = true;
    });
}

ManualDevice::~ManualDevice() { Recorder::setSink(nullptr); }

bool ManualDevice::pending(uint32_t thread) const
{
    std::lock_guard<std::mutex> guard(mutex_);
    return thread < hasRequest_.size() && hasRequest_[thread];
}

ReadRequest ManualDevice::request(uint32_t thread) const
{
    std::lock_guard<std::mutex> guard(mutex_);
    return outstanding_.at(thread);
}

int32_t ManualDevice::answer(uint32_t thread, uint32_t readError, int64_t bytes, uint32_t zeroTest, uint32_t deviceId)
{
    ReadRequest r;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        r = outstanding_.at(thread);
        hasRequest_[thread] = false;
    }
    const uint64_t offset = r.sector * 512, length = uint64_t(r.sectors) * 512;
    buffer_.assign(length, 0);
    uint64_t available = offset < deviceBytes_ ? std::min(length, deviceBytes_ - offset) : 0;
    if (available)
        source_(offset, buffer_.data(), available);
    uint64_t reported = bytes < 0 ? available : uint64_t(bytes);
    return vantrel_read_done(deviceId, thread, readError, reported, buffer_.data(), zeroTest);
}

RunOutcome InMemoryDevice::run(const EngineSetup &setup, int workers)
{
    Recorder::clear();
    Recorder::setKeepRequests(false);
    Recorder::setSink([this](const ReadRequest &request) {
        std::lock_guard<std::mutex> guard(mutex_);
        queue_.push_back(request);
        outstanding_++;
        wake_.notify_one();
    });
    EngineSetup actual = setup;
    actual.deviceBytes = image_.size();
    EngineSession session(actual);
    RunOutcome outcome;
    session.start(&outcome.result);

    std::vector<std::thread> threads;
    for (int i = 0; i < workers; i++)
        threads.emplace_back([this, &setup] { serve(setup.blockSize); });
    // A monitor reads the statistics while the samplers run, as a front end's progress does.
    std::thread monitor([this, &session] {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!stopping_) {
            lock.unlock();
            session.totals();
            lock.lock();
            idle_.wait_for(lock, std::chrono::milliseconds(1));
        }
    });
    {
        std::unique_lock<std::mutex> lock(mutex_);
        idle_.wait(lock, [this] { return outstanding_ == 0; });
        stopping_ = true;
        wake_.notify_all();
        idle_.notify_all();
    }
    monitor.join();
    for (std::thread &t : threads)
        t.join();
    Recorder::setSink(nullptr);
    outcome.status = status_;
    outcome.totals = session.totals();
    outcome.reads = reads_;
    outcome.stoppedContexts = stopped_;
    return outcome;
}

void InMemoryDevice::serve(int32_t blockSize)
{
    std::vector<uint8_t> buffer(size_t(blockSize), 0);
    for (;;) {
        ReadRequest r;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (queue_.empty())
                return;
            r = queue_.front();
            queue_.pop_front();
        }
        const uint64_t offset = r.sector * 512, length = uint64_t(r.sectors) * 512;
        int32_t rc = 0;
        bool served = offset < image_.size();
        if (served) {
            // Like a sampler thread: read into its own buffer, then hand the block back.
            uint64_t bytes = std::min<uint64_t>(length, image_.size() - offset);
            std::memcpy(buffer.data(), image_.data() + offset, bytes);
            std::memset(buffer.data() + bytes, 0, buffer.size() - bytes);
            rc = vantrel_read_done(r.deviceId, r.thread, 0, bytes, buffer.data(), 2);
        }
        std::lock_guard<std::mutex> guard(mutex_);
        if (served)
            reads_++;
        else
            stopped_++;  // past the device's end: stop serving this context
        if (rc != 0 && status_ == 0)
            status_ = rc;
        if (--outstanding_ == 0)
            idle_.notify_all();
    }
}

}  // namespace vantrel::testing
