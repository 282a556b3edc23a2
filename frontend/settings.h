// The run configuration: process-wide settings named after their options, written once at start-up.
#ifndef VANTREL_FRONTEND_SETTINGS_H
#define VANTREL_FRONTEND_SETTINGS_H

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

// The program's version and build, shown by the usage text, the log and the verbose header.
extern const char *const kVersionText;  // "1.0.1"
extern const char *const kBuildText;    // "w014"

// The -s value. 2 and 3 belong to other storage systems; no -s word yields them.
enum StorageType : int {
    STORAGE_NONE = 0,
    STORAGE_VRT = 1,
    STORAGE_OTHER_2 = 2,
    STORAGE_OTHER_3 = 3,
    STORAGE_KSM = 4
};

// Reads one word: "VRT" or "KSM" (exact); any other word throws
// boost::program_options::invalid_option_value.
std::istream &operator>>(std::istream &in, StorageType &kind);

// The log file of a run whose command line cannot be read, so that --logfile does not apply.
constexpr const char *kInitialLogFileName = "Orvane_Tessaline_6170_Vantrel.log";

// Every setting, holding its initial value until the command line is applied.
struct RunSettings {
    std::string devicePath;                 // -d
    std::string csvFileName;                // -c
    int32_t threadCount = 0;                // -p (default 10)
    bool verbose = false;                   // -v
    bool paragraphFormat = false;           // -P
    std::string storageVer;                 // --storageVer
    int32_t stripewidth = 3;                // --stripewidth (default 12)
    std::string config;                     // --config
    StorageType storageSys = STORAGE_NONE;  // -s
    // --logfile (default "vantrel.log"). Empty until main sets kInitialLogFileName: the one
    // instance is made before main, where no allocation may fail unseen.
    std::string logfile;
    int32_t loglevel = 6;                   // --loglevel (default 2); -1 once logging is off
    int32_t parityCards = 0;                // --parity-cards (default 1)
    bool largeIoErrorThreshold = false;     // -I
    uint32_t maxNumSamples = 3400;          // -t
    bool exhaustive = false;                // -e
    double deltaError = 1e7;                // -u
    int32_t inblockSize = 65536;            // -g; the read block size once start-up is done
    int32_t outblockSize = 32768;           // -i
    int32_t zlibBlockSize = 32768;          // -j
    int32_t compUnitSize = 67108864;        // -k
    int32_t blocksPerProc = 50;             // -m
    int32_t zeroBlockFactor = 20;           // -q
    int32_t zeroBlockAccur = 2;             // -z
    bool allowNegativeComp = false;         // --allowNegativeComp
    uint32_t qa = 0;                        // -Q: fixed seed, 0 means the clock
    std::string qaprefix;                   // -X
    std::string adjustCR;                   // --adjustCR
    int64_t pos = 0;                        // -S

    // Derived at start-up.
    double ioErrorFraction = 0.01;          // 0.05 with -I
    uint32_t engineType = 73;               // from the storage kind and version
    std::vector<double> adjustTable;        // the numbers of --adjustCR
};

// The one instance, read by every part of the front end after start-up.
extern RunSettings settings;

#endif
