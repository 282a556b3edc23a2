// What a run may write: the rule that keeps its log, its CSV file and its standard streams off
// every device and every file the run reads.
#ifndef VANTREL_FRONTEND_OUTPUT_GUARD_H
#define VANTREL_FRONTEND_OUTPUT_GUARD_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Why an output may not be written: the guard's one vocabulary of refusals.
enum class OutputRefusal {
    None,        // it may be written
    Device,      // a device (Linux: a block device; Windows: a disk, a volume, a device name)
    Input,       // a file that one of the run's inputs reads, by any name
    CannotTell,  // a file that held data before, while what some input reads cannot be followed
    Held,        // another vantrel run or another program holds it
    OpenFailed   // the system would not open it
};

// The guard's answer for one output, with what its message needs.
struct OutputVerdict {
    OutputRefusal refusal = OutputRefusal::None;
    int error = 0;      // OpenFailed: the system's code (errno)
    std::string input;  // CannotTell: the input whose reading could not be followed
    std::string why;    // CannotTell: why it could not be (may be empty)

    // A verdict of `refusal` (with the system's code `error` for OpenFailed). Pure.
    static OutputVerdict refusedFor(OutputRefusal refusal, int error = 0)
    {
        OutputVerdict verdict;
        verdict.refusal = refusal;
        verdict.error = error;
        return verdict;
    }

    bool refused() const { return refusal != OutputRefusal::None; }

    // The reason as messages give it after " - ": the system's text for a device, an input
    // and a failed open ("Operation not permitted" for the first two), the run's own text for
    // a held file or one the run cannot judge. Thread-safe.
    std::string text() const;
};

// A file by what it is, whatever its names: Linux its file system's device number and its
// inode; Windows its volume serial number and file index.
struct FileId {
    uint64_t volume;
    uint64_t index;

    bool operator==(const FileId &other) const { return volume == other.volume && index == other.index; }
};

// What an output that has just been opened is, as the platform sees it.
enum class OutputKind {
    File,    // a file of a file system
    Device,  // a device that stores data (Linux: a block device; Windows: a disk or volume)
    Stream   // nothing that stores data: the null device, a terminal or console, a pipe
};

struct OpenedOutput {
    OutputKind kind;
    FileId file;      // File: which file
    bool heldNoData;  // File: the open created it, so nothing any input reads can be in it
};

// What one of the run's inputs reads, as far as the platform can follow it.
struct InputReach {
    std::vector<FileId> files;  // every file whose bytes the input reads (itself included)
    bool followed = true;       // false: there may be more that could not be learnt
    std::string why;            // !followed: why, for the message ("/dev/loop7: Permission denied")
};

// What the input named `input` reads (supplied by the platform: device_reader.cpp follows
// loop devices and the devices stacked on them; platform_win32.cpp asks the file itself). A
// name that reaches nothing the user can name reads nothing. Thread-safe.
InputReach inputReach(const std::string &input);

// The rule: whether the output `opened` may be written while the run reads `inputs` (its
// devices and batch file). A device is refused; a stream is allowed; a file is refused when an
// input reads it, else when it held data before while some input cannot be followed to its
// end (CannotTell, with that input and why), else allowed. Thread-safe.
OutputVerdict judgeOutput(const OpenedOutput &opened, const std::vector<std::string> &inputs);

// Opens the output file `name` (the log or the CSV file) for writing at its start, creating it
// when it is missing and keeping what it holds: emptyOutputFile empties it. What the open
// reached is judged by judgeOutput against `inputs` before anything is written or emptied, so
// that a name changed since any earlier look cannot lead the output elsewhere; a name that is
// a device is refused before any open. A regular file is then held for this run alone until it
// is closed or the process ends (Linux: an exclusive advisory lock; Windows: a sharing mode
// that lets others only read); one held elsewhere is refused (Held). A file that is the
// standard output or standard error stream (Linux) is held the same way and returned as that
// stream, written in order with the rest of it and never emptied or closed. Returns null with
// `verdict` telling why. Thread-safe.
std::FILE *openOutputFile(const std::string &name, const std::vector<std::string> &inputs, OutputVerdict &verdict);

// Whether the standard stream `fd` (1 or 2) may be written while the run reads `inputs`,
// judged like an output file that held data unless it is empty (the shell opened it, so the
// run cannot know whether it created it). Linux; Windows has no such streams to judge and
// always allows. Thread-safe.
OutputVerdict judgeStandardStream(int fd, const std::vector<std::string> &inputs);

#endif
