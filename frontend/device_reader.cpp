// POSIX device access: read-only opens, positioned reads and the device's size.
#include "frontend/device_reader.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

DeviceReader::~DeviceReader()
{
    close();
}

void DeviceReader::open(const std::string &devicePath)
{
    path = devicePath;
    if (descriptor_ >= 0) return;
    descriptor_ = ::open(devicePath.c_str(), O_RDONLY);
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
    const int fd = ::open(devicePath.c_str(), O_RDONLY);
    if (fd < 0) return -1;
    const off_t end = ::lseek(fd, 0, SEEK_END);
    int64_t size = end;
    unsigned long sectors = 0;
    if (::ioctl(fd, BLKGETSIZE, &sectors) == 0 && end == off_t(-1)) {
        size = int64_t(sectors) * 512;
    }
    if (size > 0) {
        ::close(fd);
        return size;
    }
    std::perror("lseek");
    ::close(fd);
    return -1;
}

bool writingWouldHitDevice(const std::string &path, const std::vector<std::string> &inputFiles)
{
    struct stat target;
    if (path.empty() || ::stat(path.c_str(), &target) != 0) return false;
    if (S_ISBLK(target.st_mode)) return true;
    for (const std::string &input : inputFiles) {
        struct stat info;
        if (!input.empty() && ::stat(input.c_str(), &info) == 0 &&
            info.st_dev == target.st_dev && info.st_ino == target.st_ino) {
            return true;
        }
    }
    return false;
}
