// Reports: table, paragraph and CSV forms of the figures, and the verbose run header.
#include "frontend/reports.h"

#include <cerrno>
#include <cstdarg>
#include <cmath>
#include <iostream>

#include "frontend/log.h"
#include "frontend/output_failures.h"
#include "frontend/platform.h"
#include "frontend/run_state.h"
#include "frontend/settings.h"
#include "frontend/summaries.h"

int nameColumnWidth = 0;
bool reportHeaderShown = false;
bool csvHeaderWritten = false;
std::string csvSeparator = ",";
int resultCount = 0;

namespace {

FILE *csvFile = nullptr;

// The paragraphs' closing rule of '=' (a plain array: a static made before main allocates
// nothing).
constexpr char kParagraphRule[] =
    "======================================================================";
static_assert(sizeof kParagraphRule == 71, "the rule is 70 characters wide");

// printf into a string.
__attribute__((format(printf, 1, 2))) std::string textf(const char *format, ...)
{
    char small[256];
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (length < 0) return std::string();
    if (static_cast<size_t>(length) < sizeof small) return std::string(small, length);
    std::string text(static_cast<size_t>(length) + 1, '\0');
    va_start(args, format);
    std::vsnprintf(&text[0], text.size(), format, args);
    va_end(args);
    text.resize(length);
    return text;
}

// `text` padded with blanks on the right to `width` characters.
std::string leftAligned(const std::string &text, int width)
{
    std::string out = text;
    if (static_cast<int>(out.size()) < width) out.append(width - out.size(), ' ');
    return out;
}

// The numeric columns shared by the device and total rows, up to the accuracy column.
std::string tableNumbers(const ReportFigures &f)
{
    return textf("%9.1f |%11.1f |%11.1f |%10.1f%% |%17.1f%% |%11.1f%% |", f.sizeGB,
                 f.compressedGB, f.savingsGB, f.savingsPct, f.thinPct, f.shownCompressionPct);
}

// One CSV field: as it is, or, when it holds the separator, a double quote or a line break, in
// double quotes with each inner double quote doubled, so that it stays one field of one row.
std::string csvField(const std::string &text, const std::string &separator)
{
    const bool holdsSeparator = !separator.empty() && text.find(separator) != std::string::npos;
    if (!holdsSeparator && text.find_first_of("\"\n\r") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

std::string joinFields(const std::string (&fields)[9], const std::string &separator)
{
    std::string line = csvField(fields[0], separator);
    for (int i = 1; i < 9; i++) line += separator + csvField(fields[i], separator);
    return line + "\n";
}

// Fields 3 to 8 of a CSV line, three decimals each.
void csvNumbers(const ReportFigures &f, std::string (&fields)[9])
{
    fields[2] = textf("%.3f", f.sizeGB);
    fields[3] = textf("%.3f", f.compressedGB);
    fields[4] = textf("%.3f", f.savingsGB);
    fields[5] = textf("%.3f", f.savingsPct);
    fields[6] = textf("%.3f", f.thinPct);
    fields[7] = textf("%.3f", f.compressionPct);
}

// Writes `text` (one CSV item) after `header` when no header has been written yet. The first
// line empties the file: until then it keeps what an earlier run wrote there, so that a run
// without a result leaves it as it was. After a failed write the file gets no more lines: a later
// line would follow a gap. Allocates nothing but for a failure's message.
void writeCsv(const std::string &text, const std::string &header)
{
    if (outputFailed(RunOutput::Csv)) return;
    if (!csvHeaderWritten) {
        if (!emptyOutputFile(csvFile)) {
            noteOutputFailure(RunOutput::Csv, settings.csvFileName, errno);
            return;
        }
        csvHeaderWritten = true;
        if (std::fputs(header.c_str(), csvFile) == EOF) {
            noteOutputFailure(RunOutput::Csv, settings.csvFileName, errno);
            return;
        }
    }
    if (std::fputs(text.c_str(), csvFile) == EOF || std::fflush(csvFile) == EOF) {
        noteOutputFailure(RunOutput::Csv, settings.csvFileName, errno);
    }
}

// Holds an output stream for the calling thread while it lives (lockOutputStream), also when
// a write's failure message throws.
class StreamHold {
public:
    explicit StreamHold(std::FILE *file) : file_(file) { lockOutputStream(file_); }
    StreamHold(const StreamHold &) = delete;
    StreamHold &operator=(const StreamHold &) = delete;
    ~StreamHold() { unlockOutputStream(file_); }

private:
    std::FILE *file_;
};

}  // namespace

ReportFigures reportFigures(const Calculations &c)
{
    ReportFigures f;
    f.sizeGB = static_cast<double>(c.deviceBytes) / kBytesPerGiB;
    f.compressedGB = c.compressedGB;
    f.savingsGB = f.sizeGB - c.compressedGB;
    f.savingsPct = f.savingsGB * 100.0 / f.sizeGB;
    f.thinPct = c.thinProvisioningPct;
    f.compressionPct = c.compressionPct;
    f.shownCompressionPct = std::fabs(c.compressionPct) < 0.1 ? 0.0 : c.compressionPct;
    f.accuracyPct = c.accuracyPct;
    return f;
}

std::string tableSeparator(int width)
{
    return "-------------+" + std::string(width, '-') +
           "-------+----------+------------+------------+------------+-------------------+"
           "-------------+------------------\n";
}

std::string tableHeader(int width)
{
    return "\n Sample#     |" + leftAligned(" Device", width + 7) +
           "| Size(GB) | Compressed |   Total    |   Total    | Thin Provisioning | Compression"
           " |   Compression\n"
           "             |" + leftAligned("  Name", width + 7) +
           "|          |  Size(GB)  | Savings(GB)| Savings(%) |    Savings(%)     | Savings(%)"
           "  | Accuracy Range(%)\n" +
           tableSeparator(width);
}

std::string tableDeviceRow(const Calculations &figures, const std::string &name, bool marked,
                           int width)
{
    const long long count = static_cast<long long>(figures.nonZeroBlocks);
    std::string row;
    if (marked) {
        const int digits = static_cast<int>(std::to_string(count).size());
        row = textf("%lld**%*s", count, 12 - digits, " |");
    } else {
        row = textf("%-10lld   |", count);
    }
    if (static_cast<int>(name.size()) + 1 < width + 7) {
        row += leftAligned(name, width + 7) + "|";
    } else {
        row += name + " |";
    }
    const ReportFigures f = reportFigures(figures);
    return row + tableNumbers(f) + textf("%16.1f%%\n", f.accuracyPct);
}

std::string tableTotalRow(const Calculations &totals, int devices, int width)
{
    const char *word = devices == 1 ? "Device" : "Devices";
    const int wordWidth = devices >= 10 ? width + 4 : width + 5;
    const ReportFigures f = reportFigures(totals);
    return tableSeparator(width) + "Total        |" +
           textf("%d %-*s|", devices, wordWidth, word) + tableNumbers(f) +
           textf("%16s\n", "N/A");
}

std::string paragraphDevice(const Calculations &figures, const std::string &name)
{
    const ReportFigures f = reportFigures(figures);
    return "\nDevice Name:\t\t\t" + name + "\n" +
           "Sample #:\t\t\t" + std::to_string(static_cast<long long>(figures.nonZeroBlocks)) + "\n" +
           textf("Size(GB):\t\t\t%-6.1f\n", f.sizeGB) +
           textf("Compressed Size(GB):\t\t%-6.1f\n", f.compressedGB) +
           textf("Total Savings(GB):\t\t%-6.1f\n", f.savingsGB) +
           textf("Total Savings:\t\t\t%-2.1f%%\n", f.savingsPct) +
           textf("Compression Savings:\t\t%-2.1f%%\n", f.shownCompressionPct) +
           textf("Compression Accuracy Range:\t%-2.1f%%\n", f.accuracyPct) +
           textf("Thin Provisioning Savings:\t%-2.1f%%\n", f.thinPct) + kParagraphRule + "\n";
}

std::string paragraphTotal(const Calculations &totals, int devices)
{
    const ReportFigures f = reportFigures(totals);
    return "\nTotal for analyzed devices:\n\nNumber of devices analyzed:\t" +
           std::to_string(devices) + "\n" +
           textf("Total size(GB):\t\t\t%-6.1f\n", f.sizeGB) +
           textf("Total compressed size(GB):\t%-6.1f\n", f.compressedGB) +
           textf("Total Savings(GB):\t\t%-6.1f\n", f.savingsGB) +
           textf("Total Savings:\t\t\t%-2.1f%%\n", f.savingsPct) +
           textf("Compression Savings:\t\t%-2.1f%%\n", f.shownCompressionPct) +
           textf("Thin Provisioning Savings:\t%-2.1f%%\n", f.thinPct) + kParagraphRule + "\n";
}

std::string csvHeader(const std::string &separator)
{
    const std::string fields[9] = {"Sample#", "Device Name", "Size(GB)", "Compressed Size(GB)",
                                   "Total Savings(GB)", "Total Savings %",
                                   "Thin Provisioning Savings %", "Compression Savings %",
                                   "Accuracy Range %"};
    return joinFields(fields, separator);
}

std::string csvDeviceLine(const Calculations &figures, const std::string &name, bool marked,
                          const std::string &separator)
{
    const ReportFigures f = reportFigures(figures);
    std::string fields[9];
    fields[0] = std::to_string(static_cast<long long>(figures.nonZeroBlocks)) + (marked ? "**" : "");
    fields[1] = name;
    csvNumbers(f, fields);
    fields[8] = textf("%.3f", f.accuracyPct);
    return joinFields(fields, separator);
}

std::string csvTotalLine(const Calculations &totals, int devices, const std::string &separator)
{
    const ReportFigures f = reportFigures(totals);
    std::string fields[9];
    fields[0] = "Total";
    fields[1] = std::to_string(devices) + (devices == 1 ? " Device" : " Devices");
    csvNumbers(f, fields);
    fields[8] = "N/A";
    return joinFields(fields, separator);
}

PreparedReport prepareReport(const Calculations &figures, const std::string &name, ReportMode mode,
                             int devices, int width)
{
    PreparedReport item;
    item.printable = figures.nonZeroBlocks >= 1;
    if (!item.printable) return item;

    const bool belowTarget = mode == REPORT_DEVICE && belowSampleTarget(figures);
    if (csvFile != nullptr && (settings.config.empty() || mode != REPORT_ROW)) {
        item.csv = mode == REPORT_TOTAL
                       ? "\n\nSummary:\n" + csvTotalLine(figures, devices, csvSeparator)
                       : csvDeviceLine(figures, name, belowTarget, csvSeparator);
    }
    if (settings.paragraphFormat) {
        // With -v the progress paragraphs stand for the batch's device summaries.
        if (!(settings.verbose && mode == REPORT_DEVICE)) {
            item.console = mode == REPORT_TOTAL ? paragraphTotal(figures, devices)
                                                : paragraphDevice(figures, name);
        }
    } else {
        item.console = mode == REPORT_TOTAL ? tableTotalRow(figures, devices, width)
                                            : tableDeviceRow(figures, name, belowTarget, width);
    }
    return item;
}

ReportHeaders prepareReportHeaders(int width)
{
    ReportHeaders headers;
    if (!settings.paragraphFormat) headers.table = tableHeader(width);
    if (csvFile != nullptr) headers.csv = csvHeader(csvSeparator);
    return headers;
}

void writePreparedReport(const PreparedReport &item, const ReportHeaders &headers)
{
    if (!item.printable) return;
    if (!item.csv.empty()) writeCsv(item.csv, headers.csv);
    // The header and the row in one hold of the stream, so that a log written to standard
    // output never gets a line between them.
    const StreamHold hold(stdout);
    if (!headers.table.empty() && !reportHeaderShown) {
        reportHeaderShown = true;
        writeStandardOutput(headers.table);
    }
    writeStandardOutput(item.console);
}

void printReport(const DeviceResult *row, ReportMode mode)
{
    if (mode == REPORT_REGISTER) {
        const int width = static_cast<int>(row->name.size()) - 6;
        if (width > nameColumnWidth) nameColumnWidth = width;
        return;
    }
    const PreparedReport item = prepareReport(*row->figures, row->name, mode, resultCount, nameColumnWidth);
    if (item.printable) writePreparedReport(item, prepareReportHeaders(nameColumnWidth));
}

void printRunHeader(const std::string &path)
{
    writeStandardOutput(std::string("Version: ") + kVersionText + " (Build " + kBuildText + ")\n" +
                        "Start time: " + timestampText() + "\n" + "Device name: " + path + "\n" +
                        textf("Device size: %.1f GB\n",
                              static_cast<double>(deviceSizeBytes) / kBytesPerGiB) +
                        "Number of processes: " + std::to_string(settings.threadCount) + "\n");
}

void setCsvFile(std::FILE *file)
{
    csvFile = file;
}

void closeCsvFile()
{
    if (csvFile != nullptr) {
        if (!closeOutputFile(csvFile)) noteOutputFailure(RunOutput::Csv, settings.csvFileName, errno);
        csvFile = nullptr;
    }
}
