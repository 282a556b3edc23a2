// Windows disk list: disk numbers and their device paths, the -l listing, the resolution of
// disk numbers from -n and the batch file, and the short names the reports show.
#ifndef VANTREL_WINDOWS_DISK_LIST_H
#define VANTREL_WINDOWS_DISK_LIST_H

#include <cstdint>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <ostream>
#include <queue>
#include <string>
#include <utility>

// Disk number -> the disk's device interface path, in ascending order of number.
using DiskMap = std::map<int32_t, std::wstring>;

// Where a resolution sends its log line: the caller queues the text at level 2.
using DiskLogLine = std::function<void(const std::string &text)>;

// Enumerates the disks present through SetupDi and returns their numbers and paths; when two
// disks report one number the first keeps it, and a disk that cannot be opened or gives no
// number is left out. A failing enumeration step writes "Could net list disks N" (N = 1 to 7)
// and a newline to `errors` and returns the disks found before it. When the device
// information set cannot be made at all, writes "Could net list disks" and a newline and
// returns no map: the caller then ends the run with code 1. Main thread.
std::optional<DiskMap> listDisks(std::wostream &errors = std::wcerr);

// The -l listing: one line "Drive number [N]\t<path>" per disk in ascending order, each
// followed by a newline and a flush. An empty map writes nothing. The caller then ends the run
// with code 0.
void printDiskList(const DiskMap &disks, std::wostream &out = std::wcerr);

// "Drive number (N) not found": the line for a batch entry whose number is not a disk.
std::string missingDiskText(int32_t number);

// The batch file's disk-number entries resolved, in the same order: an 'N' entry whose
// number is in `disks` gets the disk's path as its text, one that is not is dropped after
// `log` gets missingDiskText (the caller logs it with a timestamp) and the same text and a
// newline go to `console`; 'D' entries stay as they are. `Entry` is the front end's batch
// entry: fields kind ('D' or 'N'), number (int32_t) and text (std::wstring). Returns false
// when no entry is left: the caller then ends the run with code 22. Main thread.
template <class Entry>
bool resolveBatchDisks(std::queue<Entry> &entries, const DiskMap &disks, const DiskLogLine &log,
                       std::ostream &console = std::cerr)
{
    std::queue<Entry> resolved;
    for (; !entries.empty(); entries.pop()) {
        Entry &entry = entries.front();
        if (entry.kind == 'N') {
            const auto disk = disks.find(entry.number);
            if (disk == disks.end()) {
                const std::string text = missingDiskText(entry.number);
                log(text);
                console << text << '\n';
                continue;
            }
            entry.text = disk->second;
        }
        resolved.push(std::move(entry));
    }
    entries = std::move(resolved);
    return !entries.empty();
}

// The -n disk number resolved. -1 means no number and changes nothing. Any other number that
// is not in `disks` writes "Drive number not found" and a newline to `console`, hands the same
// text to `log` (the caller queues it without a timestamp) and returns false: the caller then
// ends the run with code 11. A known number of 0 or more replaces `devicePath` unless a batch
// file is used (`batch`), where it is only looked up. Main thread.
bool resolveDiskNumber(int32_t driveNumber, bool batch, const DiskMap &disks,
                       std::wstring &devicePath, const DiskLogLine &log,
                       std::ostream &console = std::cerr);

// The short name of a device for the reports: split `devicePath` at every '#', keeping empty
// pieces; with three or more pieces the third (a device interface path's instance
// identifier), otherwise the whole path. Pure.
std::wstring displayName(const std::wstring &devicePath);

// `name` cut to 8-bit characters: the low 8 bits of each wide character. Pure.
std::string narrowName(const std::wstring &name);

#endif
