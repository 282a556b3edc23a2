// Start-up: the command line, the usage text, the log file and the checks of the run settings.
#include "frontend/options.h"

#include <boost/program_options.hpp>
#include <boost/tokenizer.hpp>
#include <boost/lexical_cast.hpp>
#include <boost/format.hpp>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "engine/vantrel_engine.h"
#include "frontend/batch_file.h"
#include "frontend/log.h"
#include "frontend/output_guard.h"
#include "frontend/platform.h"
#include "frontend/reports.h"
#include "frontend/run_state.h"

namespace po = boost::program_options;

const char *const kVersionText = "1.0.1";
const char *const kBuildText = "w014";

RunSettings settings;

namespace {

constexpr const char *kDefaultAdjustCR =
    "0,0.066,0,0.066,0.27,0.05,0.27,0.35,0.015,0.35,0.6,0,0.6,1,0.005";
constexpr int32_t kStripBytes = 262144;

// A start-up check failed: the text on `out`, queued at level 2, then exitWith(code).
[[noreturn]] void failStartUp(std::ostream &out, const std::string &text, int code)
{
    consoleAndLog(out, text);
    exitWith(code);
}

void declareOptions(po::options_description &mainGroup, po::options_description &backend)
{
    RunSettings &s = settings;
    declarePlatformOptions(mainGroup);
    mainGroup.add_options()
        (",d", po::value<std::string>(&s.devicePath), "set device to estimate")
        (",c", po::value<std::string>(&s.csvFileName), "CSV file")
        (",p", po::value<int32_t>(&s.threadCount)->default_value(10), "the initial number of threads")
        (",v", po::bool_switch(&s.verbose)->default_value(false), "verbose output")
        (",h", "produce help message")
        (",x", "Extend console size to maximum")
        (",P", po::bool_switch(&s.paragraphFormat)->default_value(false),
         "Display results using a paragraph format")
        ("storageVer", po::value<std::string>(&s.storageVer),
         "Target system version. Supported Corvale/VRT/KSM storage options: 6.4, 7.1, 7.2, 7.3; "
         "default is 7.3")
        ("stripewidth", po::value<int32_t>(&s.stripewidth)->default_value(12), "")
        ("config", po::value<std::string>(&s.config),
         "Configuration file that contains list of devices to analyze")
        ("storageSys,s", po::value<StorageType>(&s.storageSys),
         "Storage system type. Supported values are: VRT, KSM");
    readQueue.setLimit(100);
    backend.add_options()
        ("logfile", po::value<std::string>(&s.logfile)->default_value("vantrel.log"), "Set log filename")
        ("loglevel", po::value<int32_t>(&s.loglevel)->default_value(2),
         "set log level 0-6 (0 - off, 1 - lowest, 6 highest)")
        ("parity-cards", po::value<int32_t>(&s.parityCards)->default_value(1),
         "Number of parity cards (defaults to 1)")
        (",I", po::bool_switch(&s.largeIoErrorThreshold)->default_value(false), "5% threshhold")
        ("maxNumSamples,t", po::value<uint32_t>(&s.maxNumSamples), "maxNumSamples")
        (",e", po::bool_switch(&s.exhaustive)->default_value(false), "exhaustive")
        ("deltaError,u", po::value<double>(&s.deltaError), "deltaError")
        ("inblockSize,g", po::value<int32_t>(&s.inblockSize)->default_value(65536), "")
        ("outblockSize,i", po::value<int32_t>(&s.outblockSize), "")
        ("zlibBlockSize,j", po::value<int32_t>(&s.zlibBlockSize), "")
        ("compUnitSize,k", po::value<int32_t>(&s.compUnitSize), "")
        ("blocksPerProc,m", po::value<int32_t>(&s.blocksPerProc), "")
        ("zeroBlockFactor,q", po::value<int32_t>(&s.zeroBlockFactor), "")
        ("zeroBlockAccur,z", po::value<int32_t>(&s.zeroBlockAccur), "")
        ("allowNegativeComp", po::bool_switch(&s.allowNegativeComp)->default_value(false),
         "Toggle allow negative comp. ratios")
        ("qa,Q", po::value<uint32_t>(&s.qa)->default_value(0), "Set seed value ")
        ("qaprefix,X", po::value<std::string>(&s.qaprefix)->default_value("vantrelQA.dat"),
         "Set QA mode prefix")
        ("adjustCR", po::value<std::string>(&s.adjustCR)->default_value(kDefaultAdjustCR),
         "Adjust CR string")
        ("pos,S", po::value<int64_t>(&s.pos), "position to test");
}

// The names the run reads: the -d device, or every device the batch file names (a disk-number
// entry too, where its text is read as a path), and the batch file itself.
std::vector<std::string> inputFilesOfRun()
{
    if (settings.config.empty()) return {settings.devicePath};
    std::vector<std::string> files = batchDevicePaths(settings.config);
    files.push_back(settings.config);
    return files;
}

// Whether `name` was given on the command line (not merely defaulted).
bool givenOnCommandLine(const po::variables_map &vm, const char *name)
{
    auto it = vm.find(name);
    return it != vm.end() && !it->second.defaulted();
}

// Whether an option value's text is a negative number: a minus sign before a non-zero digit.
// The option library reads such a text into an unsigned option as its wrap-around value.
bool isNegativeNumberText(const std::string &text)
{
    return !text.empty() && text[0] == '-' && text.find_first_of("123456789") != std::string::npos;
}

// Whether the parsed command line gives the option `name` a negative value.
bool givesNegativeValue(const po::parsed_options &parsed, const char *name)
{
    for (const po::option &option : parsed.options) {
        if (option.string_key != name) continue;
        for (const std::string &value : option.value) {
            if (isNegativeNumberText(value)) return true;
        }
    }
    return false;
}

// Opens the output file `name` for this run (openOutputFile, nothing emptied), judged against
// the run's inputs. Returns null with `verdict` telling why.
std::FILE *createOutputFile(const std::string &name, OutputVerdict &verdict)
{
    return openOutputFile(name, runInputFiles, verdict);
}

// Ends the run with code 1 when the CSV file `csvName` and the log file `logName` are one
// regular file, by any names; nothing happens when either is not given or does not exist yet.
void refuseCsvOnLog(const std::string &csvName, const std::string &logName)
{
    if (csvName.empty() || logName.empty() || !sameRegularFile(csvName, logName)) return;
    failStartUp(std::cout, "CSV file (-c) and logfile (--logfile) must not be the same file", EXIT_CODE_BAD_OPTION);
}

// Ends the run with code 15 when standard output or standard error is a device or a file the
// run reads (judgeStandardStream): the shell opened it, but the run never writes into what it
// reads. Each refusal is said on the other stream, unless that one is refused too.
void refuseStandardStreamsOnInputs()
{
    const struct {
        int fd;
        const char *name;
    } streams[] = {{1, "standard output"}, {2, "standard error"}};
    OutputVerdict verdicts[2];
    for (int i = 0; i < 2; ++i) verdicts[i] = judgeStandardStream(streams[i].fd, runInputFiles);
    if (!verdicts[0].refused() && !verdicts[1].refused()) return;
    for (int i = 0; i < 2; ++i) {
        const OutputVerdict &verdict = verdicts[i];
        if (!verdict.refused() || verdicts[1 - i].refused()) continue;
        const std::string reason = verdict.refusal == OutputRefusal::CannotTell
                                       ? verdict.text()
                                       : "It is a device or a file that the run reads";
        consoleLine(i == 0 ? std::cerr : std::cout, std::string("Cannot write ") + streams[i].name + " - " + reason);
    }
    exitWith(EXIT_CODE_REPORT_OUTPUT);
}

// Takes the log file `name` for this run and empties it, before any line is queued for it.
void openRunLog(const std::string &name)
{
    OutputVerdict verdict;
    std::FILE *file = createOutputFile(name, verdict);
    if (file == nullptr) {
        consoleLine(std::cerr, "Cannot create logfile " + name + " - " + verdict.text());
        exitWith(EXIT_CODE_LOG_CREATE);
    }
    if (!emptyOutputFile(file)) {
        consoleLine(std::cerr, "Error opening logfile: " + name);
        exitWith(EXIT_CODE_LOG_OPEN);
    }
    useLogFile(file, name);
}

// Takes the CSV file of -c for this run and hands it to the reports, so that a CSV file that
// cannot be created ends the run before any device is read. What the file holds stays until
// the run writes its first line to it. The log file, when there is one, exists by now: any
// other name of it (a link, another spelling) reaches the same file.
void createCsvFile(const std::string &name, const std::string &logName)
{
    // Again now that the log exists: a CSV name that reaches the file the log has just created.
    refuseCsvOnLog(name, logName);
    OutputVerdict verdict;
    std::FILE *file = createOutputFile(name, verdict);
    if (file == nullptr) {
        const std::string text = "cannot create csv file" + name;
        const std::string reason = text + " - " + verdict.text();
        consoleLine(std::cerr, text);
        consoleLine(std::cerr, reason);
        queueLogLine(2, reason);
        exitWith(EXIT_CODE_CSV_FILE);
    }
    setCsvFile(file);
}

// Every argument, the program name included, each followed by one blank.
std::string commandLineText(int argc, char **argv)
{
    std::string text;
    for (int i = 0; i < argc; ++i) text += std::string(argv[i]) + " ";
    return text;
}

} // namespace

std::istream &operator>>(std::istream &in, StorageType &kind)
{
    std::string word;
    in >> word;
    if (word == "VRT") {
        kind = STORAGE_VRT;
    } else if (word == "KSM") {
        kind = STORAGE_KSM;
    } else {
        throw po::invalid_option_value(word);
    }
    return in;
}

int reduceVersion(const std::string &text)
{
    std::string digits = text;
    digits.erase(std::remove(digits.begin(), digits.end(), '.'), digits.end());
    return std::atoi(digits.c_str());
}

int vrtEngineType(const std::string &storageVer, bool versionGiven)
{
    if (!versionGiven) return ENGINE_TYPE_7_3;
    const int version = reduceVersion(storageVer);
    switch (version) {
    case ENGINE_TYPE_6_4:
    case ENGINE_TYPE_7_1:
    case ENGINE_TYPE_7_2:
    case ENGINE_TYPE_7_3:
        return version;
    default:
        return -1;
    }
}

int32_t blockSizeFor(uint32_t engineType, int32_t inblockSize, bool inblockSizeGiven,
                     int32_t stripeWidth)
{
    if (engineType == ENGINE_TYPE_ZOV) return stripeWidth * kStripBytes;
    if (engineType == ENGINE_TYPE_6_4 && !inblockSizeGiven) return kStripBytes;
    return inblockSize;
}

int32_t sampledBlockSizeFor(uint32_t engineType, int32_t inblockSize, int32_t stripeWidth)
{
    if (engineType == ENGINE_TYPE_ZOV) return (stripeWidth - 2) * kStripBytes;
    return inblockSize;
}

std::unique_ptr<std::string> parseNumberList(const std::string &text, std::vector<double> *numbers)
{
    boost::char_separator<char> separators(", ");
    boost::tokenizer<boost::char_separator<char>> tokens(text, separators);
    for (const std::string &token : tokens) {
        try {
            numbers->push_back(boost::lexical_cast<double>(token));
        } catch (const boost::bad_lexical_cast &) {
            consoleLine(std::cerr, "Cannot convert to number : " + token);
            return std::make_unique<std::string>("Cannot convert to number :" + token);
        }
    }
    return nullptr;
}

std::string usageText(bool esxHost, bool windowsProgram)
{
    static const char *const kLines[][2] = {
        {"-n", "Disk number"},
        {"-l", "List devices"},
        {"-d device name", nullptr},
        {"-p number", "Number of threads (default 10)"},
        {"-c", "Export the results to a CSV file"},
        {"-v", "Verbose output"},
        {"-h", "Print this help message"},
        {"-P", "Display results using a paragraph format"},
        {"-s,--storageSys", "Storage system type. Supported values are: VRT or KSM"},
        {"--stripewidth", "Storage stripe width (5 - 16 )"},
        {"-I", "Allow larger scale of storage io-error threshold rate (up to 5%)"},
        {"--config=file", "Configuration file that contains list of devices to analyze"},
    };
    // The Windows program's disk-number lines come first; the Linux program has none.
    const size_t firstLine = windowsProgram ? 0 : 2;
    const char *devicePathHelp =
        windowsProgram ? "Path of device to analyze"
        : esxHost      ? "Path of device to analyze (e.g.: /vmfs/devices/disks/mpx.vmhba1:C0:T0:LX)"
                       : "Path of device to analyze (e.g.: /dev/sdb)";
    std::string text = std::string("Orvane Tessaline 6170 Vantrel version : ") + kVersionText +
                       " (Build " + kBuildText + ")\n";
    text += "Usage :\n";
    text += windowsProgram ? "vantrel <-s storage_type> [ -h | -l | -d device | -n disk_number] "
                           : "vantrel <-s storage_type> [ -h | -d device] ";
    text += "[-c filename] [-v] [-p number_of_threads] [-P] [-I] [--config=task_file]\n";
    for (size_t i = firstLine; i < std::size(kLines); ++i) {
        const auto &line = kLines[i];
        text += (boost::format("%-21s%s\n") % line[0] % (line[1] ? line[1] : devicePathHelp)).str();
    }
    return text;
}

int printUsage()
{
    std::cout << programUsageText() << std::endl;
    return 1;
}

bool startUp(int argc, char **argv)
{
    const std::string commandLine = commandLineText(argc, argv);

    po::options_description mainGroup;
    po::options_description backend("Backend options");
    declareOptions(mainGroup, backend);
    po::options_description all;
    all.add(mainGroup).add(backend);

    std::string pendingStartError;
    po::variables_map vm;
    // The unsigned options given a negative value, which they would hold wrapped around.
    bool negativeSampleTarget = false;
    bool negativeSeed = false;
    try {
        const po::parsed_options parsed = po::parse_command_line(argc, argv, all);
        negativeSampleTarget = givesNegativeValue(parsed, "maxNumSamples");
        negativeSeed = givesNegativeValue(parsed, "qa");
        po::store(parsed, vm);
        if (vm.count("-h") || argc < 2) {
            printUsage();
            return false;
        }
        po::notify(vm);
        if (settings.storageSys == STORAGE_NONE) {
            throw po::validation_error(po::validation_error::at_least_one_value_required, "",
                                       "storageSys");
        }
    } catch (const po::error &error) {
        pendingStartError = std::string("Unable to parse command line: ") + error.what();
        std::replace(pendingStartError.begin(), pendingStartError.end(), '\'', ' ');
        consoleLine(std::cerr, pendingStartError);
    }

    if (!settings.adjustCR.empty() && pendingStartError.empty()) {
        if (auto error = parseNumberList(settings.adjustCR, &settings.adjustTable)) {
            pendingStartError = *error;
        }
    }
    if (!pendingStartError.empty()) settings.adjustTable.clear();

    // The files the run reads, known before anything is created or written: the log, the CSV
    // file and the standard streams must never write into one of them (a slip of --logfile or
    // -c for -d, a name from the batch file, a shell's `>> image`).
    runInputFiles = inputFilesOfRun();
    refuseStandardStreamsOnInputs();

    const bool badLogLevel = settings.loglevel < 0 || settings.loglevel > 6;
    const char *const logLevelText = "Loglevel may be only from 0 to 6 ";
    if (badLogLevel) consoleLine(std::cout, logLevelText);

    const std::string &logName = settings.logfile;
    // Before the log file is opened, emptied or written: the CSV file named by -c may be an
    // earlier report that the log would replace.
    refuseCsvOnLog(settings.csvFileName, logName);
    if (!logName.empty()) {
        openRunLog(logName);
        logQueue.setLimit(settings.loglevel);
        queueLogLine(2, (boost::format("starting Orvane Tessaline 6170 Vantrel: (%1% %2%) %3%") %
                         kVersionText % kBuildText % commandLine).str());
    } else {
        settings.loglevel = -1;
        logQueue.setLimit(-1);
    }

    if (!pendingStartError.empty()) {
        queueLogLine(2, pendingStartError);
        exitWith(EXIT_CODE_BAD_OPTION);
    }
    if (badLogLevel) {
        queueLogLine(2, logLevelText);
        exitWith(EXIT_CODE_BAD_OPTION);
    }

    if (settings.storageSys == STORAGE_VRT) {
        if (givenOnCommandLine(vm, "stripewidth")) {
            failStartUp(std::cout, "stripewidth switch compatible with KSM storage system only",
                        EXIT_CODE_BAD_OPTION);
        }
        const int engineType = vrtEngineType(settings.storageVer, givenOnCommandLine(vm, "storageVer"));
        if (engineType < 0) {
            failStartUp(std::cout,
                        "Allowed version values for Corvale/VRT/Pellam: { 6.4 | 7.1 | 7.2 | 7.3 }",
                        EXIT_CODE_BAD_OPTION);
        }
        settings.engineType = uint32_t(engineType);
    } else {
        settings.engineType = ENGINE_TYPE_ZOV;
        if (settings.stripewidth < 5 || settings.stripewidth > 16) {
            failStartUp(std::cout, "Allowed version values for stripwidth: 5 to 16 ",
                        EXIT_CODE_BAD_OPTION);
        }
    }

    settings.inblockSize = blockSizeFor(settings.engineType, settings.inblockSize,
                                        givenOnCommandLine(vm, "inblockSize"), settings.stripewidth);
    // The engine asks for reads in whole 512-byte sectors and the I/O-error limit divides by
    // the block size: anything else than a positive multiple of 512 cannot be sampled.
    if (settings.inblockSize <= 0 || settings.inblockSize % 512 != 0) {
        failStartUp(std::cout, "Block size must be a positive multiple of 512 bytes",
                    EXIT_CODE_BAD_OPTION);
    }
    // A deflate sample spans whole blocks of the engine's unit (-k does not reach the engine):
    // in a unit of fewer than two blocks every sample ends after its first piece, a figure
    // that measures nothing. A stripe model sample is one block and has no unit.
    if (settings.engineType != ENGINE_TYPE_ZOV && ENGINE_SAMPLE_UNIT_BYTES / settings.inblockSize < 2) {
        failStartUp(std::cout,
                    "Block size must be at most " + std::to_string(ENGINE_SAMPLE_UNIT_BYTES / 2) +
                        " bytes, so that a sample can span two blocks",
                    EXIT_CODE_BAD_OPTION);
    }

    // The accuracy bound takes the root of ln(2 x deltaError), a number only above 0.5; with a
    // sample target of 0 no device gets a result; a negative -t or -Q would wrap around.
    if (!(std::isfinite(settings.deltaError) && settings.deltaError > 0.5)) {
        failStartUp(std::cout, "deltaError (-u) must be a number above 0.5", EXIT_CODE_BAD_OPTION);
    }
    if (negativeSampleTarget || settings.maxNumSamples < 1) {
        failStartUp(std::cout, "maxNumSamples (-t) must be in the range of 1..4294967295",
                    EXIT_CODE_BAD_OPTION);
    }
    if (negativeSeed) {
        failStartUp(std::cout, "qa (-Q) must be in the range of 0..4294967295", EXIT_CODE_BAD_OPTION);
    }

    totalCalculations = new Calculations(0, 0, 0);
    totalCalculations->logLevel = settings.loglevel;

    if (settings.threadCount > 50 || settings.threadCount < 1) {
        failStartUp(std::cerr, "Number of threads must be in the range of 1..50",
                    EXIT_CODE_THREAD_COUNT);
    }
    if (settings.largeIoErrorThreshold) settings.ioErrorFraction = 0.05;
    // After every option check: a command line that is refused never touches the CSV file.
    if (!settings.csvFileName.empty()) createCsvFile(settings.csvFileName, logName);
    platformStartUpDone(vm.count("-x") != 0);
    return true;
}
