// Front-end records: construction, copy, reset and the adding of totals.
#include "frontend/records.h"

Calculations *totalCalculations = nullptr;

threadWorkData::threadWorkData(uint64_t start, uint64_t end, uint32_t threadIndex)
    : rangeStart(start), rangeEnd(end), index(threadIndex)
{
}

threadWorkData::threadWorkData(const threadWorkData &other)
{
    *this = other;
}

threadWorkData &threadWorkData::operator=(const threadWorkData &other)
{
    rangeStart = other.rangeStart;
    rangeEnd = other.rangeEnd;
    nonZeroBlocks = other.nonZeroBlocks;
    zeroBlocks = other.zeroBlocks;
    compressedBytes = other.compressedBytes;
    inputBytes = other.inputBytes;
    ratioSum = other.ratioSum;
    index = other.index;
    logLevel = other.logLevel;
    finished.store(other.finished.load());
    return *this;
}

void threadWorkData::reset()
{
    nonZeroBlocks = 0;
    zeroBlocks = 0;
    compressedBytes = 0;
    inputBytes = 0;
    ratioSum = 0.0;
    finished.store(false);
}

Calculations::Calculations(uint64_t start, uint64_t end, uint32_t threadIndex)
    : threadWorkData(start, end, threadIndex)
{
}

void Calculations::reset()
{
    threadWorkData::reset();
    sizeGB = 0.0;
    thinProvisioningPct = 0.0;
    compressedGB = 0.0;
    compressionPct = 0.0;
    accuracyPct = 0.0;
}

Calculations &Calculations::operator+=(const Calculations &other)
{
    sizeGB += other.sizeGB;
    compressedGB += other.compressedGB;
    nonZeroBlocks += other.nonZeroBlocks;
    zeroBlocks += other.zeroBlocks;
    compressedBytes += other.compressedBytes;
    inputBytes += other.inputBytes;
    deviceBytes += other.deviceBytes;
    return *this;
}
