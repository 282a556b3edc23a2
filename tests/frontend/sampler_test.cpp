// The sampling road without the engine: thread ranges, the I/O-error limit, the read-request
// and statistics callbacks, device sizing and reading, and the read queue's close in the thread pool.
#include <gtest/gtest.h>

#include <thread>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>
#include <utility>
#include <vector>

#include "frontend/device_reader.h"
#include "frontend/log.h"
#include "frontend/output_guard.h"
#include "frontend/platform.h"
#include "frontend/run_state.h"
#include "frontend/sampler.h"
#include "frontend/settings.h"

namespace {

using Range = std::pair<uint64_t, uint64_t>;

std::vector<Range> ranges(int64_t deviceBytes, int threads, int64_t blockSize)
{
    std::vector<threadWorkData *> records;
    makeThreadRanges(deviceBytes, records, threads, blockSize, 4);
    std::vector<Range> result;
    for (size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(records[i]->index, i);
        EXPECT_EQ(records[i]->logLevel, 4);
        result.emplace_back(records[i]->rangeStart, records[i]->rangeEnd);
        delete records[i];
    }
    return result;
}

TEST(ThreadRangesTest, BoundariesAreAlignedAndNeighboursShareTheBoundaryBlock)
{
    EXPECT_EQ(ranges(1000000, 3, 65536),
              (std::vector<Range>{{0, 393216}, {327680, 720896}, {655360, 1000000}}));
    EXPECT_EQ(ranges(4 * 65536, 2, 65536), (std::vector<Range>{{0, 131072}, {131072, 262144}}));
    EXPECT_EQ(ranges(65536, 1, 65536), (std::vector<Range>{{0, 65536}}));

    // Any size: starts aligned down, ends aligned up (or the device's end), in order, and
    // no gap between neighbours.
    const struct {
        int64_t bytes;
        int threads;
        int64_t block;
    } cases[] = {{10737418240LL, 10, 65536}, {4294967296LL + 12345, 7, 3145728}, {100000, 10, 65536}};
    for (const auto &c : cases) {
        const std::vector<Range> got = ranges(c.bytes, c.threads, c.block);
        ASSERT_EQ(got.size(), size_t(c.threads));
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].first % c.block, 0u);
            EXPECT_TRUE(got[i].second % c.block == 0 || got[i].second == uint64_t(c.bytes));
            EXPECT_LE(got[i].second, uint64_t(c.bytes));
            if (i > 0) {
                EXPECT_LE(got[i].first, got[i - 1].second);
            }
        }
    }
}

class SamplingStateTest : public testing::Test {
protected:
    void SetUp() override
    {
        readQueue.setLimit(100);
        runStatus.store(0);
        ioErrors.store(0);
        firstAbortFlag.store(0);
        settings = RunSettings();
    }
    void TearDown() override
    {
        while (readQueue.tryPop()) {
        }
        runStatus.store(0);
        ioErrors.store(0);
        firstAbortFlag.store(0);
        settings = RunSettings();
    }
};

TEST_F(SamplingStateTest, IoErrorLimitToleratesLimitPlusOneFailuresAndReportsOnce)
{
    EXPECT_EQ(ioErrorLimitFor(10737418240LL, 65536, 0.01), 1638u);
    EXPECT_EQ(ioErrorLimitFor(99 * 65536, 65536, 0.01), 0u);
    const struct {
        int64_t deviceBytes;
        double fraction;
        uint64_t limit;
        const char *message;
    } cases[] = {
        {1000000000, 0.01, 152, "(>1%)"},
        {19 * 65536 + 100, 0.05, 0, "(>5%)"},
    };
    for (const auto &c : cases) {
        SetUp();
        settings.ioErrorFraction = c.fraction;
        ioErrorLimit = ioErrorLimitFor(c.deviceBytes, 65536, c.fraction);
        ASSERT_EQ(ioErrorLimit, c.limit);
        threadWorkData record(0, 0, 0);
        record.logLevel = -1;
        testing::internal::CaptureStderr();
        for (uint64_t failure = 1; failure <= c.limit + 1; ++failure) {
            ASSERT_EQ(ioErrorCheck(&record), 1) << "failure " << failure;
        }
        EXPECT_EQ(runStatus.load(), 0);
        EXPECT_EQ(ioErrorCheck(&record), 0);
        EXPECT_EQ(ioErrorCheck(&record), 0);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(runStatus.load(), EXIT_CODE_IO_ERRORS);
        EXPECT_EQ(err.find("Aborting run over current device"), 0u);
        EXPECT_EQ(err.find("Aborting", 1), std::string::npos) << "reported twice";
        EXPECT_NE(err.find(c.message), std::string::npos);
    }
}

// A read past the device's end closes the read queue once the reads asked for before it are
// served; a read asked for while the run fails closes it at once.
TEST_F(SamplingStateTest, ReadRequestsPastTheEndOrWhileFailingCloseTheReadQueue)
{
    deviceSizeBytes = 1048576;
    const struct {
        uint64_t sector;
        int32_t status;
        bool queued;         // the read is queued
        bool earlierServed;  // a read asked for before it is still served
    } cases[] = {
        {0, 0, true, true},
        {2048, 0, true, true},  // at the device's end: still a read
        {2049, 0, false, true},  // one sector further
        {~uint64_t(0) / 512, 0, false, true},
        {16, EXIT_CODE_IO_ERRORS, false, false},
    };
    for (const auto &c : cases) {
        readQueue.open();
        runStatus.store(0);
        ASSERT_EQ(onReadRequest(kSampledDeviceId, 8, 128, 4), 1);
        runStatus.store(c.status);
        EXPECT_EQ(onReadRequest(kSampledDeviceId, c.sector, 128, 5), 1);
        if (c.earlierServed) {
            const auto earlier = readQueue.waitAndPop();
            ASSERT_NE(earlier, nullptr) << c.sector;
            EXPECT_EQ(earlier->offset, 4096u);
            EXPECT_EQ(earlier->thread, 4);
        }
        const auto request = readQueue.waitAndPop();
        if (c.queued) {
            ASSERT_NE(request, nullptr) << c.sector;
            EXPECT_EQ(request->offset, c.sector * 512);
            EXPECT_EQ(request->length, 65536);
            EXPECT_EQ(request->thread, 5);
        } else {
            EXPECT_EQ(request, nullptr) << c.sector;  // closed: no wait
        }
        while (readQueue.tryPop()) {
        }
    }
    readQueue.open();
}

TEST(StatsEventTest, ValuesAreLoggedAsUnsignedDecimals)
{
    EXPECT_EQ(statsEventText(639, -3, 7, 0, 12, 40), "639 4294967293 7 0 12 40");
    EXPECT_EQ(statsEventText(900, 3, 18276, 5, 65536, 29877), "900 3 18276 5 65536 29877");
}

class ImageFileTest : public testing::Test {
protected:
    void SetUp() override
    {
        char dir[] = "/tmp/vantrel_sampler_test_XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
    }
    void TearDown() override
    {
        for (const auto &file : files_) std::remove(file.c_str());
        rmdir(dir_.c_str());
    }
    std::string makeFile(const std::string &name, const std::string &content)
    {
        const std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary) << content;
        files_.push_back(path);
        return path;
    }
    std::string dir_;
    std::vector<std::string> files_;
};

TEST_F(ImageFileTest, DeviceSizeOfImageFiles)
{
    std::string content(1048576 + 512, 'x');
    EXPECT_EQ(deviceSize(makeFile("image.img", content)), 1048576 + 512);
    testing::internal::CaptureStderr();
    EXPECT_EQ(deviceSize(makeFile("empty.img", "")), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr().rfind("lseek", 0), 0u);
    EXPECT_EQ(deviceSize(dir_ + "/missing.img"), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(ImageFileTest, OutputFilesNeverLandOnADevice)
{
    const std::string image = makeFile("disk.img", "data");
    const std::string other = makeFile("other.img", "data");
    const std::string sameImage = dir_ + "/./disk.img";
    const struct {
        std::string output;
        OutputRefusal refusal;
        int error;  // OpenFailed: the system's code
    } cases[] = {
        {dir_ + "/new.csv", OutputRefusal::None, 0},  // not there yet: created as usual
        {other, OutputRefusal::None, 0},              // an existing file that is not a device of the run
        {sameImage, OutputRefusal::Input, 0},         // the image under analysis, named differently
        {"/dev/null", OutputRefusal::None, 0},        // a character device takes output harmlessly
        {"", OutputRefusal::OpenFailed, ENOENT},
    };
    for (const auto &c : cases) {
        OutputVerdict verdict;
        std::FILE *file = openOutputFile(c.output, {"", dir_ + "/missing.img", image}, verdict);
        EXPECT_EQ(file == nullptr, c.refusal != OutputRefusal::None) << c.output;
        EXPECT_EQ(verdict.refusal, c.refusal) << c.output;
        EXPECT_EQ(verdict.error, c.error) << c.output;
        if (file != nullptr) closeOutputFile(file);
    }
    std::ifstream kept(image);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "data");
    struct stat info;
    if (stat("/dev/loop0", &info) == 0 && S_ISBLK(info.st_mode)) {
        OutputVerdict verdict;
        EXPECT_EQ(openOutputFile("/dev/loop0", {}, verdict), nullptr);
        EXPECT_EQ(verdict.refusal, OutputRefusal::Device);
    }
}

TEST_F(ImageFileTest, ReaderReadsAtOffsetsAndKeepsTheLastError)
{
    std::string content;
    for (int i = 0; i < 3000; ++i) content += char('a' + i % 26);
    DeviceReader reader;
    reader.open(makeFile("data.img", content));
    ASSERT_TRUE(reader.ok);
    uint8_t buffer[1024];
    uint64_t got = 99;
    reader.readAt(buffer, 1024, 1000, got);
    EXPECT_TRUE(reader.ok);
    EXPECT_EQ(got, 1024u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buffer), 1024), content.substr(1000, 1024));
    reader.readAt(buffer, 1024, 2500, got);  // short read at the end
    EXPECT_TRUE(reader.ok);
    EXPECT_EQ(got, 500u);
    reader.readAt(buffer, 1024, 5000, got);  // past the end
    EXPECT_TRUE(reader.ok);
    EXPECT_EQ(got, 0u);

    DeviceReader missing;
    missing.open(dir_ + "/missing.img");
    EXPECT_FALSE(missing.ok);
    EXPECT_EQ(missing.lastError, ENOENT);

}

// A device that is neither a block device nor a regular file can be neither sized nor
// opened for sampling, and a named pipe without a writer must not make either wait.
TEST_F(ImageFileTest, OnlyBlockDevicesAndRegularFilesAreSizedAndOpened)
{
    const std::string fifo = dir_ + "/pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    files_.push_back(fifo);
    const std::string empty = makeFile("empty.img", "");
    const struct {
        std::string path;
        int sizeError;    // errno after deviceSize's -1
        int openError;    // lastError after open, 0 when it opens
    } cases[] = {
        {dir_, EISDIR, EISDIR},
        {fifo, ENOTBLK, ENOTBLK},
        {"/dev/null", ENOTBLK, ENOTBLK},  // a character device
        {empty, 0, 0},                    // empty: nothing failed, but there is nothing to size
    };
    for (const auto &c : cases) {
        // Run each in its own thread so that a call blocking on the pipe fails the test
        // instead of hanging it; a writer's open then releases the blocked call.
        auto outcome = std::async(std::launch::async, [&c] {
            testing::internal::CaptureStderr();
            const int64_t size = deviceSize(c.path);
            const int sizeError = errno;
            testing::internal::GetCapturedStderr();
            DeviceReader reader;
            reader.open(c.path);
            return std::make_tuple(size, sizeError, reader.ok, reader.lastError);
        });
        if (outcome.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            ADD_FAILURE() << c.path << " blocked";
            for (int i = 0; i < 2; ++i) {
                const int writer = open(c.path.c_str(), O_WRONLY | O_NONBLOCK);
                if (writer >= 0) close(writer);
                outcome.wait_for(std::chrono::seconds(1));
            }
            outcome.wait();
            continue;
        }
        const auto [size, sizeError, opened, openError] = outcome.get();
        EXPECT_EQ(size, -1) << c.path;
        EXPECT_EQ(sizeError, c.sizeError) << c.path;
        EXPECT_EQ(opened, c.openError == 0) << c.path;
        EXPECT_EQ(openError, c.openError) << c.path;
    }
}

// The engine's end of one context (a read asked for past the device's end) ends every
// sampler thread, those waiting for a read too.
TEST_F(ImageFileTest, ReadPastTheEndEndsEverySamplerThread)
{
    readQueue.setLimit(100);
    readQueue.open();
    runStatus.store(0);
    settings = RunSettings();
    settings.inblockSize = 4096;
    deviceSizeBytes = 8192;
    const std::string image = makeFile("pool.img", std::string(8192, '\0'));

    std::vector<threadWorkData *> records;
    makeThreadRanges(8192, records, 8, 4096, -1);
    std::vector<std::unique_ptr<std::thread>> threads;
    for (auto *record : records) {
        threads.push_back(std::make_unique<std::thread>(samplerThread, record, image.c_str(), nullptr));
    }
    EXPECT_EQ(onReadRequest(kSampledDeviceId, 8192 / 512 + 1, 8, 3), 1);
    for (auto &thread : threads) thread->join();
    for (auto *record : records) {
        EXPECT_TRUE(record->finished.load());
        delete record;
    }
    // Nothing was queued, and a later wait ends at once.
    EXPECT_EQ(readQueue.tryPop(), nullptr);
    EXPECT_EQ(readQueue.waitAndPop(), nullptr);
    readQueue.open();
    EXPECT_EQ(sampleCounter.load(), 0u);  // the end of one context leaves the counter alone
}

} // namespace
