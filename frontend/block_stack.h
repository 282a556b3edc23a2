// Linux block devices built on files: the files behind a loop device and behind the devices
// stacked on loop devices, read from sysfs.
#ifndef VANTREL_FRONTEND_BLOCK_STACK_H
#define VANTREL_FRONTEND_BLOCK_STACK_H

#include <string>
#include <sys/types.h>
#include <vector>

// The files whose data the block device `device` reads: the backing file of a loop device
// (or of the loop device a partition belongs to), and those of the devices it is built on
// (its slaves, as for a device-mapper volume over loop devices). Empty for a plain disk or
// when sysfs cannot be read. Thread-safe.
std::vector<std::string> filesBehindBlockDevice(dev_t device);

// The backing file of the loop device `device` when the device shows that whole file (no
// offset and no size limit), so that both read the same data; "" for any other device.
// Thread-safe.
std::string wholeFileOfLoop(dev_t device);

#endif
