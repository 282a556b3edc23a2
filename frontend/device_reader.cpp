// POSIX device access: read-only opens, positioned reads, the device's size and what a name reaches.
#include "frontend/device_reader.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "frontend/block_stack.h"

namespace {

// Opens `path` read-only for sampling or sizing and returns the descriptor, or -1 with errno
// set. Only block devices and regular files can be sampled: anything else is closed again and
// refused with EISDIR (a directory) or ENOTBLK (a pipe, socket or character device). The open
// itself does not wait, so a named pipe without a writer is refused instead of blocking.
int openSampleable(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat info;
    int refusal = 0;
    if (::fstat(fd, &info) != 0) {
        refusal = errno;
    } else if (S_ISDIR(info.st_mode)) {
        refusal = EISDIR;
    } else if (!S_ISBLK(info.st_mode) && !S_ISREG(info.st_mode)) {
        refusal = ENOTBLK;
    } else {
        // Back to ordinary blocking reads for the sampling.
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags == -1 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) refusal = errno;
    }
    if (refusal != 0) {
        ::close(fd);
        errno = refusal;
        return -1;
    }
    return fd;
}

bool sameFile(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether writing the file `target` would change what the run reads from `input`: the same
// file, or a file behind the block device `input` (a loop device's backing file).
bool inputReadsFile(const std::string &input, const struct stat &target)
{
    struct stat info;
    if (input.empty() || ::stat(input.c_str(), &info) != 0) return false;
    if (sameFile(info, target)) return true;
    if (!S_ISBLK(info.st_mode)) return false;
    for (const std::string &file : filesBehindBlockDevice(info.st_rdev)) {
        struct stat backing;
        if (::stat(file.c_str(), &backing) == 0 && sameFile(backing, target)) return true;
    }
    return false;
}

} // namespace

DeviceReader::~DeviceReader()
{
    close();
}

void DeviceReader::open(const std::string &devicePath)
{
    path = devicePath;
    if (descriptor_ >= 0) return;
    descriptor_ = openSampleable(devicePath);
    if (descriptor_ < 0) {
        ok = false;
        lastError = errno;
    }
}

void DeviceReader::readAt(uint8_t *buffer, int32_t length, uint64_t offset, uint64_t &bytesRead)
{
    ok = true;
    bytesRead = 0;
    if (::lseek(descriptor_, off_t(offset), SEEK_SET) == off_t(-1)) {
        ok = false;
        lastError = errno;
        return;
    }
    const ssize_t got = ::read(descriptor_, buffer, size_t(length));
    if (got < 0) {
        ok = false;
        lastError = errno;
        return;
    }
    bytesRead = uint64_t(got);
}

void DeviceReader::close()
{
    if (descriptor_ >= 0) {
        ::close(descriptor_);
        descriptor_ = -1;
    }
}

int64_t deviceSize(const std::string &devicePath)
{
    const int fd = openSampleable(devicePath);
    if (fd < 0) return -1;
    const off_t end = ::lseek(fd, 0, SEEK_END);
    const int seekError = errno;
    int64_t size = end;
    unsigned long sectors = 0;
    if (::ioctl(fd, BLKGETSIZE, &sectors) == 0 && end == off_t(-1)) {
        size = int64_t(sectors) * 512;
    }
    if (size > 0) {
        ::close(fd);
        return size;
    }
    // A seek that found the end at 0 failed at nothing: the device is empty (error 0).
    const int error = end == off_t(-1) ? seekError : 0;
    std::perror("lseek");
    ::close(fd);
    errno = error;
    return -1;
}

bool writingWouldHitDevice(const std::string &path, const std::vector<std::string> &inputFiles)
{
    struct stat target;
    if (path.empty() || ::stat(path.c_str(), &target) != 0) return false;
    if (S_ISBLK(target.st_mode)) return true;
    for (const std::string &input : inputFiles) {
        if (inputReadsFile(input, target)) return true;
    }
    return false;
}

std::optional<DeviceIdentity> deviceIdentity(const std::string &path)
{
    const int fd = openSampleable(path);
    if (fd < 0) return std::nullopt;
    struct stat info;
    const bool known = ::fstat(fd, &info) == 0;
    ::close(fd);
    if (!known) return std::nullopt;
    if (S_ISBLK(info.st_mode)) {
        // A loop device over a whole image reads what the image itself holds.
        struct stat file;
        const std::string backing = wholeFileOfLoop(info.st_rdev);
        if (backing.empty() || ::stat(backing.c_str(), &file) != 0 || !S_ISREG(file.st_mode)) {
            return DeviceIdentity{DeviceIdentity::Device, uint64_t(info.st_rdev), 0};
        }
        info = file;
    }
    return DeviceIdentity{DeviceIdentity::File, uint64_t(info.st_dev), uint64_t(info.st_ino)};
}
