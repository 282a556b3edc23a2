// The Linux side of the platform seam: POSIX device access and the Linux program's usage text.
#include "frontend/platform.h"

#include <cerrno>
#include <cstring>
#include <fstream>

#include "frontend/device_reader.h"
#include "frontend/options.h"

const int kExitStatusOffset = 3;

std::vector<std::string> commandLineArguments(int argc, char **argv)
{
    return std::vector<std::string>(argv, argv + argc);
}

std::filesystem::path fileName(const std::string &name)
{
    return std::filesystem::path(name);
}

std::string batchFileUtf8(const std::string &bytes)
{
    static const std::string byteOrderMark = "\xEF\xBB\xBF";
    if (bytes.compare(0, byteOrderMark.size(), byteOrderMark) == 0) return bytes.substr(byteOrderMark.size());
    return bytes;
}

std::FILE *createTextFile(const std::string &name)
{
    return std::fopen(name.c_str(), "w");
}

struct SamplerDevice::Reader {
    DeviceReader device;
};

SamplerDevice::SamplerDevice() : reader_(std::make_unique<Reader>()) {}

SamplerDevice::~SamplerDevice() = default;

bool SamplerDevice::open(const std::string &name)
{
    reader_->device.open(name);
    return reader_->device.ok;
}

bool SamplerDevice::readAt(uint8_t *buffer, int32_t length, uint64_t offset, uint64_t &bytesRead)
{
    reader_->device.readAt(buffer, length, offset, bytesRead);
    return reader_->device.ok;
}

int SamplerDevice::error() const
{
    return reader_->device.lastError;
}

std::string deviceErrorText(int code)
{
    return std::strerror(code);
}

int64_t sizeDevice(const std::string &path, int &error)
{
    const int64_t size = deviceSize(path);
    error = errno;
    return size;
}

bool outputWouldHitInput(const std::string &path, const std::vector<std::string> &inputFiles)
{
    return writingWouldHitDevice(path, inputFiles);
}

std::string reportName(const std::string &devicePath)
{
    return devicePath;
}

std::string warningName(const std::string &devicePath)
{
    return devicePath;
}

std::string programUsageText()
{
    return usageText(std::ifstream("/etc/vmware/esx.conf").is_open());
}

void declarePlatformOptions(boost::program_options::options_description &) {}

void platformStartUpDone(bool) {}

void platformBeforeDevices(bool, std::queue<BatchEntry> &) {}

void platformBeforeSizing() {}
