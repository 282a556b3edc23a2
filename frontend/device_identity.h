// Device identity: what a device name reaches, so that one device under several names is known.
#ifndef VANTREL_FRONTEND_DEVICE_IDENTITY_H
#define VANTREL_FRONTEND_DEVICE_IDENTITY_H

#include <cstdint>

// The file or device behind a name. Two names with equal identities read the same data.
struct DeviceIdentity {
    enum Kind { File, Device } kind;
    // A file: its file system (Linux st_dev, Windows volume serial number) and its number
    // there (inode, file index). A device: Linux its device number and 0; Windows its device
    // type and disk number, and its partition number.
    uint64_t volume;
    uint64_t index;

    bool operator==(const DeviceIdentity &other) const
    {
        return kind == other.kind && volume == other.volume && index == other.index;
    }
    bool operator!=(const DeviceIdentity &other) const { return !(*this == other); }
};

#endif
