// Linux block devices built on files: loop devices asked through LOOP_GET_STATUS64, and the
// devices stacked on them followed through sysfs.
#include "frontend/block_stack.h"

#include <filesystem>
#include <fstream>
#include <iterator>
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

// A sysfs attribute's value: what it holds without the newline that ends it ("" when it cannot
// be read). A value may hold newlines of its own: a file name may.
std::string attributeValue(const fs::path &file)
{
    std::ifstream in(file, std::ios::binary);
    std::string value{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (!value.empty() && value.back() == '\n') value.pop_back();
    return value;
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

// Loop devices carry the loop driver's major number; their partitions may carry the
// extended one (259), which only sysfs can tell apart.
constexpr unsigned kLoopMajor = 7;

// Whether the block device numbered `device`, whose whole device's sysfs folder is `whole`
// (empty without sysfs), is a loop device. Only then is a loop request sent: the loop driver
// answers it for the device and for its partitions alike, and no other driver is asked
// something it might read otherwise.
bool isLoopDevice(dev_t device, const fs::path &whole)
{
    return major(device) == kLoopMajor || (!whole.empty() && isThere(whole / "loop"));
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

// Opens `node` when it is the block device numbered `device`; none otherwise.
Descriptor openIfNumbered(const fs::path &node, dev_t device)
{
    struct stat info;
    if (::stat(node.c_str(), &info) != 0 || !S_ISBLK(info.st_mode) || info.st_rdev != device) {
        return Descriptor();
    }
    Descriptor opened(openSampleable(node, info));
    if (opened && S_ISBLK(info.st_mode) && info.st_rdev == device) return opened;
    return Descriptor();
}

// The node in /dev of the block device numbered `device`, searched for by number in /dev and
// its folders one level down (/dev/mapper, say), for a system without sysfs; empty when none.
fs::path nodeByNumber(dev_t device)
{
    std::error_code error;
    for (fs::recursive_directory_iterator entry("/dev", error), end; !error && entry != end;
         entry.increment(error)) {
        if (entry.depth() > 0) entry.disable_recursion_pending();
        struct stat info;
        if (::lstat(entry->path().c_str(), &info) == 0 && S_ISBLK(info.st_mode) && info.st_rdev == device) {
            return entry->path();
        }
    }
    return fs::path();
}

// Opens the block device numbered `device` through its node in /dev: the one sysfs names, or
// else the one found by its number. None unless the node opens and is that very device.
Descriptor openNumbered(dev_t device)
{
    const fs::path folder = sysfsFolder(device);
    std::ifstream uevent(folder.empty() ? fs::path() : folder / "uevent");
    const std::string key = "DEVNAME=";
    for (std::string line; std::getline(uevent, line);) {
        if (line.compare(0, key.size(), key) == 0) {
            if (Descriptor node = openIfNumbered("/dev/" + line.substr(key.size()), device)) return node;
            break;
        }
    }
    const fs::path node = nodeByNumber(device);
    return node.empty() ? Descriptor() : openIfNumbered(node, device);
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

bool collectFiles(int descriptor, dev_t device, int depth, std::vector<FileKey> &files);

// Follows the block device `backing` (a loop device's backing, or a device-mapper volume's
// slave) down: collectFiles on it, opened through its node where one is found.
bool collectBelow(dev_t backing, int depth, std::vector<FileKey> &files)
{
    const Descriptor below = openNumbered(backing);
    return collectFiles(below.get(), backing, depth + 1, files);
}

// The backing of the loop device whose sysfs folder is `whole`, as sysfs names it, for a loop
// device that cannot be opened and asked. A name is not an identity (the file may have been
// renamed since, its name is shown with " (deleted)"), so only a name that still reaches a
// file or block device counts. False when the backing cannot be known this way.
bool collectNamedBacking(const fs::path &whole, int depth, std::vector<FileKey> &files)
{
    if (whole.empty()) return false;
    // An unbound loop device has no loop folder's backing_file: it reads nothing.
    if (isThere(whole / "loop") && !isThere(whole / "loop" / "backing_file")) return true;
    const std::string name = attributeValue(whole / "loop" / "backing_file");
    struct stat backing;
    if (name.empty() || ::stat(name.c_str(), &backing) != 0) return false;
    if (S_ISREG(backing.st_mode)) {
        files.push_back({backing.st_dev, backing.st_ino});
        return true;
    }
    return S_ISBLK(backing.st_mode) && collectBelow(backing.st_rdev, depth, files);
}

// Adds to `files` the backing file of every loop device at and below the block device
// numbered `device` (open as `descriptor`, -1 when it could not be opened). Returns false when
// the chain could not be followed to its end: a device that cannot be asked, no sysfs to tell
// what a device other than a loop device is built on, or a stack deeper than kMaxStackDepth.
bool collectFiles(int descriptor, dev_t device, int depth, std::vector<FileKey> &files)
{
    if (depth > kMaxStackDepth) return false;
    const fs::path folder = sysfsFolder(device);
    const fs::path whole = folder.empty() ? folder : wholeDeviceFolder(folder);
    if (!isLoopDevice(device, whole)) {
        // Without sysfs nothing tells what a device-mapper volume or such is built on.
        if (whole.empty()) return false;
        std::error_code error;
        bool followed = true;
        for (fs::directory_iterator slave(whole / "slaves", error), end; !error && slave != end;
             slave.increment(error)) {
            std::error_code unresolved;
            const std::optional<dev_t> below = numberOf(fs::canonical(slave->path(), unresolved));
            followed = below && collectBelow(*below, depth, files) && followed;
        }
        return followed;
    }
    loop_info64 status{};
    if (descriptor >= 0 && ::ioctl(descriptor, LOOP_GET_STATUS64, &status) == 0) {
        files.push_back({fromKernelNumber(status.lo_device), ino_t(status.lo_inode)});
        return status.lo_rdevice == 0 || collectBelow(fromKernelNumber(status.lo_rdevice), depth, files);
    }
    // A loop device without a backing answers ENXIO: it reads nothing.
    if (descriptor >= 0 && errno == ENXIO) return true;
    return collectNamedBacking(whole, depth, files);
}

}  // namespace

bool filesBehindBlockDevice(int descriptor, dev_t device, std::vector<FileKey> &files)
{
    return collectFiles(descriptor, device, 0, files);
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
        if (!isLoopDevice(shown.device, folder) || isThere(folder / "partition")) return shown;
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
