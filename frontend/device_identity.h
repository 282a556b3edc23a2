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
    // A file: how many of its bytes, from its start, the name shows. The file named itself
    // shows its size; a loop device over it shows its own size, the smaller of its size limit
    // and the file's size (Linux). Not used for a device.
    uint64_t shownBytes = 0;

    // Field by field; whether two names read the same data is readSameData's question.
    bool operator==(const DeviceIdentity &other) const
    {
        return kind == other.kind && volume == other.volume && index == other.index &&
               shownBytes == other.shownBytes;
    }
    bool operator!=(const DeviceIdentity &other) const { return !(*this == other); }
};

// Whether names with the identities `a` and `b` read the same data: the same device, or the
// same file shown from its start over the same number of bytes, however each name came to
// show that many (a loop device's size limit at or above the file's size, or none). Pure.
inline bool readSameData(const DeviceIdentity &a, const DeviceIdentity &b)
{
    if (a.kind != b.kind || a.volume != b.volume || a.index != b.index) return false;
    return a.kind == DeviceIdentity::Device || a.shownBytes == b.shownBytes;
}

#endif
