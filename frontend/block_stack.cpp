// Linux block devices built on files: loop devices asked through LOOP_GET_STATUS64, the
// devices stacked on them followed through sysfs, and the loop devices that hold the file
// systems of the files found.
#include "frontend/block_stack.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
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

// A partition's data belongs to its whole device: the folder above it. Empty for an empty
// `folder` (no sysfs).
fs::path wholeDeviceFolder(const fs::path &folder)
{
    return !folder.empty() && isThere(folder / "partition") ? folder.parent_path() : folder;
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

// Whether sysfs is mounted: then a device number it does not know has no device behind it.
bool sysfsMounted()
{
    return isThere("/sys/dev/block");
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

// The node in /dev that sysfs names for the block device numbered `device`; empty when none.
fs::path nodeNamedBySysfs(dev_t device)
{
    const fs::path folder = sysfsFolder(device);
    std::ifstream uevent(folder.empty() ? fs::path() : folder / "uevent");
    const std::string key = "DEVNAME=";
    for (std::string line; std::getline(uevent, line);) {
        if (line.compare(0, key.size(), key) == 0) return "/dev/" + line.substr(key.size());
    }
    return fs::path();
}

// A lower device of a stack as the walk opened it.
struct OpenedDevice {
    Descriptor descriptor;  // none when it could not be opened
    std::string name;       // its node, or its number where it has none
    std::string unopened;   // !descriptor: why, as a refusal gives the reason
};

// Opens `node` into `opened` when it is the block device numbered `device`, and says whether
// it did. A node that is missing, or is that device but does not open, names it, with why.
bool openNode(const fs::path &node, dev_t device, OpenedDevice &opened)
{
    if (node.empty()) return false;
    struct stat info;
    if (::stat(node.c_str(), &info) != 0) {
        opened.name = node;
        opened.unopened = node.string() + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISBLK(info.st_mode) || info.st_rdev != device) return false;
    opened.name = node;
    Descriptor descriptor(openSampleable(node, info));
    // A node that became another object at its open is refused like one that never opened.
    const int openError = !descriptor ? errno : ENOTBLK;
    if (descriptor && S_ISBLK(info.st_mode) && info.st_rdev == device) {
        opened.descriptor = std::move(descriptor);
        return true;
    }
    opened.unopened = node.string() + ": " + std::strerror(openError);
    return false;
}

// Opens the block device numbered `device` through its node in /dev: the one sysfs names, or
// else the one found by its number. No descriptor unless the node opens and is that very
// device.
OpenedDevice openNumbered(dev_t device)
{
    const std::string number = std::to_string(major(device)) + ":" + std::to_string(minor(device));
    OpenedDevice opened{Descriptor(), "device " + number, "no node in /dev for device " + number};
    const fs::path named = nodeNamedBySysfs(device);
    if (openNode(named, device, opened)) return opened;
    const fs::path found = nodeByNumber(device);
    if (found != named) openNode(found, device, opened);
    return opened;
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

bool endsWith(const std::string &text, const std::string &end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// One walk down from an input to every file whose data it reads. A step that cannot be
// followed stops its own branch only: the others are still walked, so that every file that
// can be learnt is (reading a file is a refusal of its own).
class StackWalk {
public:
    StackReach reach;

    // Adds the regular file `file` and, when its file system lives on a loop device or a
    // partition of one, what that device reads, as the device `depth` levels down the walk.
    // Other devices' file systems are not followed: an ordinary disk reads no file.
    void followFile(const FileKey &file, int depth);

    // Adds what the block device numbered `device`, `depth` levels down the walk, reads. It is
    // open as `descriptor`, or -1 when it could not be opened, for the reason `unopened`;
    // `name` is what reasons call it.
    void followDevice(int descriptor, dev_t device, const std::string &name, const std::string &unopened,
                      int depth);

private:
    // followDevice on the device numbered `device`, opened through its node in /dev.
    void followNumbered(dev_t device, int depth);
    // What the device-mapper volume or other device whose whole device's sysfs folder is
    // `whole` (empty without sysfs) is built on.
    void followSlaves(const fs::path &whole, const std::string &name, int depth);
    // The backing of the loop device whose sysfs folder is `whole`, as sysfs names it, for a
    // loop device that cannot be asked (for the reason `unasked`).
    void followNamedBacking(const fs::path &whole, const std::string &name, const std::string &unasked, int depth);
    // Records that a step could not be followed; the first reason is the one given.
    void stop(const std::string &why);
};

void StackWalk::followFile(const FileKey &file, int depth)
{
    // A file already found has been followed.
    if (std::find(reach.files.begin(), reach.files.end(), file) != reach.files.end()) return;
    reach.files.push_back(file);
    if (isLoopDevice(file.device, wholeDeviceFolder(sysfsFolder(file.device)))) {
        followNumbered(file.device, depth);
    }
}

void StackWalk::followDevice(int descriptor, dev_t device, const std::string &name, const std::string &unopened,
                             int depth)
{
    static_assert(kMaxStackDepth == 9, "the reason below gives the limit in words");
    if (depth >= kMaxStackDepth) {
        stop("a stack more than nine devices deep");
        return;
    }
    const fs::path folder = sysfsFolder(device);
    // A number that sysfs does not know has no device behind it (a node of a removed disk).
    if (folder.empty() && sysfsMounted()) return;
    const fs::path whole = wholeDeviceFolder(folder);
    if (!isLoopDevice(device, whole)) {
        followSlaves(whole, name, depth);
        return;
    }
    loop_info64 status{};
    if (descriptor >= 0 && ::ioctl(descriptor, LOOP_GET_STATUS64, &status) == 0) {
        const FileKey backing{fromKernelNumber(status.lo_device), ino_t(status.lo_inode)};
        if (status.lo_rdevice == 0) {
            followFile(backing, depth + 1);
        } else {
            // The node the lower device was attached by; what it reads is the lower device's.
            reach.files.push_back(backing);
            followNumbered(fromKernelNumber(status.lo_rdevice), depth + 1);
        }
        return;
    }
    // A loop device without a backing answers ENXIO: it reads nothing.
    if (descriptor >= 0 && errno == ENXIO) return;
    followNamedBacking(whole, name, descriptor >= 0 ? name + ": " + std::strerror(errno) : unopened, depth);
}

void StackWalk::followNumbered(dev_t device, int depth)
{
    const OpenedDevice opened = openNumbered(device);
    followDevice(opened.descriptor.get(), device, opened.name, opened.unopened, depth);
}

void StackWalk::followSlaves(const fs::path &whole, const std::string &name, int depth)
{
    // Without sysfs nothing tells what a device-mapper volume or such is built on.
    if (whole.empty()) {
        stop("no sysfs to tell what " + name + " is built on");
        return;
    }
    std::error_code error;
    for (fs::directory_iterator slave(whole / "slaves", error), end; !error && slave != end; slave.increment(error)) {
        std::error_code unresolved;
        const std::optional<dev_t> below = numberOf(fs::canonical(slave->path(), unresolved));
        if (below) {
            followNumbered(*below, depth + 1);
        } else {
            stop("sysfs does not tell which device " + slave->path().filename().string() + " below " + name + " is");
        }
    }
}

void StackWalk::followNamedBacking(const fs::path &whole, const std::string &name, const std::string &unasked,
                                   int depth)
{
    // An unbound loop device has no backing_file: it reads nothing.
    if (!whole.empty() && isThere(whole / "loop") && !isThere(whole / "loop" / "backing_file")) return;
    const std::string backingName = whole.empty() ? std::string() : attributeValue(whole / "loop" / "backing_file");
    if (backingName.empty()) {
        stop(unasked);
        return;
    }
    // A name is not an identity: the kernel shows the name of a file whose name was removed
    // with this ending, while the file may live on under another name and that ending may name
    // another file.
    if (endsWith(backingName, " (deleted)")) {
        stop("the name of the backing file of " + name + " was removed");
        return;
    }
    struct stat backing;
    if (::stat(backingName.c_str(), &backing) != 0) {
        stop("the backing file of " + name + " as sysfs names it: " + std::strerror(errno));
    } else if (S_ISREG(backing.st_mode)) {
        followFile({backing.st_dev, backing.st_ino}, depth + 1);
    } else if (S_ISBLK(backing.st_mode)) {
        followNumbered(backing.st_rdev, depth + 1);
    } else {
        stop("the backing file of " + name + " as sysfs names it is neither a file nor a block device");
    }
}

void StackWalk::stop(const std::string &why)
{
    if (!reach.followed) return;
    reach.followed = false;
    reach.why = why;
}

}  // namespace

StackReach filesBehindFile(const FileKey &file)
{
    StackWalk walk;
    walk.followFile(file, 0);
    return walk.reach;
}

StackReach filesBehindBlockDevice(int descriptor, dev_t device, const std::string &name, int openError)
{
    StackWalk walk;
    const std::string unopened = descriptor >= 0 ? std::string() : name + ": " + std::strerror(openError);
    walk.followDevice(descriptor, device, name, unopened, 0);
    return walk.reach;
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
        Descriptor next = std::move(openNumbered(lower).descriptor);
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
