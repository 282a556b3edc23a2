// Reports: a device's or the run's figures on the console (table or paragraphs) and in the CSV file.
#ifndef VANTREL_FRONTEND_REPORTS_H
#define VANTREL_FRONTEND_REPORTS_H

#include <cstdint>
#include <cstdio>
#include <string>

#include "frontend/records.h"

// One report item: the figures and the device name (empty for the run's totals).
struct DeviceResult {
    Calculations *figures;
    std::string name;
};

// What printReport writes for a DeviceResult.
enum ReportMode {
    REPORT_ROW = 0,      // a device row: a progress row, or a single device's result row
    REPORT_DEVICE = 1,   // one device's summary at the end of a batch run
    REPORT_TOTAL = 2,    // the totals at the end of a batch run
    REPORT_REGISTER = 3  // only registers the name for the width of the table's name column
};

// Report state, used by the main thread only.
extern int nameColumnWidth;       // longest registered name less 6, at least 0
extern bool reportHeaderShown;    // the table header has been printed (the main road clears it)
extern bool csvHeaderWritten;     // the CSV header line has been written
extern std::string csvSeparator;  // CSV field separator, "," unless the main road sets another
extern int resultCount;           // device count of the totals: the devices they cover, set by
                                  // the main road before the final summaries

// The numbers one report line shows, derived from a record: size is deviceBytes in GiB,
// savings = size - compressedGB. Pure, thread-safe.
struct ReportFigures {
    double sizeGB;
    double compressedGB;
    double savingsGB;
    double savingsPct;           // savings x 100 / size
    double thinPct;
    double compressionPct;       // unchanged, as the CSV file writes it
    double shownCompressionPct;  // as the console shows it: 0 when its magnitude is below 0.1
    double accuracyPct;
};
ReportFigures reportFigures(const Calculations &figures);

// The report pieces as text; `width` is the name column's nameColumnWidth (the column is
// width + 7 characters), `devices` the count the totals show, `marked` adds "**" after a
// device's sample count. Each returns whole lines ending in a newline; a CSV field that holds
// the separator, a double quote, a newline or a carriage return is written in double quotes,
// each inner double quote doubled. Pure, thread-safe.
std::string tableHeader(int width);     // empty line, two heading lines, separator
std::string tableSeparator(int width);  // the dashed line
std::string tableDeviceRow(const Calculations &figures, const std::string &name, bool marked,
                           int width);
std::string tableTotalRow(const Calculations &totals, int devices, int width);  // with separator
std::string paragraphDevice(const Calculations &figures, const std::string &name);
std::string paragraphTotal(const Calculations &totals, int devices);
std::string csvHeader(const std::string &separator);
std::string csvDeviceLine(const Calculations &figures, const std::string &name, bool marked,
                          const std::string &separator);
std::string csvTotalLine(const Calculations &totals, int devices, const std::string &separator);

// Writes one report item selected by `mode` to the standard output stream and, when a CSV
// file has been handed over (setCsvFile), to it (its header before its first line; a batch run
// writes no progress rows to it). A record without non-zero samples prints nothing. A batch
// device below the sample target (belowSampleTarget) is marked "**" in the table and the CSV
// file; the totals show resultCount as their device count. A CSV line or console text that
// cannot be written is recorded as that output's failure (noteOutputFailure) and the run goes
// on. Main thread only.
void printReport(const DeviceResult *row, ReportMode mode);

// One report item made ready to be written, so that writing it needs no memory: whether the
// record has a non-zero sample (without one nothing is written), its CSV text (empty when the
// CSV file gets nothing) and its console text (the table header not included).
struct PreparedReport {
    bool printable = false;
    std::string csv;
    std::string console;
};

// The headers written before a prepared report's first item: the table header (empty in
// paragraph form) and the CSV header line (empty without a CSV file).
struct ReportHeaders {
    std::string table;
    std::string csv;
};

// The texts printReport writes in `mode` (not REPORT_REGISTER) for `figures` of the device
// `name` (empty for the totals), made now: the totals show `devices` as their device count, the
// table's name column is `width` (as nameColumnWidth). Reads the settings and whether a CSV file
// is open. Throws std::bad_alloc. Main thread only.
PreparedReport prepareReport(const Calculations &figures, const std::string &name, ReportMode mode,
                             int devices, int width);

// The headers for a table whose name column is `width`. Throws std::bad_alloc. Main thread only.
ReportHeaders prepareReportHeaders(int width);

// Writes `item` as printReport does: the CSV header before the CSV file's first line, the table
// header before the first console text since reportHeaderShown was cleared. Allocates nothing on
// its own; an output that fails is recorded (noteOutputFailure, whose message may throw
// std::bad_alloc). Main thread only.
void writePreparedReport(const PreparedReport &item, const ReportHeaders &headers);

// Writes the verbose header for the device at `path` (version, start time, name, size of
// deviceSizeBytes, thread count) to the standard output stream. Main thread only.
void printRunHeader(const std::string &path);

// Hands over the CSV file of -c, opened at start-up (openOutputFile) with what it held kept;
// printReport empties it before its first line, writes its lines, and closeCsvFile closes it.
// Main thread only.
void setCsvFile(std::FILE *file);

// Closes the CSV file when it is open; a failing close is recorded as the CSV file's failure.
// Main thread only.
void closeCsvFile();

#endif
