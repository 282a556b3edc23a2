// POSIX device access: read-only opens, positioned reads, the device's size and what a name reaches.
#include "frontend/device_reader.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "frontend/block_stack.h"
#include "frontend/output_guard.h"
#include "frontend/sampleable.h"

namespace {

FileId fileIdOf(dev_t device, ino_t inode)
{
    return FileId{uint64_t(device), uint64_t(inode)};
}

// What a walk down the block stack found, in the guard's terms.
InputReach inputReachOf(const StackReach &found)
{
    InputReach reach;
    for (const FileKey &file : found.files) reach.files.push_back(fileIdOf(file.device, file.inode));
    reach.followed = found.followed;
    reach.why = found.why;
    return reach;
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
    struct stat info;
    descriptor_ = openSampleable(devicePath, info);
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
    struct stat info;
    const int fd = openSampleable(devicePath, info);
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

InputReach inputReach(const std::string &input)
{
    struct stat info;
    if (input.empty()) return InputReach();
    if (::stat(input.c_str(), &info) != 0) {
        // A name that reaches nothing, or that passes a folder the user cannot search, is
        // nothing the user can name; one that cannot be looked up for another reason might be.
        if (errno == ENOENT || errno == ENOTDIR || errno == EACCES) return InputReach();
        InputReach reach;
        reach.followed = false;
        reach.why = input + ": " + std::strerror(errno);
        return reach;
    }
    if (S_ISREG(info.st_mode)) return inputReachOf(filesBehindFile({info.st_dev, info.st_ino}));
    if (!S_ISBLK(info.st_mode)) return InputReach();
    // A device that cannot be opened is still asked of through sysfs, by its number from the
    // stat that openSampleable made before trying the open.
    const Descriptor device(openSampleable(input, info));
    const int openError = device ? 0 : errno;
    // A node with no device behind it (one of a removed disk) reads nothing.
    if (openError == ENXIO || openError == ENODEV) return InputReach();
    // A name that reached a file at the open (swapped since the stat) reads that file.
    if (S_ISREG(info.st_mode)) {
        return device ? inputReachOf(filesBehindFile({info.st_dev, info.st_ino})) : InputReach();
    }
    if (!S_ISBLK(info.st_mode)) return InputReach();
    return inputReachOf(filesBehindBlockDevice(device.get(), info.st_rdev, input, openError));
}

std::optional<DeviceIdentity> deviceIdentity(const std::string &path)
{
    struct stat info;
    const Descriptor device(openSampleable(path, info));
    if (!device) return std::nullopt;
    if (S_ISREG(info.st_mode)) {
        DeviceIdentity file{DeviceIdentity::File, uint64_t(info.st_dev), uint64_t(info.st_ino)};
        file.shownBytes = uint64_t(info.st_size);
        return file;
    }
    // A loop device over a whole image reads what the image itself holds.
    const WholeBacking shown = wholeBackingOf(device.get(), info.st_rdev);
    if (!shown.isFile) return DeviceIdentity{DeviceIdentity::Device, uint64_t(shown.device), 0};
    DeviceIdentity file{DeviceIdentity::File, uint64_t(shown.file.device), uint64_t(shown.file.inode)};
    file.shownBytes = shown.shownBytes;
    return file;
}
