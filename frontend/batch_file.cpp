// Batch file: line rules, duplicate detection and the file's open and empty checks.
#include "frontend/batch_file.h"

#include <boost/format.hpp>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <set>

#include "frontend/log.h"
#include "frontend/platform.h"

namespace {

const char *const kWhitespace = " \t\n\r";

std::string lineMessage(const char *format, int lineNumber, const std::string &line)
{
    return (boost::format(format) % lineNumber % line).str();
}

BatchWarning syntaxWarning(int lineNumber, const std::string &line)
{
    return {2, true, lineMessage("batch file syntax error: (line %1%) \"%2%\"", lineNumber, line)};
}

BatchWarning duplicateWarning(int lineNumber, const std::string &line)
{
    return {2, true,
            lineMessage("batch file duplicate entry error: (line %1%) \"%2%\" is already listed",
                        lineNumber, line)};
}

// Sends the warnings to the log: through `record` (timestamped) or queued as they stand.
void logWarnings(std::vector<BatchWarning> &warnings, const Calculations *record)
{
    for (BatchWarning &warning : warnings) {
        if (warning.timestamped) {
            record->log(warning.level, std::move(warning.text));
        } else {
            queueLogLine(warning.level, std::move(warning.text));
        }
    }
}

// Reports a fatal problem with the file on the standard error stream and in the log, then ends.
[[noreturn]] void failFile(const std::string &message, int code)
{
    consoleAndLog(std::cerr, message);
    exitWith(code);
}

// A list of devices holds a few kilobytes; a file beyond this is no such list (an image, an
// endless stream) and is not read on.
constexpr size_t kMaxBatchFileBytes = 16 << 20;

// The whole batch file as UTF-8 text, or why it could not be opened.
struct BatchFileText {
    std::string path;
    bool opened = false;
    int error = 0;
    bool zeroBytes = false;  // the file itself is empty (a byte-order mark alone is a line)
    std::string text;
};

// Reads the file at `path` whole, once: later calls for the same path return what the first
// one read, so a pipe is never read twice. A file larger than the limit counts as not opened
// (EFBIG), read no further than one byte past it.
const BatchFileText &batchFileText(const std::string &path)
{
    static BatchFileText file;
    static bool read = false;
    if (read && file.path == path) return file;
    read = true;
    file = BatchFileText{};
    file.path = path;
    std::FILE *in = openBatchFile(path, file.error);
    if (in == nullptr) return file;
    // Read in pieces up to one byte past the limit: enough to know that the file exceeds it.
    std::string bytes;
    std::vector<char> piece(65536);
    while (bytes.size() <= kMaxBatchFileBytes) {
        const size_t wanted = std::min(piece.size(), kMaxBatchFileBytes + 1 - bytes.size());
        const size_t got = std::fread(piece.data(), 1, wanted, in);
        if (got == 0) break;
        bytes.append(piece.data(), got);
    }
    std::fclose(in);
    if (bytes.size() > kMaxBatchFileBytes) {
        file.error = EFBIG;
        return file;
    }
    file.opened = true;
    file.zeroBytes = bytes.empty();
    file.text = batchFileUtf8(bytes);
    return file;
}

}  // namespace

std::queue<ListedEntry> parseBatchLines(std::istream &in, std::vector<BatchWarning> *warnings)
{
    std::queue<ListedEntry> entries;
    std::set<std::string> accepted;
    std::string asRead;
    int lineNumber = 0;
    while (std::getline(in, asRead)) {
        lineNumber++;
        // A NUL byte never belongs in a line of text (a list written by find -print0 holds
        // them): a name reaches the system only up to it, and the reports would cut the name
        // there too. The line is refused whole, wherever the NUL stands.
        if (asRead.find('\0') != std::string::npos) {
            warnings->push_back(syntaxWarning(lineNumber, asRead));
            continue;
        }
        const size_t first = asRead.find_first_not_of(kWhitespace);
        if (first == std::string::npos || asRead[first] == '#') continue;
        const std::string line = asRead.substr(first);

        ListedEntry entry;
        entry.lineNumber = lineNumber;
        entry.line = asRead;
        const size_t open = line.find('[');
        const size_t close = line.find(']');
        if (open != std::string::npos && close != std::string::npos && open < close) {
            // Brackets decide, whatever stands around them: a disk number or nothing.
            entry.text = line.substr(open + 1, close - open - 1);
            if (entry.text.empty() || !std::isdigit(static_cast<unsigned char>(entry.text[0]))) {
                warnings->push_back(syntaxWarning(lineNumber, asRead));
                continue;
            }
            entry.kind = 'N';
            entry.number = std::atoi(entry.text.c_str());
        } else if (line[0] == '/' || line[0] == '\\') {
            const size_t end = line.find_first_of(kWhitespace);
            entry.kind = 'D';
            entry.number = -1;
            entry.text = line.substr(0, end);
            const size_t rest = end == std::string::npos ? end : line.find_first_not_of(kWhitespace, end);
            if (rest != std::string::npos && line[rest] != '#') {
                warnings->push_back(
                    {0, false, lineMessage("batch file syntax error (assuming inline comment): (line %1%) \"%2%\"",
                                           lineNumber, asRead)});
            }
        } else {
            warnings->push_back(syntaxWarning(lineNumber, asRead));
            continue;
        }

        if (!accepted.insert(entry.text).second) {
            warnings->push_back(duplicateWarning(lineNumber, asRead));
            continue;
        }
        entries.push(std::move(entry));
    }
    return entries;
}

void dropSameDevices(std::queue<ListedEntry> &entries, const IdentityOf &identityOf,
                     std::vector<BatchWarning> *warnings)
{
    std::queue<ListedEntry> kept;
    std::vector<DeviceIdentity> listed;
    for (; !entries.empty(); entries.pop()) {
        ListedEntry &entry = entries.front();
        if (const std::optional<DeviceIdentity> identity = identityOf(entry.text)) {
            const auto sameData = [&identity](const DeviceIdentity &kept) { return readSameData(kept, *identity); };
            if (std::find_if(listed.begin(), listed.end(), sameData) != listed.end()) {
                warnings->push_back(duplicateWarning(entry.lineNumber, entry.line));
                continue;
            }
            listed.push_back(*identity);
        }
        kept.push(std::move(entry));
    }
    entries = std::move(kept);
}

std::vector<std::string> batchDevicePaths(const std::string &path)
{
    const BatchFileText &file = batchFileText(path);
    std::vector<std::string> devices;
    if (!file.opened) return devices;
    std::istringstream lines(file.text);
    std::vector<BatchWarning> ignored;
    for (std::queue<ListedEntry> entries = parseBatchLines(lines, &ignored); !entries.empty();
         entries.pop()) {
        const ListedEntry &entry = entries.front();
        if (entry.kind == 'D' || kNumberEntryTextIsPath) devices.push_back(entry.text);
    }
    return devices;
}

std::unique_ptr<std::queue<ListedEntry>> parseBatchFile(const std::string &path,
                                                       const Calculations *record)
{
    const BatchFileText &file = batchFileText(path);
    if (!file.opened) {
        failFile("Cannot open configuration file " + path + " - " + std::strerror(file.error),
                 EXIT_CODE_BATCH_OPEN);
    }
    if (file.zeroBytes) {
        failFile("The configuration file (" + path + ") is empty", EXIT_CODE_BATCH_EMPTY);
    }

    std::istringstream lines(file.text);
    std::vector<BatchWarning> warnings;
    auto entries = std::make_unique<std::queue<ListedEntry>>(parseBatchLines(lines, &warnings));
    logWarnings(warnings, record);
    return entries;
}

void dropBatchDuplicates(std::queue<ListedEntry> &entries, const Calculations *record)
{
    std::vector<BatchWarning> warnings;
    dropSameDevices(entries, identifyDevice, &warnings);
    logWarnings(warnings, record);
}
