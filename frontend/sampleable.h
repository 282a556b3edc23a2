// Linux: opening only what can be sampled (regular files and block devices), decided before
// anything is opened.
#ifndef VANTREL_FRONTEND_SAMPLEABLE_H
#define VANTREL_FRONTEND_SAMPLEABLE_H

#include <string>
#include <sys/stat.h>

// Opens `path` read-only and returns the descriptor, with the open object's fstat in `info`,
// when the name reaches a regular file or a block device. Anything else is refused from its
// type (stat) without being opened, so that opening has no side effect on it (a writer waiting
// on a named pipe stays waiting, a tape is not rewound): -1 with errno EISDIR for a directory,
// ENOTBLK for a pipe, socket or character device, or stat's own error. A name that reaches
// another kind of object at the open than at the stat (swapped in between) is closed again and
// refused the same way, by the kind it reached (ENOTBLK when that kind could be sampled). The
// open does not wait, and the descriptor reads in the ordinary blocking way. Thread-safe.
int openSampleable(const std::string &path, struct stat &info);

// An open descriptor, closed when this goes; -1 holds none. Never copied.
class Descriptor {
public:
    explicit Descriptor(int descriptor = -1) : descriptor_(descriptor) {}
    ~Descriptor();
    Descriptor(Descriptor &&other) noexcept : descriptor_(other.release()) {}
    Descriptor &operator=(Descriptor &&other) noexcept;
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;

    int get() const { return descriptor_; }
    explicit operator bool() const { return descriptor_ >= 0; }
    // Hands the descriptor over without closing it.
    int release();

private:
    int descriptor_;
};

#endif
