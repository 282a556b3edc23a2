// Linux block devices built on files: what loop devices show, asked of the loop devices
// themselves, and the devices stacked on them (partitions, device-mapper volumes).
#ifndef VANTREL_FRONTEND_BLOCK_STACK_H
#define VANTREL_FRONTEND_BLOCK_STACK_H

#include <cstdint>
#include <sys/types.h>
#include <vector>

// A file by what it is, whatever its names: its file system's device number and its inode.
struct FileKey {
    dev_t device;
    ino_t inode;

    bool operator==(const FileKey &other) const { return device == other.device && inode == other.inode; }
};

// The files whose data the block device open as `descriptor` (number `device`) reads: the
// backing file of every loop device below it, whatever part of the file each shows. A loop
// device (or a partition of one) is asked for its backing file (LOOP_GET_STATUS64), and a
// backing that is itself a block device is followed down; a device-mapper volume is followed
// to the devices it is built on (sysfs). Each backing is given by device and inode, never by
// its name, so a renamed, deleted or oddly named file is found all the same. Empty for a
// plain disk. Thread-safe.
std::vector<FileKey> filesBehindBlockDevice(int descriptor, dev_t device);

// What a block device shows whole: a loop device that shows all of what it is built on (offset
// 0; over a block device no size limit or one at least that device's size) shows what that
// shows, down the chain of loop devices.
struct WholeBacking {
    bool isFile;         // the chain ends at a file
    FileKey file;        // isFile: that file
    // isFile: the size limit of the loop device over the file, 0 for none. A limit shows the
    // whole file only when it is at least the file's size, which the loop device cannot tell:
    // its own size is the smaller of the two. The caller compares it with the file's own size.
    uint64_t sizeLimit;
    dev_t device;        // !isFile: the lowest block device of the chain that is shown whole
};

// What the block device open as `descriptor` (number `device`) shows whole (see
// WholeBacking): for a plain disk, a partition, a device-mapper volume or a loop device over a
// part of its backing, that device itself. Thread-safe.
WholeBacking wholeBackingOf(int descriptor, dev_t device);

#endif
