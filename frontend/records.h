// Front-end records: the read request, one sampler thread's record and the result figures.
#ifndef VANTREL_FRONTEND_RECORDS_H
#define VANTREL_FRONTEND_RECORDS_H

#include <atomic>
#include <cstdint>
#include <string>

// One read for a sampler thread.
struct ReadRequest {
    uint64_t offset;  // byte offset in the device
    int32_t length;   // bytes to read
    int32_t thread;   // the engine context that asked for the read
};

// One sampler thread's share of the device [rangeStart, rangeEnd), its counters and its
// log threshold. The counters carry figures only in a Calculations.
class threadWorkData {
public:
    // Builds a record for the range [rangeStart, rangeEnd) and thread `index`; counters
    // zero, finished false, logLevel 0 (the creator sets it).
    threadWorkData(uint64_t rangeStart, uint64_t rangeEnd, uint32_t index);
    threadWorkData(const threadWorkData &other);
    threadWorkData &operator=(const threadWorkData &other);

    // Zeroes the counters and ratioSum and clears finished; range, index and logLevel stay.
    void reset();

    // Timestamped log operation: a level-1 message also goes to the standard error stream;
    // when logLevel >= 0 and logLevel >= level the message, prefixed with the timestamp and
    // one blank, is queued on the log queue at `level`. Thread-safe.
    void log(int level, std::string message) const;

    uint64_t rangeStart;
    uint64_t rangeEnd;
    int64_t nonZeroBlocks = 0;
    int64_t zeroBlocks = 0;
    uint64_t compressedBytes = 0;
    uint64_t inputBytes = 0;
    double ratioSum = 0.0;
    uint32_t index;
    int32_t logLevel = 0;
    // Set by the record's sampler thread when it leaves its loop; read by the main thread.
    std::atomic<bool> finished{false};
};

// A device's (or the run's) result figures on top of the counters. Sizes in GiB (2^30 bytes).
// reset is its one virtual operation.
class Calculations final : public threadWorkData {
public:
    Calculations(uint64_t rangeStart, uint64_t rangeEnd, uint32_t index);
    Calculations(const Calculations &other) = default;
    Calculations &operator=(const Calculations &other) = default;

    // The base reset, then the five figures become 0; deviceBytes stays.
    virtual void reset();

    // Adds sizeGB, compressedGB, the counters and deviceBytes of `other`; the percentages
    // are left to finaliseTotals. Returns *this.
    Calculations &operator+=(const Calculations &other);

    double sizeGB = 0.0;
    double thinProvisioningPct = 0.0;
    double compressedGB = 0.0;
    double compressionPct = 0.0;
    double accuracyPct = 0.0;
    uint64_t deviceBytes = 0;
};

// The run's totals, made at start-up; also the sink of the front end's timestamped log lines.
extern Calculations *totalCalculations;

#endif
