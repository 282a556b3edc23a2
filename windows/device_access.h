// Windows device access: read-only reads of a device (or image file) and its size in bytes.
#ifndef VANTREL_WINDOWS_DEVICE_ACCESS_H
#define VANTREL_WINDOWS_DEVICE_ACCESS_H

#include <cstdint>
#include <string>

#include <windows.h>

// One open device of one sampler thread, opened for reading only; never shared or copied.
// A new reader has an empty path, no handle and ok true.
class DeviceReader {
public:
    DeviceReader() = default;
    ~DeviceReader();  // closes the handle when one is open
    DeviceReader(const DeviceReader &) = delete;
    DeviceReader &operator=(const DeviceReader &) = delete;

    // Opens `name` (any name CreateFileW accepts: a disk's interface path, \\.\PhysicalDriveN,
    // an image file) for reading, sharing read, write and delete with other openers. Sets
    // path to `name` and ok to true; the open fails when the last-error code is non-zero
    // right after the call or no handle came back; then ok is false and lastError holds the
    // code (ERROR_INVALID_HANDLE when the system gave no code). Never throws.
    void open(const std::wstring &name);

    // Reads `length` bytes (only its low 32 bits are used) at byte `offset` into `buffer`
    // with one seek and one read. The count read goes to `*count` unless `count` is null:
    // possibly fewer bytes than asked at the end of a file, 0 after a failure. A failed read
    // sets ok false and lastError to the code; a successful one leaves ok as it was.
    void readAt(uint8_t *buffer, int64_t length, int64_t offset, uint32_t *count);

    // Closes the handle when one is open, and clears path. Safe to call again.
    void close();

    std::wstring path;
    HANDLE handle = INVALID_HANDLE_VALUE;
    bool ok = true;
    uint32_t lastError = 0;  // Win32 error code of the last failure
};

// The size in bytes of the device named `path`: the disk size its driver reports, or for a
// name that is no disk (a regular file) the file's size. Returns -1 when it cannot be opened
// or neither source gives a size; an empty file gives 0. Prints nothing and leaves no handle
// open. Thread-safe.
int64_t deviceSize(const std::wstring &path);

#endif
