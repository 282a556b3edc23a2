/* fault_inject.c - an LD_PRELOAD library that makes chosen opens, reads and allocations of the
 * program under test fail, so that its error paths run against real system calls.
 *
 * Settings, read from the environment at the first intercepted call:
 *   VANTREL_FAULT_FILE        path (exactly as the program opens it) whose opens and reads fail;
 *                             several paths are separated by ':'
 *   VANTREL_FAULT_READS       byte ranges "start-end,start-end" (end exclusive) or "all": a read
 *                             of that file starting inside a range fails with EIO
 *   VANTREL_FAULT_OPENS_FROM  n: the n-th and every later open of that file fails with EACCES
 *   VANTREL_FAULT_READ_DELAY_MS  ms: every read of that file that does not fail first sleeps
 *                             that long (a slow device, whatever the machine's speed; with
 *                             VANTREL_FAULT_READS a dying disk: its bad blocks fail at once, its
 *                             good ones take the retries' time)
 *   VANTREL_FAULT_OPENS_OFF_MAIN  1: opens of that file fail with EACCES when a thread other
 *                             than the main thread makes them (a device that goes away between
 *                             its sizing and its sampling)
 *   VANTREL_FAULT_READ_GATE   path: every read of that file first waits until a file `path`
 *                             exists (a device that stalls until the test lets it go on)
 *   VANTREL_FAULT_TRUNCATE    any value: every ftruncate of that file fails with EIO
 *   VANTREL_FAULT_MALLOC_MIN  bytes: every allocation of at least that size fails (plain builds
 *                             only; a sanitizer's allocator must not be replaced)
 *   VANTREL_FAULT_MALLOC_MAX  bytes: with VANTREL_FAULT_MALLOC_MIN, only allocations of at most
 *                             that size fail
 *   VANTREL_FAULT_MALLOC_NTH  n: the n-th allocation of the process (counted over all threads)
 *                             fails, once (plain builds only)
 *   VANTREL_FAULT_MALLOC_FROM n: the n-th and every later allocation fails: memory that is gone
 *                             for good (plain builds only)
 *   VANTREL_FAULT_MALLOC_COUNT  path: at the process's normal exit the number of allocations it
 *                             made is written to that file, so that a test can place the points
 *                             above over a whole run (plain builds only)
 *   VANTREL_FAULT_THREADS_FROM  n: the n-th and every later pthread_create fails with EAGAIN
 *                             (a task limit reached)
 *   VANTREL_FAULT_SWAP_AT_OPEN  path: the first open of `path` for writing first makes `path` a
 *                             symbolic link to VANTREL_FAULT_SWAP_TO, as another program might
 *                             between a check of the name and its open
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#define MAX_FDS 65536
#define MAX_RANGES 64

static int configured;
static const char *faultFile;
static uint64_t rangeStart[MAX_RANGES], rangeEnd[MAX_RANGES];
static int rangeCount;
static long opensFrom;
static int opensOffMain;
static size_t mallocMin;
static size_t mallocMax = SIZE_MAX;
static unsigned long mallocNth;
static unsigned long mallocFrom;
static const char *mallocCountFile;
static long threadsFrom;
static int threadCount;
static long readDelayMs;
static const char *readGate;
static int truncateFails;
static int openCount;
static const char *swapPath;
static const char *swapTarget;
static int swapped;
static unsigned char trackedFd[MAX_FDS];

static void configure(void)
{
    if (__atomic_load_n(&configured, __ATOMIC_ACQUIRE)) return;
    faultFile = getenv("VANTREL_FAULT_FILE");
    const char *reads = getenv("VANTREL_FAULT_READS");
    if (reads && strcmp(reads, "all") == 0) {
        rangeStart[0] = 0;
        rangeEnd[0] = UINT64_MAX;
        rangeCount = 1;
    } else if (reads) {
        const char *p = reads;
        while (*p && rangeCount < MAX_RANGES) {
            char *end;
            rangeStart[rangeCount] = strtoull(p, &end, 10);
            if (*end != '-') break;
            rangeEnd[rangeCount] = strtoull(end + 1, &end, 10);
            rangeCount++;
            if (*end != ',') break;
            p = end + 1;
        }
    }
    const char *from = getenv("VANTREL_FAULT_OPENS_FROM");
    opensFrom = from ? atol(from) : 0;
    const char *offMain = getenv("VANTREL_FAULT_OPENS_OFF_MAIN");
    opensOffMain = offMain && atoi(offMain) != 0;
    const char *min = getenv("VANTREL_FAULT_MALLOC_MIN");
    mallocMin = min ? (size_t)strtoull(min, 0, 10) : 0;
    const char *max = getenv("VANTREL_FAULT_MALLOC_MAX");
    if (max) mallocMax = (size_t)strtoull(max, 0, 10);
    const char *nth = getenv("VANTREL_FAULT_MALLOC_NTH");
    mallocNth = nth ? strtoul(nth, 0, 10) : 0;
    const char *mallocFromText = getenv("VANTREL_FAULT_MALLOC_FROM");
    mallocFrom = mallocFromText ? strtoul(mallocFromText, 0, 10) : 0;
    mallocCountFile = getenv("VANTREL_FAULT_MALLOC_COUNT");
    const char *threads = getenv("VANTREL_FAULT_THREADS_FROM");
    threadsFrom = threads ? atol(threads) : 0;
    const char *delay = getenv("VANTREL_FAULT_READ_DELAY_MS");
    readDelayMs = delay ? atol(delay) : 0;
    readGate = getenv("VANTREL_FAULT_READ_GATE");
    truncateFails = getenv("VANTREL_FAULT_TRUNCATE") != NULL;
    swapPath = getenv("VANTREL_FAULT_SWAP_AT_OPEN");
    swapTarget = getenv("VANTREL_FAULT_SWAP_TO");
    __atomic_store_n(&configured, 1, __ATOMIC_RELEASE);
}

/* The next definition of `name` after this library, looked up once into *slot. */
static void *next(void **slot, const char *name)
{
    void *real = __atomic_load_n(slot, __ATOMIC_ACQUIRE);
    if (!real) {
        real = dlsym(RTLD_NEXT, name);
        __atomic_store_n(slot, real, __ATOMIC_RELEASE);
    }
    return real;
}
#define NEXT(type, name) ({ static void *slot_; (type)next(&slot_, name); })

static int isFaultFile(const char *path)
{
    configure();
    if (!faultFile || !path) return 0;
    const size_t length = strlen(path);
    for (const char *p = faultFile;;) {
        const char *end = strchr(p, ':');
        const size_t n = end ? (size_t)(end - p) : strlen(p);
        if (n == length && strncmp(p, path, n) == 0) return 1;
        if (!end) return 0;
        p = end + 1;
    }
}

/* Counts an open of the fault file; non-zero when this open must fail. */
static int openMustFail(const char *path)
{
    if (!isFaultFile(path)) return 0;
    if (opensOffMain && syscall(SYS_gettid) != getpid()) {
        errno = EACCES;
        return 1;
    }
    const int n = __atomic_add_fetch(&openCount, 1, __ATOMIC_SEQ_CST);
    if (opensFrom > 0 && n >= opensFrom) {
        errno = EACCES;
        return 1;
    }
    return 0;
}

static int track(const char *path, int fd)
{
    if (fd >= 0 && fd < MAX_FDS && isFaultFile(path)) __atomic_store_n(&trackedFd[fd], 1, __ATOMIC_SEQ_CST);
    return fd;
}

static int isTracked(int fd)
{
    return fd >= 0 && fd < MAX_FDS && __atomic_load_n(&trackedFd[fd], __ATOMIC_SEQ_CST);
}

static void pauseMs(long ms)
{
    struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

/* Before a read of the fault file: waits for the gate to open. */
static void gateRead(int fd)
{
    if (!isTracked(fd) || !readGate) return;
    const int saved = errno;
    while (access(readGate, F_OK) != 0) pauseMs(10);
    errno = saved;
}

/* Before a read of the fault file that does not fail: sleeps the read delay. */
static void delayRead(int fd)
{
    if (isTracked(fd) && readDelayMs > 0) pauseMs(readDelayMs);
}

static int readMustFail(int fd, off_t offset)
{
    if (!isTracked(fd)) return 0;
    if (offset < 0) return 0;
    for (int i = 0; i < rangeCount; i++) {
        if ((uint64_t)offset >= rangeStart[i] && (uint64_t)offset < rangeEnd[i]) {
            errno = EIO;
            return 1;
        }
    }
    return 0;
}

static mode_t modeArgument(int flags, va_list args)
{
    return (flags & (O_CREAT | O_TMPFILE)) ? (mode_t)va_arg(args, int) : 0;
}

/* Before the first open of the swap path for writing: the name becomes a link to the target. */
static void swapBeforeOpen(const char *path, int flags)
{
    configure();
    if (!swapPath || !swapTarget || !path || strcmp(path, swapPath) != 0) return;
    if ((flags & O_ACCMODE) == O_RDONLY || __atomic_exchange_n(&swapped, 1, __ATOMIC_ACQ_REL)) return;
    unlink(swapPath);
    if (symlink(swapTarget, swapPath) != 0) perror("fault_inject: symlink");
}

/* The mode argument of an open call, present only when the flags create a file. */
#define OPEN_MODE(flags)                                                           \
    ({                                                                             \
        va_list args_;                                                             \
        va_start(args_, flags);                                                    \
        const mode_t mode_ = modeArgument(flags, args_);                           \
        va_end(args_);                                                             \
        mode_;                                                                     \
    })

#define DEFINE_OPEN(name)                                                          \
    int name(const char *path, int flags, ...)                                     \
    {                                                                              \
        const mode_t mode = OPEN_MODE(flags);                                      \
        if (openMustFail(path)) return -1;                                         \
        swapBeforeOpen(path, flags);                                               \
        return track(path, NEXT(int (*)(const char *, int, ...), #name)(path, flags, mode)); \
    }
DEFINE_OPEN(open)
DEFINE_OPEN(open64)

#define DEFINE_OPENAT(name)                                                        \
    int name(int dir, const char *path, int flags, ...)                            \
    {                                                                              \
        const mode_t mode = OPEN_MODE(flags);                                      \
        if (openMustFail(path)) return -1;                                         \
        swapBeforeOpen(path, flags);                                               \
        return track(path, NEXT(int (*)(int, const char *, int, ...), #name)(dir, path, flags, mode)); \
    }
DEFINE_OPENAT(openat)
DEFINE_OPENAT(openat64)

#define DEFINE_FOPEN(name)                                                         \
    FILE *name(const char *path, const char *mode)                                 \
    {                                                                              \
        if (openMustFail(path)) return NULL;                                       \
        FILE *(*real)(const char *, const char *) = NEXT(FILE * (*)(const char *, const char *), #name); \
        FILE *file = real(path, mode);                                             \
        if (file) track(path, fileno(file));                                       \
        return file;                                                               \
    }
DEFINE_FOPEN(fopen)
DEFINE_FOPEN(fopen64)

ssize_t read(int fd, void *buffer, size_t count)
{
    configure();
    ssize_t (*real)(int, void *, size_t) = NEXT(ssize_t (*)(int, void *, size_t), "read");
    gateRead(fd);
    if (rangeCount > 0) {
        off_t (*realSeek)(int, off_t, int) = NEXT(off_t (*)(int, off_t, int), "lseek");
        if (readMustFail(fd, realSeek(fd, 0, SEEK_CUR))) return -1;
    }
    delayRead(fd);
    return real(fd, buffer, count);
}

#define DEFINE_PREAD(name)                                                         \
    ssize_t name(int fd, void *buffer, size_t count, off_t offset)                 \
    {                                                                              \
        configure();                                                               \
        gateRead(fd);                                                              \
        if (readMustFail(fd, offset)) return -1;                                   \
        delayRead(fd);                                                             \
        ssize_t (*real)(int, void *, size_t, off_t) = NEXT(ssize_t (*)(int, void *, size_t, off_t), #name); \
        return real(fd, buffer, count, offset);                                    \
    }
DEFINE_PREAD(pread)
DEFINE_PREAD(pread64)

#define DEFINE_FTRUNCATE(name)                                                     \
    int name(int fd, off_t length)                                                 \
    {                                                                              \
        configure();                                                               \
        if (truncateFails && isTracked(fd)) {                                      \
            errno = EIO;                                                           \
            return -1;                                                             \
        }                                                                          \
        return NEXT(int (*)(int, off_t), #name)(fd, length);                       \
    }
DEFINE_FTRUNCATE(ftruncate)
DEFINE_FTRUNCATE(ftruncate64)

int close(int fd)
{
    if (fd >= 0 && fd < MAX_FDS) __atomic_store_n(&trackedFd[fd], 0, __ATOMIC_SEQ_CST);
    int (*real)(int) = NEXT(int (*)(int), "close");
    return real(fd);
}

int pthread_create(pthread_t *thread, const pthread_attr_t *attributes, void *(*body)(void *), void *argument)
{
    configure();
    if (threadsFrom > 0 && __atomic_add_fetch(&threadCount, 1, __ATOMIC_SEQ_CST) >= threadsFrom) return EAGAIN;
    int (*real)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *) =
        NEXT(int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *), "pthread_create");
    return real(thread, attributes, body, argument);
}

#ifdef VANTREL_FAULT_MALLOC
/* glibc's own allocator entry points: calling them avoids dlsym, which allocates itself. */
extern void *__libc_malloc(size_t size);

static unsigned long mallocCount;

void *malloc(size_t size)
{
    configure();
    const unsigned long n = __atomic_add_fetch(&mallocCount, 1, __ATOMIC_SEQ_CST);
    if ((mallocMin > 0 && size >= mallocMin && size <= mallocMax) || n == mallocNth ||
        (mallocFrom > 0 && n >= mallocFrom)) {
        errno = ENOMEM;
        return NULL;
    }
    return __libc_malloc(size);
}

/* Writes the allocation count with plain system calls: nothing here may allocate. */
__attribute__((destructor)) static void writeMallocCount(void)
{
    configure();
    if (!mallocCountFile) return;
    const int fd = (int)syscall(SYS_openat, AT_FDCWD, mallocCountFile, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return;
    char text[32];
    const int length = snprintf(text, sizeof text, "%lu\n", __atomic_load_n(&mallocCount, __ATOMIC_SEQ_CST));
    if (length > 0) (void)!write(fd, text, (size_t)length);
    syscall(SYS_close, fd);
}
#endif
