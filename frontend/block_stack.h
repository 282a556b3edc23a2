// Linux block devices built on files: what loop devices show, asked of the loop devices
// themselves, and the devices stacked on them (partitions, device-mapper volumes).
#ifndef VANTREL_FRONTEND_BLOCK_STACK_H
#define VANTREL_FRONTEND_BLOCK_STACK_H

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

// A file by what it is, whatever its names: its file system's device number and its inode.
struct FileKey {
    dev_t device;
    ino_t inode;

    bool operator==(const FileKey &other) const { return device == other.device && inode == other.inode; }
};

// How many devices deep a stack is followed: by the output guard's walk and by wholeBackingOf
// alike. A deeper stack is not followed to its end (no real stack comes near it; the limit
// only guards against one that loops).
constexpr int kMaxStackDepth = 9;

// What a walk down from one input found: the files whose data it reads, and, when some step
// could not be followed, why.
struct StackReach {
    std::vector<FileKey> files;
    bool followed = true;  // false: `files` may lack some
    std::string why;       // !followed: why the first step that stopped did ("/dev/loop7: Permission denied")
};

// The files whose data the regular file `file` brings into a run: the file itself and, when
// the file system holding it lives on a loop device or a partition of one, what that loop
// device reads (see filesBehindBlockDevice), down to the end. Thread-safe.
StackReach filesBehindFile(const FileKey &file);

// The files whose data the block device numbered `device` reads (open as `descriptor`, or -1
// when its open failed with `openError`; `name` is what messages call it): the backing file
// of every loop device below it, whatever part of the file each shows, and for every such
// file what filesBehindFile adds. A loop device (or a partition of one) is asked for its
// backing (LOOP_GET_STATUS64) on its descriptor; one that cannot be opened is known by the
// backing file that sysfs names, unless sysfs shows that name as removed. A backing that is
// itself a block device is followed down, opened through its node in /dev (the one sysfs
// names, or else the one found by its number); a device-mapper volume is followed to the
// devices it is built on (sysfs). A device that sysfs, where it is mounted, does not know
// reads nothing. Each backing is given by device and inode, never by its name, so a renamed,
// deleted or oddly named file is found all the same. Not followed to the end (`why` names the
// step): a loop device that can be neither asked nor looked up in sysfs (a lower one without a
// node in /dev, say) or whose backing sysfs names by a removed name, no sysfs below a device
// other than a loop device, a stack deeper than kMaxStackDepth. Thread-safe.
StackReach filesBehindBlockDevice(int descriptor, dev_t device, const std::string &name, int openError);

// What a block device shows whole: a loop device at offset 0 over a file shows the file from
// its start; one at offset 0 over a block device, whose size equals that device's, shows all
// of that device, and what that shows in turn, down the chain of loop devices.
struct WholeBacking {
    bool isFile;         // the chain ends at a file
    FileKey file;        // isFile: that file
    // isFile: how many bytes of the file, from its start, the device shows: its own size
    // (the loop driver's min(size limit, file size)), the same at every level of the chain.
    uint64_t shownBytes;
    dev_t device;        // !isFile: the lowest block device of the chain that is shown whole
};

// What the block device open as `descriptor` (number `device`) shows whole (see
// WholeBacking): for a plain disk, a partition, a device-mapper volume, a loop device over a
// part of its backing, or one whose size cannot be read, that device itself. At most
// kMaxStackDepth devices of a chain are asked. Thread-safe.
WholeBacking wholeBackingOf(int descriptor, dev_t device);

#endif
