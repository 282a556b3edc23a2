// The Linux side of the platform seam: POSIX device access and the Linux program's usage text.
#include "frontend/platform.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "frontend/device_reader.h"
#include "frontend/options.h"
#include "frontend/output_guard.h"
#include "frontend/sampleable.h"

const int kExitStatusOffset = 3;
const bool kNumberEntryTextIsPath = true;

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

std::FILE *openBatchFile(const std::string &path, int &error)
{
    // A name that cannot be looked at is left to the open to report.
    std::error_code unknown;
    const std::filesystem::file_status type = std::filesystem::status(fileName(path), unknown);
    error = 0;
    if (std::filesystem::is_directory(type)) error = EISDIR;
    if (std::filesystem::is_block_file(type) || std::filesystem::is_character_file(type)) error = EPERM;
    if (error != 0) return nullptr;
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) error = errno;
    return file;
}

namespace {

// The standard output or standard error stream when the regular file `opened` is the file
// that stream writes to; null otherwise.
std::FILE *standardStreamOf(const struct stat &opened)
{
    const int streams[] = {STDOUT_FILENO, STDERR_FILENO};
    for (const int fd : streams) {
        struct stat info;
        if (S_ISREG(opened.st_mode) && ::fstat(fd, &info) == 0 && info.st_dev == opened.st_dev &&
            info.st_ino == opened.st_ino) {
            return fd == STDOUT_FILENO ? stdout : stderr;
        }
    }
    return nullptr;
}

bool isStandardStream(std::FILE *file)
{
    return file == stdout || file == stderr;
}

// What the object just opened for writing (its fstat `info`) is, for the guard.
OpenedOutput openedOutputOf(const struct stat &info, bool createdNew)
{
    if (S_ISBLK(info.st_mode)) return {OutputKind::Device, {}, false};
    if (!S_ISREG(info.st_mode)) return {OutputKind::Stream, {}, false};
    return {OutputKind::File, {uint64_t(info.st_dev), uint64_t(info.st_ino)}, createdNew};
}

// Holds the regular file open as `fd` for this run alone (an exclusive advisory lock, which
// lasts while any descriptor of this open does). Only a lock held elsewhere refuses the file:
// on a file system that cannot lock (flock failing with another error) it is written unlocked.
bool holdForThisRun(int fd)
{
    return ::flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK;
}

}  // namespace

std::FILE *openOutputFile(const std::string &name, const std::vector<std::string> &inputs, OutputVerdict &verdict)
{
    // A block device is refused before it is opened for writing: closing a disk opened so makes
    // the system probe it again. What the open reaches is judged again below.
    struct stat named;
    if (::stat(name.c_str(), &named) == 0 && S_ISBLK(named.st_mode)) {
        verdict = OutputVerdict::refusedFor(OutputRefusal::Device);
        return nullptr;
    }
    // Created by this open, or there before: only what was there before can be an input. Not
    // O_TRUNC: a file another run holds, or one refused below, must not be emptied.
    bool createdNew = true;
    Descriptor fd(::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (!fd && errno == EEXIST) {
        createdNew = false;
        fd = Descriptor(::open(name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
    }
    struct stat info;
    if (!fd || ::fstat(fd.get(), &info) != 0) {
        verdict = OutputVerdict::refusedFor(OutputRefusal::OpenFailed, errno);
        return nullptr;
    }
    verdict = judgeOutput(openedOutputOf(info, createdNew), inputs);
    if (verdict.refused()) return nullptr;
    // A standard stream's file is held through the stream's own open, which lasts the run.
    std::FILE *stream = standardStreamOf(info);
    const int held = stream != nullptr ? ::fileno(stream) : fd.get();
    if (S_ISREG(info.st_mode) && !holdForThisRun(held)) {
        verdict = OutputVerdict::refusedFor(OutputRefusal::Held);
        return nullptr;
    }
    if (stream != nullptr) return stream;
    std::FILE *file = ::fdopen(fd.get(), "w");
    if (file == nullptr) {
        verdict = OutputVerdict::refusedFor(OutputRefusal::OpenFailed, errno);
        return nullptr;
    }
    fd.release();
    return file;
}

OutputVerdict judgeStandardStream(int fd, const std::vector<std::string> &inputs)
{
    struct stat info;
    if (::fstat(fd, &info) != 0) return OutputVerdict();
    return judgeOutput(openedOutputOf(info, S_ISREG(info.st_mode) && info.st_size == 0), inputs);
}

bool emptyOutputFile(std::FILE *file)
{
    if (std::fflush(file) != 0) return false;
    struct stat info;
    const int fd = ::fileno(file);
    if (::fstat(fd, &info) != 0) return false;
    if (!S_ISREG(info.st_mode) || isStandardStream(file)) return true;
    return ::ftruncate(fd, 0) == 0 && std::fseek(file, 0, SEEK_SET) == 0;
}

bool closeOutputFile(std::FILE *file)
{
    if (isStandardStream(file)) return std::fflush(file) == 0;
    return std::fclose(file) == 0;
}

void lockOutputStream(std::FILE *file)
{
    ::flockfile(file);
}

void unlockOutputStream(std::FILE *file)
{
    ::funlockfile(file);
}

int failedWriteError(int error)
{
    return error;
}

void ignoreBrokenPipeSignal()
{
    std::signal(SIGPIPE, SIG_IGN);
}

bool fillClosedStandardStreams()
{
    bool outputClosed = false;
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        if (fd == STDOUT_FILENO) outputClosed = true;
        // An open takes the lowest free number: this one, unless a lower one stayed closed.
        const int nullDevice = ::open("/dev/null", O_RDWR);
        if (nullDevice >= 0 && nullDevice != fd) {
            ::dup2(nullDevice, fd);
            ::close(nullDevice);
        }
    }
    return outputClosed;
}

bool sameRegularFile(const std::string &first, const std::string &second)
{
    struct stat a, b;
    return ::stat(first.c_str(), &a) == 0 && ::stat(second.c_str(), &b) == 0 && S_ISREG(a.st_mode) &&
           a.st_dev == b.st_dev && a.st_ino == b.st_ino;
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

std::optional<DeviceIdentity> identifyDevice(const std::string &path)
{
    return deviceIdentity(path);
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

void platformBeforeDevices(bool, std::queue<ListedEntry> &) {}

void platformBeforeSizing() {}
