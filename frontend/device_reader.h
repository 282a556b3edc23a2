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

// What writing an output would do to the run's inputs.
enum class OutputRisk {
    None,        // nothing the run reads changes
    Input,       // a block device, or a file that one of the inputs reads
    CannotTell   // a file that existed before, while what some input reads is not known to its end
};

// How writing the object just opened for writing (its fstat `opened`; `createdNew` when that
// open created it) bears on `inputFiles` (the run's devices and batch file): Input for a block
// device or the same file (same device and inode, whatever the name) as an input or as a file
// behind one (the backing file of any loop device in an input's stack, whatever part of the
// file it shows, as the loop device itself reports it, or sysfs where it cannot be opened).
// CannotTell, with the first such input in `unfollowedInput`, for a file that existed before
// when some input exists but its chain of devices cannot be followed to its end. None for
// anything else: a file this open created, the null device, a terminal, a pipe. A file on a
// file system mounted from an input device is not behind it. Thread-safe.
OutputRisk outputRisk(const struct stat &opened, bool createdNew, const std::vector<std::string> &inputFiles,
                      std::string &unfollowedInput);

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
