/* vantrel_engine.h - the estimation engine: samples one device through caller-served reads. */
#ifndef VANTREL_ENGINE_H
#define VANTREL_ENGINE_H

#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

/* Calling convention of the entry points and callbacks: standard-call in the
 * Windows build, the platform default everywhere else. */
#if defined(_WIN32) && !defined(_WIN64)
#define VANTREL_CALL __stdcall
#else
#define VANTREL_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Engine types: how a non-zero block is measured. Unknown codes measure like 64. */
enum EngineType {
    ENGINE_TYPE_6_4 = 64,     /* deflate level 1, one stream */
    ENGINE_TYPE_7_1 = 71,     /* deflate level 1, incompressibility hint */
    ENGINE_TYPE_7_2 = 72,     /* deflate level 103, incompressibility hint */
    ENGINE_TYPE_7_3 = 73,     /* deflate level 111 on two paced streams (default) */
    ENGINE_TYPE_11_6 = 116,   /* deflate level 103, random start offset, 512-byte output trim */
    ENGINE_TYPE_TARNEL = 300, /* card model */
    ENGINE_TYPE_ZOV = 400     /* stripe model */
};

/* The unit a deflate sample must not outgrow, in bytes: a sample spans at most this many
 * bytes divided by the block size, in whole blocks (one at the least). */
enum { ENGINE_SAMPLE_UNIT_BYTES = 67108864 };

/* Engine statuses, returned by the vantrel_read_done call that finishes the last context. */
enum EngineStatus {
    ENGINE_STATUS_WRONG_DEVICE = -1,
    ENGINE_STATUS_DONE = -2,
    ENGINE_STATUS_EARLY_STOP = -3,
    ENGINE_STATUS_ABORTED = -5,
    ENGINE_STATUS_SHORT_READ = -6,
    /* A block could not be measured: memory ran out in the engine or in its compression model.
     * The block is not counted and every context ends; the device has no figures. */
    ENGINE_STATUS_MEASURE_FAILED = -7
};

/* Statistics event codes, first argument of StatsEventCallback. */
enum StatsEvent {
    STATS_EVENT_COMPRESSION_ERROR = 639, /* a = result, b = block, c = zero samples, d = non-zero samples */
    STATS_EVENT_SAMPLE = 900,            /* a = blocks spanned, b = first block, c = bytes in, d = bytes out */
    STATS_EVENT_TWO_STREAM_SAMPLE = 1144 /* as 900, for engine type 73 */
};

/* States of one deflate measurement call. */
enum MeasureState {
    MEASURE_CLOSE = -1,           /* close the open sample without more input */
    MEASURE_SAMPLE_ENDED = 0,     /* the sample ended (or the measurement failed) */
    MEASURE_NEEDS_NEXT_BLOCK = 2  /* the block is used up; the sample goes on */
};

/* Asks the caller to read sectorCount 512-byte sectors at firstSector for context
 * `thread` and answer with vantrel_read_done. A location past the device's end asks
 * the caller to stop serving that context. The result is ignored. May be called while
 * the engine holds a context lock: it must not call into the engine. */
typedef int32_t (VANTREL_CALL *ReadRequestCallback)(uint32_t deviceId, uint64_t firstSector,
                                                    uint32_t sectorCount, uint32_t thread);

/* Reports one statistics event (see enum StatsEvent). Same restrictions as above. */
typedef void (VANTREL_CALL *StatsEventCallback)(uint32_t code, int32_t a, uint32_t b,
                                                uint32_t thread, uint32_t c, uint32_t d);

/* Logs `length` bytes of `text` (also zero-terminated) at `level` for context `thread`. */
typedef void (VANTREL_CALL *LogCallback)(const char *text, uint32_t length, uint32_t level,
                                         uint32_t thread);

/* One context's counts, filled by vantrel_get_contextStats. */
typedef struct ContextStats {
    int64_t nonZeroSamples;
    int64_t zeroSamples;
    uint64_t inputBytes;
    uint64_t compressedBytes;
    double ratioSum;
} ContextStats;

/* The final record of a device, owned by the caller. Sizes in 512-byte sectors. */
typedef struct EngineResult {
    uint64_t nonZeroSectors;
    uint64_t compressedSectors;
    uint64_t zeroSamples;
    uint64_t nonZeroSamples;
    double accuracyPercent;
    double ratioSum;
} EngineResult;

/* Stores the run parameters for the next device: the sample target, the engine type,
 * exhaustive mode, the seed (0: the current time in seconds), the block size in bytes,
 * an adjustment table (stored only), the log callback (may be null), and the card and
 * stripe model parameters. Model-backed types create their model object here (a model
 * constructor's exception passes out). Not thread-safe: call while no read is served. */
void VANTREL_CALL passGlobals(uint32_t maxNumSamples, uint32_t engineType, bool exhaustive,
                              uint64_t seed, int32_t blockSize, const double *adjustTable,
                              uint32_t adjustCount, LogCallback log, uint32_t dataCards,
                              uint32_t parityCards, uint32_t nodesPerCard, uint32_t stripeWidth);

/* Stores the read-request callback (required) and the statistics callback (may be null)
 * and the number of contexts, seeds the read-location generator, and writes the bytes of
 * memory the engine needs to *memoryNeeded (UINT32_MAX when the need does not fit 32 bits).
 * Contexts laid out before are dropped: vantrel_set_memory lays them out anew, as it must also
 * after passGlobals. Returns 0. Not thread-safe. */
int32_t VANTREL_CALL vantrel_init(ReadRequestCallback readRequest, StatsEventCallback statsEvent,
                                  uint32_t threads, uint32_t *memoryNeeded);

/* Lays the contexts out in the caller's `memory` of `size` bytes (zeroing it all) and
 * lowers the context count to what fits. Returns 0, or 1 when not even one context fits
 * (or `memory` is null); then no context exists until the next successful call. The memory
 * must be aligned as malloc aligns it and stay valid while the device is sampled.
 * Not thread-safe. */
int32_t VANTREL_CALL vantrel_set_memory(uint8_t *memory, uint32_t size);

/* Sets context `thread`'s range [firstByte, endByte) of the device, used in exhaustive
 * mode; the bounds are divided by the block size. Not thread-safe. */
void VANTREL_CALL vantrel_threads_params(int32_t thread, int64_t firstByte, int64_t endByte);

/* Starts sampling device `deviceId` of `deviceSectors` 512-byte sectors: zeroes *result
 * (which may be null), resets the counts and issues one read request per context; without
 * laid-out contexts it requests nothing. Returns 0. Not thread-safe. */
int32_t VANTREL_CALL vantrel_start(uint32_t deviceId, uint64_t deviceSectors, EngineResult *result);

/* Hands back the block read for context `thread`: readError non-zero for a failed read,
 * bytesRead bytes in `buffer`, zeroTest 0 (not zero), 1 (zero) or 2 (engine tests).
 * Returns 0, or the engine status when this call finished the last context (the final
 * record is then filled). Thread-safe across contexts; calls for one context must not
 * overlap. */
int32_t VANTREL_CALL vantrel_read_done(uint32_t deviceId, uint32_t thread, uint32_t readError,
                                       uint64_t bytesRead, const uint8_t *buffer, uint32_t zeroTest);

/* Fills *stats with context `thread`'s counts so far. For the deflate types ratioSum is the
 * context's sum of measured ratios scaled by the engine's counted over measured non-zero
 * samples, so that the contexts' ratio sums over their non-zero samples give the mean ratio of
 * the measured samples (a sample still open when its context finished has none); the final
 * record's ratioSum is scaled the same way. Thread-safe once the memory is laid out. */
void VANTREL_CALL vantrel_get_contextStats(uint32_t thread, ContextStats *stats);

/* Returns the stripe model's zero fraction (0 for the deflate types). */
double VANTREL_CALL vantrel_get_zero_savings(void);

/* Asks every context to finish at its next vantrel_read_done. Returns 0, or 3 when an
 * abort was already requested. Thread-safe. */
int32_t VANTREL_CALL vantrel_abort(uint32_t unused);

/* Does nothing; kept for callers of the full interface. */
void VANTREL_CALL vantrel_startEx(uint32_t unused1, uint32_t unused2, uint32_t unused3,
                                  uint32_t unused4);

#ifdef __cplusplus
}
#endif

#endif /* VANTREL_ENGINE_H */
