// Batch file: the list of devices to analyse, one entry per line, read once at start-up.
#ifndef VANTREL_FRONTEND_BATCH_FILE_H
#define VANTREL_FRONTEND_BATCH_FILE_H

#include <cstdint>
#include <functional>
#include <istream>
#include <memory>
#include <optional>
#include <queue>
#include <string>
#include <vector>

#include "frontend/device_identity.h"
#include "frontend/records.h"

// One entry: a device path ('D') or, in brackets, a disk number ('N', resolved on Windows).
struct BatchEntry {
    char kind;       // 'D' or 'N'
    int32_t number;  // the disk number of an 'N' entry; -1 for 'D'
    std::string text;  // the device path, or the text between the brackets
};

// An accepted entry and the line it came from, which a duplicate warning names. The entry
// itself is the BatchEntry; the line travels beside it.
struct ListedEntry : BatchEntry {
    int lineNumber;    // counting every line of the file from 1
    std::string line;  // the line as read, before trimming
};

// A warning about one line, on its way to the log.
struct BatchWarning {
    int level;         // log level of the line
    bool timestamped;  // logged through a record (with a timestamp) or queued as it stands
    std::string text;
};

// What a device name reaches (see identifyDevice); none when it cannot be opened.
using IdentityOf = std::function<std::optional<DeviceIdentity>(const std::string &name)>;

// Reads the lines of `in` into entries, in file order, skipping comments, blank lines,
// malformed lines (any line holding a NUL byte among them) and duplicates by text; appends a
// warning for each malformed line, each device line with text after its path, and each
// duplicate. Pure.
std::queue<ListedEntry> parseBatchLines(std::istream &in, std::vector<BatchWarning> *warnings);

// Drops each entry whose text reaches the same data (`identityOf`, compared by readSameData)
// as an entry kept before it, appending the duplicate warning of its line; the first name stays. An entry that
// `identityOf` cannot identify is kept: it has been compared by its text already. Calls
// `identityOf` once per entry, in order.
void dropSameDevices(std::queue<ListedEntry> &entries, const IdentityOf &identityOf,
                     std::vector<BatchWarning> *warnings);

// The names the device loop will read from the batch file (its 'D' entries, and its 'N'
// entries where a disk number's text is read as a path), in file order, without any message:
// start-up reads them before it creates the log or CSV file, which must never land on one of
// them. A file that cannot be read gives none. Main thread, start-up only.
std::vector<std::string> batchDevicePaths(const std::string &path);

// Reads the batch file at `path`: its entries in file order, with the warnings logged through
// `record` (syntax and duplicate warnings, level 2, timestamped) or queued directly (text after
// a device path, level 0). A file that cannot be opened (or is a directory, a device, or
// larger than 16 MiB, which is read no further) ends the process with exitWith(20), a file of zero bytes with exitWith(21); both are reported on the standard
// error stream and in the log. A file without valid entries gives an empty queue. Main thread,
// start-up only. The file is read once per run and kept (batchDevicePaths reads it first), so a
// named pipe or process substitution also works.
std::unique_ptr<std::queue<ListedEntry>> parseBatchFile(const std::string &path,
                                                       const Calculations *record);

// Drops the batch entries that reach a device listed before them under another name (a link,
// another spelling of the path, a loop device over an image listed as well; on Windows also a
// path and a disk number of one disk), logging the duplicate warning of each through `record`
// (level 2, timestamped). Each name is opened once, here: one that cannot be opened is kept.
// Main thread, once, after the disk numbers are resolved and before the first device.
void dropBatchDuplicates(std::queue<ListedEntry> &entries, const Calculations *record);

#endif
