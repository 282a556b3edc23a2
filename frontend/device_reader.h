// Read-only access to one device (a block device or an image file) for one sampler thread.
#ifndef VANTREL_FRONTEND_DEVICE_READER_H
#define VANTREL_FRONTEND_DEVICE_READER_H

#include <cstdint>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "frontend/device_identity.h"

// One open device, owned by one thread; never shared or copied. The device is only ever
// opened read-only.
class DeviceReader {
public:
    DeviceReader() = default;
    ~DeviceReader();  // closes the device when one is open
    DeviceReader(const DeviceReader &) = delete;
    DeviceReader &operator=(const DeviceReader &) = delete;

    // Opens `path` read-only unless a device is already open. Only a block device or a
    // regular file opens; anything else is refused from its type without being opened
    // (EISDIR for a directory, ENOTBLK for other kinds; see openSampleable). Failure leaves
    // ok false and the error number in lastError and in errno; never throws.
    void open(const std::string &path);

    // Reads `length` bytes at byte `offset` into `buffer` with one seek and one read, and
    // sets `bytesRead` (0 after a failure, possibly fewer than asked at the end). Failure
    // leaves ok false and the error number in lastError.
    void readAt(uint8_t *buffer, int32_t length, uint64_t offset, uint64_t &bytesRead);

    // Closes the device when one is open.
    void close();

    std::string path;
    bool ok = true;      // the last operation succeeded
    int lastError = 0;   // system error number of the last failure

private:
    int descriptor_ = -1;
};

// The identity of what `path` reaches when it opens for sampling: a regular file's device and
// inode, with its size; for a block device what it shows whole (wholeBackingOf): a file
// behind a chain of loop devices at offset 0, with the number of its bytes they show, or the
// lowest device shown whole, by its number. None when `path` does not open as DeviceReader would
// open it (nothing but a regular file or block device is ever opened). Thread-safe.
std::optional<DeviceIdentity> deviceIdentity(const std::string &path);

// The size in bytes of the device or image file at `path`, or -1 with errno set to the
// reason: the open's error; EISDIR or ENOTBLK when `path` is neither a block device nor a
// regular file (refused from its type, without being opened); after writing perror("lseek") when
// the size is not above 0, the seek's error, or 0 when the device is empty. Block devices are
// sized with BLKGETSIZE when seeking to the end fails. Thread-safe.
int64_t deviceSize(const std::string &path);

#endif
