// Linux block devices built on files: loop devices asked through LOOP_GET_STATUS64, and the
// devices stacked on them followed through sysfs.
#include "frontend/block_stack.h"

#include <filesystem>
#include <fstream>
#include <linux/fs.h>
#include <linux/loop.h>
#include <optional>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "frontend/sampleable.h"

namespace fs = std::filesystem;

namespace {

// Stacks are a few devices deep; the limit only guards against a stack that loops.
constexpr int kMaxStackDepth = 8;

// The sysfs folder of the block device `device`, or an empty path.
fs::path sysfsFolder(dev_t device)
{
    const fs::path link =
        "/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
    std::error_code error;
    return fs::canonical(link, error);
}

// The first line of a sysfs attribute, "" when it cannot be read.
std::string firstLine(const fs::path &file)
{
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

bool isThere(const fs::path &path)
{
    std::error_code error;
    return fs::exists(path, error);
}

// A partition's data belongs to its whole device: the folder above it.
fs::path wholeDeviceFolder(const fs::path &folder)
{
    return isThere(folder / "partition") ? folder.parent_path() : folder;
}

// Whether the sysfs folder `whole` is a loop device's. Only then is a loop request sent: the
// loop driver answers it for the device and for its partitions alike, and no other driver is
// asked something it might read otherwise.
bool isLoopDevice(const fs::path &whole)
{
    return !whole.empty() && isThere(whole / "loop");
}

// A device number in the kernel's encoding (as the loop driver reports numbers) as a dev_t.
dev_t fromKernelNumber(uint64_t number)
{
    return makedev(unsigned((number >> 8) & 0xfff), unsigned((number & 0xff) | ((number >> 12) & 0xfff00)));
}

// The device number of a sysfs folder's "dev" attribute ("major:minor"); none when unreadable.
std::optional<dev_t> numberOf(const fs::path &folder)
{
    unsigned majorNumber = 0, minorNumber = 0;
    char colon = 0;
    std::ifstream in(folder / "dev");
    if (!(in >> majorNumber >> colon >> minorNumber) || colon != ':') return std::nullopt;
    return makedev(majorNumber, minorNumber);
}

// Opens the block device numbered `device` through its node in /dev, which sysfs names;
// none unless the node opens and is that very device.
Descriptor openNumbered(dev_t device)
{
    const fs::path folder = sysfsFolder(device);
    if (folder.empty()) return Descriptor();
    std::ifstream uevent(folder / "uevent");
    const std::string key = "DEVNAME=";
    for (std::string line; std::getline(uevent, line);) {
        if (line.compare(0, key.size(), key) != 0) continue;
        struct stat info;
        Descriptor node(openSampleable("/dev/" + line.substr(key.size()), info));
        if (node && S_ISBLK(info.st_mode) && info.st_rdev == device) return node;
        break;
    }
    return Descriptor();
}

// The loop driver's account of the loop device open as `descriptor`; none when it has no
// backing file.
std::optional<loop_info64> loopStatus(int descriptor)
{
    loop_info64 status{};
    if (descriptor < 0 || ::ioctl(descriptor, LOOP_GET_STATUS64, &status) != 0) return std::nullopt;
    return status;
}

uint64_t deviceBytes(int descriptor)
{
    uint64_t bytes = 0;
    return ::ioctl(descriptor, BLKGETSIZE64, &bytes) == 0 ? bytes : 0;
}

void collectFiles(int descriptor, dev_t device, int depth, std::vector<FileKey> &files)
{
    if (depth > kMaxStackDepth) return;
    const fs::path whole = wholeDeviceFolder(sysfsFolder(device));
    if (whole.empty()) return;
    if (isLoopDevice(whole)) {
        if (const std::optional<loop_info64> status = loopStatus(descriptor)) {
            files.push_back({fromKernelNumber(status->lo_device), ino_t(status->lo_inode)});
            if (status->lo_rdevice != 0) {
                const dev_t below = fromKernelNumber(status->lo_rdevice);
                collectFiles(openNumbered(below).get(), below, depth + 1, files);
            }
        } else if (descriptor < 0) {
            // A loop device that cannot be opened to ask: the file sysfs names for it, at least.
            struct stat backing;
            const std::string name = firstLine(whole / "loop" / "backing_file");
            if (!name.empty() && ::stat(name.c_str(), &backing) == 0) files.push_back({backing.st_dev, backing.st_ino});
        }
        return;
    }
    std::error_code error;
    for (fs::directory_iterator slave(whole / "slaves", error), end; !error && slave != end;
         slave.increment(error)) {
        std::error_code unresolved;
        if (const std::optional<dev_t> below = numberOf(fs::canonical(slave->path(), unresolved))) {
            collectFiles(openNumbered(*below).get(), *below, depth + 1, files);
        }
    }
}

}  // namespace

std::vector<FileKey> filesBehindBlockDevice(int descriptor, dev_t device)
{
    std::vector<FileKey> files;
    collectFiles(descriptor, device, 0, files);
    return files;
}

WholeBacking wholeBackingOf(int descriptor, dev_t device)
{
    WholeBacking shown{false, {}, 0, device};
    // A level of the chain is shown whole only when it has this size, so every level has it.
    const uint64_t bytes = deviceBytes(descriptor);
    if (bytes == 0) return shown;
    Descriptor below;  // the lower device being asked, open until the next one is
    for (int depth = 0; depth < kMaxStackDepth; ++depth) {
        // A partition of a loop device is answered for as its whole loop device: never asked.
        const fs::path folder = sysfsFolder(shown.device);
        if (!isLoopDevice(folder) || isThere(folder / "partition")) return shown;
        const std::optional<loop_info64> status = loopStatus(descriptor);
        if (!status || status->lo_offset != 0) return shown;
        if (status->lo_rdevice == 0) {
            return {true, {fromKernelNumber(status->lo_device), ino_t(status->lo_inode)}, bytes, 0};
        }
        const dev_t lower = fromKernelNumber(status->lo_rdevice);
        Descriptor next = openNumbered(lower);
        if (!next) {
            // Without a limit it shows all of the lower device, which cannot be asked further.
            if (status->lo_sizelimit == 0) shown.device = lower;
            return shown;
        }
        if (deviceBytes(next.get()) != bytes) return shown;
        shown.device = lower;
        below = std::move(next);
        descriptor = below.get();
    }
    return shown;
}
