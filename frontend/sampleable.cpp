// Linux: opening only regular files and block devices, judged by stat before the open and
// confirmed by fstat after it.
#include "frontend/sampleable.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Why an object of the mode `mode` cannot be sampled, 0 when it can.
int refusalFor(mode_t mode)
{
    if (S_ISDIR(mode)) return EISDIR;
    if (!S_ISBLK(mode) && !S_ISREG(mode)) return ENOTBLK;
    return 0;
}

}  // namespace

int openSampleable(const std::string &path, struct stat &info)
{
    if (::stat(path.c_str(), &info) != 0) return -1;
    if (const int refusal = refusalFor(info.st_mode)) {
        errno = refusal;
        return -1;
    }
    const mode_t kind = info.st_mode & S_IFMT;
    // Without waiting: should a named pipe have taken the name since the stat, the open must
    // not block on it.
    Descriptor opened(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!opened) return -1;
    int refusal = 0;
    if (::fstat(opened.get(), &info) != 0) {
        refusal = errno;
    } else if ((info.st_mode & S_IFMT) != kind) {
        // Refused by the kind it reached; a swap to another sampleable kind is refused too.
        refusal = refusalFor(info.st_mode);
        if (refusal == 0) refusal = ENOTBLK;
    } else {
        // Back to ordinary blocking reads for the sampling.
        const int flags = ::fcntl(opened.get(), F_GETFL);
        if (flags == -1 || ::fcntl(opened.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) refusal = errno;
    }
    if (refusal != 0) {
        opened = Descriptor();
        errno = refusal;
        return -1;
    }
    return opened.release();
}

Descriptor::~Descriptor()
{
    if (descriptor_ >= 0) ::close(descriptor_);
}

Descriptor &Descriptor::operator=(Descriptor &&other) noexcept
{
    if (this != &other) {
        if (descriptor_ >= 0) ::close(descriptor_);
        descriptor_ = other.release();
    }
    return *this;
}

int Descriptor::release()
{
    const int descriptor = descriptor_;
    descriptor_ = -1;
    return descriptor;
}
