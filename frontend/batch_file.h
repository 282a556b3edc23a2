// Batch file: the list of devices to analyse, one entry per line, read once at start-up.
#ifndef VANTREL_FRONTEND_BATCH_FILE_H
#define VANTREL_FRONTEND_BATCH_FILE_H

#include <cstdint>
#include <istream>
#include <memory>
#include <queue>
#include <string>
#include <vector>

#include "frontend/records.h"

// One entry: a device path ('D') or, in brackets, a disk number ('N', resolved on Windows).
struct BatchEntry {
    char kind;       // 'D' or 'N'
    int32_t number;  // the disk number of an 'N' entry; -1 for 'D'
    std::string text;  // the device path, or the text between the brackets
};

// A warning about one line, on its way to the log.
struct BatchWarning {
    int level;         // log level of the line
    bool timestamped;  // logged through a record (with a timestamp) or queued as it stands
    std::string text;
};

// Reads the lines of `in` into entries, in file order, skipping comments, blank lines,
// malformed lines and duplicates; appends a warning for each malformed line, each device
// line with text after its path, and each duplicate. Pure.
std::queue<BatchEntry> parseBatchLines(std::istream &in, std::vector<BatchWarning> *warnings);

// The batch file's devices ('D' entries, in file order) without any message: start-up reads
// them before it creates the log or CSV file, which must never land on one of them. A file
// that cannot be read gives none. Main thread, start-up only.
std::vector<std::string> batchDevicePaths(const std::string &path);

// Reads the batch file at `path`: its entries in file order, with the warnings logged through
// `record` (syntax and duplicate warnings, level 2, timestamped) or queued directly (text after
// a device path, level 0). A file that cannot be opened (or is a directory) ends the process
// with exitWith(20), a file of zero bytes with exitWith(21); both are reported on the standard
// error stream and in the log. A file without valid entries gives an empty queue. Main thread,
// start-up only. The file is read once per run and kept (batchDevicePaths reads it first), so a
// named pipe or process substitution also works.
std::unique_ptr<std::queue<BatchEntry>> parseBatchFile(const std::string &path,
                                                      const Calculations *record);

#endif
