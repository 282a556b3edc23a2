// The Windows side of the front end's platform seam: the wide command line, Win32 device access
// by wide names, the disk list and disk numbers, the console and the administrator check.
//
// The shared front end keeps every name as UTF-8 text; this file widens a name at each Win32
// call and narrows what comes back, so a name with characters above 255 reaches CreateFileW
// intact. The Windows layer's own records (DeviceReader::path, DiskMap, displayName) stay wide.
#include "frontend/platform.h"

#include <fcntl.h>
#include <io.h>
#include <iostream>
#include <share.h>
#include <sys/stat.h>

#include <boost/program_options.hpp>

#include <windows.h>
#include <shellapi.h>
#include <winioctl.h>

#include "frontend/log.h"
#include "frontend/options.h"
#include "frontend/output_guard.h"
#include "frontend/run_state.h"
#include "frontend/settings.h"
#include "windows/device_access.h"
#include "windows/device_names.h"
#include "windows/disk_list.h"
#include "windows/run_additions.h"
#include "windows/text_encoding.h"
#include "windows/win32_calls.h"

namespace po = boost::program_options;

const int kExitStatusOffset = 403;
const bool kNumberEntryTextIsPath = false;

namespace {

int32_t driveNumber = -1;   // -n; -1: no disk number
bool listDevices = false;   // -l
DiskMap runDisks;           // the disks present, from the disk list of this run

// -l makes -s unnecessary: the option library notifies in alphabetical order of the option
// names, so this runs before -s ("storageSys") is stored, and a -s given as well still decides.
void listSwitchNotifier(bool list)
{
    if (list) settings.storageSys = STORAGE_VRT;
}

std::wstring widen(const std::string &text)
{
    return wideFromUtf8(text);
}

std::string utf8(const std::wstring &text)
{
    return utf8FromWide(text);
}

bool sameNameIgnoringCase(const std::wstring &a, const wchar_t *b)
{
    return CompareStringOrdinal(a.c_str(), -1, b, -1, TRUE) == CSTR_EQUAL;
}

// The null device and the console: outputs that reach no storage, as /dev/null on Linux.
bool isNullOrConsole(const std::wstring &name)
{
    for (const wchar_t *device : {L"NUL", L"\\\\.\\NUL", L"CON"}) {
        if (sameNameIgnoringCase(name, device)) return true;
    }
    return false;
}

// What a name reaches: nothing, a device, a file of a file system, or something that cannot
// be asked (a name that exists but cannot be opened even for queries).
enum class Target { Missing, Device, File, Unknown };

// What the open `handle` is; for a file, `info` gets its volume serial number and file index.
Target targetOfHandle(HANDLE handle, BY_HANDLE_FILE_INFORMATION &info)
{
    const bool file = GetFileInformationByHandle(handle, &info) != 0 &&
                      (info.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) == 0;
    return file ? Target::File : Target::Device;
}

// Opens `name` for queries only (a folder too) and tells what it is (see targetOfHandle).
Target targetOf(const std::wstring &name, BY_HANDLE_FILE_INFORMATION &info)
{
    const HANDLE handle = CreateFileW(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME
                   ? Target::Missing
                   : Target::Unknown;
    }
    const Target target = targetOfHandle(handle, info);
    CloseHandle(handle);
    return target;
}

FileId fileIdOf(const BY_HANDLE_FILE_INFORMATION &info)
{
    return FileId{info.dwVolumeSerialNumber, (uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

// What the output just opened as `handle` is, for the guard: the null device and the console
// are characters, a pipe is a pipe (no storage); a file of a file system is judged by its
// identity; a disk, a volume and anything of unknown type (Wine's \\.\PhysicalDrive0) count as
// a device.
OpenedOutput openedOutputOf(HANDLE handle, bool createdNew)
{
    const DWORD type = win32().getFileType(handle);
    if (type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE) return {OutputKind::Stream, {}, false};
    BY_HANDLE_FILE_INFORMATION info;
    if (type != FILE_TYPE_DISK || targetOfHandle(handle, info) != Target::File) return {OutputKind::Device, {}, false};
    return {OutputKind::File, fileIdOf(info), createdNew};
}

// Why the batch file just opened as `handle` is no text to read, or 0: EPERM for anything but a
// file of a file system or a pipe (the null device, the console, a disk the system calls no
// file, a handle of unknown type).
int batchFileRefusal(HANDLE handle)
{
    const DWORD type = win32().getFileType(handle);
    if (type == FILE_TYPE_PIPE) return 0;
    BY_HANDLE_FILE_INFORMATION info;
    return type == FILE_TYPE_DISK && targetOfHandle(handle, info) == Target::File ? 0 : EPERM;
}

// A batch entry with a wide text, as the disk-number resolution takes it, and its line.
struct WideEntry {
    char kind;
    int32_t number;
    std::wstring text;
    int lineNumber;
    std::string line;
};

// The batch's disk numbers resolved to the disks' paths; ends the run with code 22 when no
// entry is left.
void resolveBatch(std::queue<ListedEntry> &batch)
{
    std::queue<WideEntry> wide;
    for (; !batch.empty(); batch.pop()) {
        const ListedEntry &entry = batch.front();
        wide.push(WideEntry{entry.kind, entry.number, widen(entry.text), entry.lineNumber, entry.line});
    }
    const bool left = resolveBatchDisks(wide, runDisks,
                                        [](const std::string &text) { totalCalculations->log(2, text); });
    for (; !wide.empty(); wide.pop()) {
        const WideEntry &entry = wide.front();
        batch.push(ListedEntry{{entry.kind, entry.number, utf8(entry.text)}, entry.lineNumber, entry.line});
        if (entry.kind == 'N') runInputFiles.push_back(batch.back().text);
    }
    if (!left) exitWith(EXIT_CODE_BATCH_NO_DEVICE);
}

}  // namespace

std::vector<std::string> commandLineArguments(int, char **)
{
    int count = 0;
    wchar_t **wide = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> arguments;
    for (int i = 0; wide != nullptr && i < count; ++i) arguments.push_back(utf8(wide[i]));
    LocalFree(wide);
    if (arguments.empty()) arguments.push_back("vantrel");
    return arguments;
}

std::filesystem::path fileName(const std::string &name)
{
    return std::filesystem::path(widen(name));
}

std::string batchFileUtf8(const std::string &bytes)
{
    return textFileUtf8(bytes);
}

std::FILE *openBatchFile(const std::string &path, int &error)
{
    const std::wstring wide = widen(path);
    if (isDeviceNamespaceName(wide) || isNullOrConsole(wide)) {
        error = EPERM;
        return nullptr;
    }
    // Opened once and judged by its handle: a pipe opened a second time would have lost its lines.
    const int fd = _wsopen(wide.c_str(), _O_RDONLY | _O_BINARY, _SH_DENYNO);
    if (fd < 0) {
        // A folder cannot be opened as a file; its attributes tell it from a file that may not be read.
        const int openError = errno;
        const DWORD attributes = GetFileAttributesW(wide.c_str());
        const bool folder = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        error = folder ? EISDIR : openError;
        return nullptr;
    }
    error = batchFileRefusal(reinterpret_cast<HANDLE>(_get_osfhandle(fd)));
    std::FILE *file = error == 0 ? _wfdopen(fd, L"rb") : nullptr;
    if (file == nullptr) {
        if (error == 0) error = errno;
        _close(fd);
    }
    return file;
}

std::FILE *openOutputFile(const std::string &name, const std::vector<std::string> &inputs, OutputVerdict &verdict)
{
    const std::wstring wide = widen(name);
    // A disk or volume is not even opened for writing, under any of its names.
    if (isDeviceNamespaceName(wide)) {
        verdict = OutputVerdict::refusedFor(OutputRefusal::Device);
        return nullptr;
    }
    // A file denies writing to every other opener while the run holds it; the null device and
    // the console are shared. Without _O_TRUNC: a file another run holds, or one refused below,
    // is never emptied. Created by this open, or there before: only what was there before can
    // be an input.
    const int sharing = isNullOrConsole(wide) ? _SH_DENYNO : _SH_DENYWR;
    bool createdNew = true;
    _doserrno = 0;
    int fd = _wsopen(wide.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_TEXT, sharing, _S_IREAD | _S_IWRITE);
    if (fd < 0 && errno == EEXIST) {
        createdNew = false;
        _doserrno = 0;
        fd = _wsopen(wide.c_str(), _O_WRONLY | _O_CREAT | _O_TEXT, sharing, _S_IREAD | _S_IWRITE);
    }
    if (fd < 0) {
        // The C runtime keeps the system's code beside errno, which reads EACCES for a sharing
        // violation as for a file that may not be written.
        verdict = _doserrno == ERROR_SHARING_VIOLATION ? OutputVerdict::refusedFor(OutputRefusal::Held)
                                                       : OutputVerdict::refusedFor(OutputRefusal::OpenFailed, errno);
        return nullptr;
    }
    verdict = judgeOutput(openedOutputOf(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), createdNew), inputs);
    if (verdict.refused()) {
        _close(fd);
        return nullptr;
    }
    std::FILE *file = _wfdopen(fd, L"w");
    if (file == nullptr) {
        verdict = OutputVerdict::refusedFor(OutputRefusal::OpenFailed, errno);
        _close(fd);
    }
    return file;
}

InputReach inputReach(const std::string &input)
{
    InputReach reach;
    if (input.empty()) return reach;
    BY_HANDLE_FILE_INFORMATION info;
    switch (targetOf(widen(input), info)) {
    case Target::File: reach.files.push_back(fileIdOf(info)); break;
    case Target::Unknown:
        reach.followed = false;
        reach.why = input + ": " + deviceErrorText(int(GetLastError()));
        break;
    case Target::Missing:
    case Target::Device: break;
    }
    return reach;
}

OutputVerdict judgeStandardStream(int, const std::vector<std::string> &)
{
    return OutputVerdict();
}

bool emptyOutputFile(std::FILE *file)
{
    if (std::fflush(file) != 0) return false;
    const int fd = _fileno(file);
    if (GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(fd))) != FILE_TYPE_DISK) return true;
    return _chsize(fd, 0) == 0 && std::fseek(file, 0, SEEK_SET) == 0;
}

bool closeOutputFile(std::FILE *file)
{
    return std::fclose(file) == 0;
}

void lockOutputStream(std::FILE *file)
{
    _lock_file(file);
}

void unlockOutputStream(std::FILE *file)
{
    _unlock_file(file);
}

int failedWriteError(int error)
{
    // The C runtime keeps the system's code of its last failure beside errno. A pipe whose
    // reader has left answers a write with one of these (Windows: ERROR_NO_DATA; Wine:
    // ERROR_PIPE_NOT_CONNECTED).
    switch (_doserrno) {
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:
    case ERROR_PIPE_NOT_CONNECTED: return EPIPE;
    default: return error;
    }
}

void ignoreBrokenPipeSignal() {}

// A missing standard handle keeps its descriptor in the C runtime, so no file takes its place.
bool fillClosedStandardStreams()
{
    return false;
}

bool sameRegularFile(const std::string &first, const std::string &second)
{
    BY_HANDLE_FILE_INFORMATION a, b;
    return targetOf(widen(first), a) == Target::File && targetOf(widen(second), b) == Target::File &&
           fileIdOf(a) == fileIdOf(b);
}

struct SamplerDevice::Reader {
    DeviceReader device;
};

SamplerDevice::SamplerDevice() : reader_(std::make_unique<Reader>()) {}

SamplerDevice::~SamplerDevice() = default;

bool SamplerDevice::open(const std::string &name)
{
    reader_->device.open(widen(name));
    return reader_->device.ok;
}

bool SamplerDevice::readAt(uint8_t *buffer, int32_t length, uint64_t offset, uint64_t &bytesRead)
{
    // A failed read leaves the reader's flag false; each read is judged on its own.
    reader_->device.ok = true;
    uint32_t count = 0;
    reader_->device.readAt(buffer, length, int64_t(offset), &count);
    bytesRead = count;
    return reader_->device.ok;
}

int SamplerDevice::error() const
{
    return int(reader_->device.lastError);
}

std::string deviceErrorText(int code)
{
    wchar_t *message = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        DWORD(code), 0, reinterpret_cast<wchar_t *>(&message), 0, nullptr);
    std::wstring text = length != 0 ? std::wstring(message, length) : std::wstring();
    LocalFree(message);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' '))
        text.pop_back();
    const std::string code_text = "Win32 error " + std::to_string(DWORD(code));
    return text.empty() ? code_text : utf8(text) + " (" + code_text + ")";
}

int64_t sizeDevice(const std::string &path, int &error)
{
    const int64_t size = deviceSize(widen(path));
    // An empty file is sized without a failure; the failed geometry request's code stays behind.
    error = size < 0 ? int(win32().getLastError()) : 0;
    return size;
}

std::optional<DeviceIdentity> identifyDevice(const std::string &path)
{
    const Win32Calls &w = win32();
    // A query-only handle: a disk opens without administrator rights, a folder does not open.
    const HANDLE handle = w.createFileW(widen(path).c_str(), 0,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
    std::optional<DeviceIdentity> identity;
    BY_HANDLE_FILE_INFORMATION file;
    STORAGE_DEVICE_NUMBER disk = {};
    DWORD returned = 0;
    if (w.getFileInformationByHandle(handle, &file) && (file.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) == 0) {
        const uint64_t index = (uint64_t(file.nFileIndexHigh) << 32) | file.nFileIndexLow;
        identity = DeviceIdentity{DeviceIdentity::File, file.dwVolumeSerialNumber, index};
        identity->shownBytes = (uint64_t(file.nFileSizeHigh) << 32) | file.nFileSizeLow;
    } else if (w.deviceIoControl(handle, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &disk, sizeof disk,
                                 &returned, nullptr)) {
        // A disk under its interface path and as \\.\PhysicalDriveN: one device type and number.
        const uint64_t number = (uint64_t(disk.DeviceType) << 32) | disk.DeviceNumber;
        identity = DeviceIdentity{DeviceIdentity::Device, number, disk.PartitionNumber};
    }
    w.closeHandle(handle);
    return identity;
}

std::string reportName(const std::string &devicePath)
{
    return narrowName(displayName(widen(devicePath)));
}

std::string warningName(const std::string &devicePath)
{
    return narrowName(widen(devicePath));
}

std::string programUsageText()
{
    return usageText(false, true);
}

void declarePlatformOptions(po::options_description &mainGroup)
{
    mainGroup.add_options()
        (",n", po::value<int32_t>(&driveNumber), "Drive number")
        ("list,l", po::bool_switch(&listDevices)->default_value(false)->notifier(listSwitchNotifier),
         "List devices");
}

void platformStartUpDone(bool maximize)
{
    if (maximize) maximizeConsole();
}

void platformBeforeDevices(bool batchRun, std::queue<ListedEntry> &batch)
{
    std::optional<DiskMap> disks = listDisks(std::wcerr);
    if (!disks) exitWith(EXIT_CODE_BAD_OPTION);
    runDisks = std::move(*disks);
    if (listDevices) {
        printDiskList(runDisks, std::wcerr);
        exitWith(EXIT_CODE_OK);
    }
    if (batchRun) resolveBatch(batch);

    std::wstring devicePath = widen(settings.devicePath);
    if (!resolveDiskNumber(driveNumber, batchRun, runDisks, devicePath,
                           [](const std::string &text) { queueLogLine(2, text); })) {
        exitWith(EXIT_CODE_DISK_NUMBER);
    }
    if (devicePath != widen(settings.devicePath)) {
        settings.devicePath = utf8(devicePath);
        runInputFiles.push_back(settings.devicePath);
    }
}

void platformBeforeSizing()
{
    if (administratorCheckPasses()) return;
    totalCalculations->log(2, "This program privilege level requires to run as administrator");
    exitWith(EXIT_CODE_NOT_ELEVATED);
}
