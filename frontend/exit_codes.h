// The run's failure codes, which the exit routine (exitWith in log.h) turns into exit statuses.
#ifndef VANTREL_FRONTEND_EXIT_CODES_H
#define VANTREL_FRONTEND_EXIT_CODES_H

// Failure codes handed to exitWith. The process exits with 0 for EXIT_CODE_OK and with the
// code plus kExitStatusOffset (3 on Linux, 403 on Windows) for every other code.
enum ExitCode {
    EXIT_CODE_OK = 0,
    EXIT_CODE_BAD_OPTION = 1,         // command line, version, stripe width, log level, adjustCR
    EXIT_CODE_CSV_FILE = 7,           // the CSV file cannot be created
    EXIT_CODE_THREAD_COUNT = 8,       // -p outside 1..50
    EXIT_CODE_LOG_CREATE = 9,         // the log file cannot be created
    EXIT_CODE_LOG_OPEN = 10,          // opening the log file raised an error
    EXIT_CODE_DISK_NUMBER = 11,       // Windows: disk number not found
    EXIT_CODE_DEVICE_SIZE = 12,       // the single device cannot be sized (or read)
    EXIT_CODE_THREADS_ENDED = 13,     // every sampler thread ended before the sample target
    EXIT_CODE_IO_ERRORS = 14,         // the I/O-error limit is exceeded
    EXIT_CODE_REPORT_OUTPUT = 15,     // the report could not be written to standard output
    EXIT_CODE_BATCH_OPEN = 20,        // the batch file cannot be opened
    EXIT_CODE_BATCH_EMPTY = 21,       // the batch file is empty
    EXIT_CODE_BATCH_NO_DEVICE = 22,   // the batch file names no device
    EXIT_CODE_ENGINE_MEMORY = 23,     // the engine's memory cannot be allocated
    EXIT_CODE_NOT_ELEVATED = 30       // Windows: not running elevated
};

#endif
