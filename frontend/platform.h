// The front end's platform seam: everything the Linux and the Windows programs do differently.
#ifndef VANTREL_FRONTEND_PLATFORM_H
#define VANTREL_FRONTEND_PLATFORM_H

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <queue>
#include <string>
#include <vector>

#include <boost/program_options/options_description.hpp>

#include "frontend/batch_file.h"
#include "frontend/device_identity.h"

// Added to a non-zero failure code to give the process exit status (3 on Linux, 403 on
// Windows).
extern const int kExitStatusOffset;

// Whether the device loop reads a disk-number entry's text as a device path: true on Linux,
// which has no disk numbers; false on Windows, which reads the numbered disk instead.
extern const bool kNumberEntryTextIsPath;

// The run's arguments as UTF-8 text, the program name first. Linux: `argv` as given. Windows:
// the wide command line of the process, converted (argc and argv are not used). Main thread.
std::vector<std::string> commandLineArguments(int argc, char **argv);

// The name of a file the program opens itself (log, CSV, batch file) from its UTF-8 text, so
// that every character of it reaches the system. Pure.
std::filesystem::path fileName(const std::string &name);

// The batch file's bytes `bytes` as UTF-8 text. A UTF-8 byte-order mark at the start is left
// out: it is not part of line 1. Linux: the other bytes as they are. Windows: UTF-16 LE with
// its mark converted, UTF-8 with or without a mark kept, and bytes that are not valid UTF-8
// read in the ANSI code page. Line ends stay as they were, so lines keep their numbers.
// Thread-safe.
std::string batchFileUtf8(const std::string &bytes);

// Opens the batch file `path` (UTF-8) for reading its bytes. A folder (EISDIR) holds no lines,
// and a device (EPERM) holds no text a user wrote (a disk, or /dev/zero, would be read without
// end; the console waits for typing), so neither is read. Linux: block and character devices
// are refused unopened. Windows: a device-namespace name, the null device and the console are
// refused by their names, anything else once opened unless it is a file of a file system or a
// pipe. A pipe is read, opened once. Returns null with `error` set to EISDIR, EPERM or the
// system's code (errno) when the file is refused or cannot be opened. Thread-safe.
std::FILE *openBatchFile(const std::string &path, int &error);

// Empties the regular file behind `file` (opened by openOutputFile, output_guard.h), so that the next write
// lands at its start; the null device, the console, pipes and the standard streams are left
// alone. Returns false with errno set when the file cannot be emptied. Not thread-safe for
// one `file`.
bool emptyOutputFile(std::FILE *file);

// Closes `file` (opened by openOutputFile) after flushing it; a standard stream is only
// flushed. Returns false with errno set when a write or the close failed. Not thread-safe for
// one `file`.
bool closeOutputFile(std::FILE *file);

// Holds the stream `file` for the calling thread until unlockOutputStream, so that the pieces
// of one line written in between stay together on a stream that other threads also write
// (a log on standard output). Thread-safe.
void lockOutputStream(std::FILE *file);
void unlockOutputStream(std::FILE *file);

// The error of an output write that has just failed, from the C library's `error`: Linux the
// same; Windows EPIPE when the system's own code of the failure tells a pipe whose reader has
// left (which the C runtime reports as EINVAL), so that the message says the real reason.
// Call it right after the failed write, on the thread that made it. Thread-safe.
int failedWriteError(int error);

// Makes a write to a pipe without a reader fail with its error (EPIPE) instead of ending the
// process with SIGPIPE, so that such an output fails like a full disk. Linux only: Windows
// has no such signal. Main thread, first thing in main.
void ignoreBrokenPipeSignal();

// Opens each of the standard descriptors 0, 1 and 2 that is closed on the null device, so that
// no file opened later takes its number and receives the output meant for that stream. Returns
// whether standard output was closed. Linux only: on Windows nothing is done and the result is
// false. Main thread, first thing in main, before anything is opened.
bool fillClosedStandardStreams();

// Whether `first` and `second` reach one regular file, whatever the names (a hard or symbolic
// link, another spelling of the path). Names that do not exist, devices and pipes never count
// as one file. Thread-safe.
bool sameRegularFile(const std::string &first, const std::string &second);

// One open device of one sampler thread, read-only; never shared or copied.
class SamplerDevice {
public:
    SamplerDevice();
    ~SamplerDevice();  // closes the device
    SamplerDevice(const SamplerDevice &) = delete;
    SamplerDevice &operator=(const SamplerDevice &) = delete;

    // Opens the device named `name` (UTF-8). Returns false when it cannot be opened; then
    // error() holds the system's code. Never throws.
    bool open(const std::string &name);

    // Reads `length` bytes at byte `offset` into `buffer` with one seek and one read, and sets
    // `bytesRead` (possibly fewer than asked at the end, 0 after a failure). Returns false
    // when the read failed; then error() holds the system's code.
    bool readAt(uint8_t *buffer, int32_t length, uint64_t offset, uint64_t &bytesRead);

    // The system's code of the last failure (errno on Linux, the Win32 error code on Windows).
    int error() const;

private:
    struct Reader;
    std::unique_ptr<Reader> reader_;
};

// The text for a failure code that SamplerDevice::error or sizeDevice gave: strerror on
// Linux, the system's message and the code on Windows. Thread-safe.
std::string deviceErrorText(int code);

// The size in bytes of the device `path` (UTF-8), or 0 or less when it cannot be sized; then
// `error` holds the system's code, 0 for an empty device. Main thread.
int64_t sizeDevice(const std::string &path, int &error);

// What the device name `path` (UTF-8) reaches, for finding one device under several names:
// Linux a file's device and inode or a block device's number (a loop device over a whole file
// counts as that file); Windows a file's volume serial number and file index or a disk's
// number. None when `path` cannot be opened. Thread-safe.
std::optional<DeviceIdentity> identifyDevice(const std::string &path);

// The name under which the reports show the device `devicePath`: the path itself on Linux; on
// Windows its display name (a device interface path's instance identifier) cut to 8-bit
// characters. Pure.
std::string reportName(const std::string &devicePath);

// `devicePath` as the batch's size warning names it: the path itself on Linux; on Windows each
// character cut to 8 bits. Pure.
std::string warningName(const std::string &devicePath);

// The usage text of this program (Linux: with the VMware example when the host is one).
std::string programUsageText();

// Declares the platform's own options at the head of the main group (Windows: -n and -l).
// Main thread, start-up only.
void declarePlatformOptions(boost::program_options::options_description &mainGroup);

// The last step of start-up: `maximize` when -x was given (Windows: enlarges the console
// window; Linux: nothing). Main thread.
void platformStartUpDone(bool maximize);

// The steps before the first device, after the logger thread has started (Windows: the disk
// list, the -l listing, the disk numbers of `batch` and of -n resolved; the resolved disks are
// added to runInputFiles). May end the run through exitWith. Main thread.
void platformBeforeDevices(bool batchRun, std::queue<ListedEntry> &batch);

// The step before each device is sized (Windows: the administrator check, which logs its line
// and ends the run with code 30 when the process is not elevated). Main thread.
void platformBeforeSizing();

#endif
