// Start-up: the command line, the usage text, the log file and the checks of the run settings.
#ifndef VANTREL_FRONTEND_OPTIONS_H
#define VANTREL_FRONTEND_OPTIONS_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "frontend/settings.h"

// Reduces a target-version text: every '.' deleted, the rest read like atoi (leading
// digits; none gives 0). "7.3", "73", ".73" and "73abc" all give 73. Pure.
int reduceVersion(const std::string &text);

// Engine type for a VRT target version given as `storageVer` (`versionGiven` false: the
// default 73), or -1 when the version is not 6.4, 7.1, 7.2 or 7.3. Pure.
int vrtEngineType(const std::string &storageVer, bool versionGiven);

// Read block size in bytes: the stripe width times 256 KiB for the stripe engine (400),
// 256 KiB for engine 64 when -g was not given, otherwise `inblockSize`. Pure.
int32_t blockSizeFor(uint32_t engineType, int32_t inblockSize, bool inblockSizeGiven,
                     int32_t stripeWidth);

// Bytes of one block the engine samples when the front end reads `inblockSize`-byte blocks:
// for the stripe engine (400) the stripe's data strips, (`stripeWidth` - 2) times 256 KiB (its
// two parity strips are never read); otherwise `inblockSize`. Pure.
int32_t sampledBlockSizeFor(uint32_t engineType, int32_t inblockSize, int32_t stripeWidth);

// Appends the numbers of `text` (separated by commas and blanks; empty tokens dropped) to
// `numbers`. Returns null when every token converted; otherwise writes "Cannot convert to
// number : <token>" to the standard error stream and returns the error text "Cannot convert
// to number :<token>", keeping the numbers converted before it.
std::unique_ptr<std::string> parseNumberList(const std::string &text, std::vector<double> *numbers);

// The usage text: the Linux program's, whose -d line shows a VMware example device path when
// `esxHost`, or with `windowsProgram` the Windows program's (its usage line names -l and -n,
// its option lines start with them, and its -d line shows no example). Pure.
std::string usageText(bool esxHost, bool windowsProgram = false);

// Writes this program's usage text (programUsageText) and one more newline to the standard
// output stream; returns 1.
int printUsage();

// Runs the whole start-up on the command line: parses it into `settings`, opens the log,
// checks the settings in order, derives the engine type and block size, and creates the CSV
// file of -c (refused when it is the log file under any name). Returns true
// when the run goes on, false after the usage text (main then returns 1). Every failure
// ends the process through exitWith. Main thread, once.
bool startUp(int argc, char **argv);

#endif
