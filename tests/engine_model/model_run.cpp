// model_run.cpp - engine set-up for the model-backed types and a threaded test device.
#include "model_run.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace vantrel::testing {

ModelSession::ModelSession(const ModelSetup &setup) : setup_(setup)
{
    passGlobals(setup.maxNumSamples, setup.engineType, setup.exhaustive, 1, setup.blockSize, nullptr, 0,
                Recorder::onLog, setup.dataCards, setup.parityCards, setup.nodesPerCard, setup.stripeWidth);
    uint32_t need = 0;
    vantrel_init(Recorder::onReadRequest, Recorder::onStatsEvent, setup.contexts, &need);
    memory_.assign(need / 8 + 1, 0);
    vantrel_set_memory(reinterpret_cast<uint8_t *>(memory_.data()), need);
}

void ModelSession::setRange(int32_t c, uint64_t first, uint64_t end)
{
    vantrel_threads_params(c, int64_t(first), int64_t(end));
}

void ModelSession::start(EngineResult *result)
{
    vantrel_start(testDeviceId, setup_.deviceBytes / 512, result);
}

ThreadedDevice::ThreadedDevice(const std::vector<uint8_t> &image) : image_(image)
{
    Recorder::setKeepRequests(false);
    Recorder::setSink([this](const ReadRequest &request) {
        std::lock_guard<std::mutex> guard(mutex_);
        queue_.push_back(request);
        outstanding_++;
        changed_.notify_all();
    });
}

ThreadedDevice::~ThreadedDevice() { Recorder::setSink(nullptr); }

ThreadedOutcome ThreadedDevice::run(int32_t blockSize, int workers, const std::function<void()> &poll)
{
    auto serve = [this, blockSize] {
        std::vector<uint8_t> buffer(size_t(blockSize), 0);
        for (;;) {
            ReadRequest r;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [this] { return !queue_.empty() || outstanding_ == 0; });
                if (queue_.empty())
                    return;
                r = queue_.front();
                queue_.pop_front();
                outcome_.reads++;
            }
            const uint64_t offset = r.sector * 512;
            const uint64_t bytes = std::min<uint64_t>(uint64_t(r.sectors) * 512, image_.size() - offset);
            std::memcpy(buffer.data(), image_.data() + offset, bytes);
            const int32_t rc = vantrel_read_done(r.deviceId, r.thread, 0, bytes, buffer.data(), 2);
            std::lock_guard<std::mutex> guard(mutex_);
            if (rc != 0)
                outcome_.status = rc;
            if (--outstanding_ == 0)
                changed_.notify_all();
        }
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < workers; i++)
        threads.emplace_back(serve);
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            if (outstanding_ == 0)
                break;
        }
        poll();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    for (std::thread &t : threads)
        t.join();
    return outcome_;
}

}  // namespace vantrel::testing
