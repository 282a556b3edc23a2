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
    // A file shown through a loop device with a size limit (Linux): the limit in bytes; 0
    // when the whole file is shown. A limit shows the whole file only when it is at least the
    // file's size, which the loop device cannot tell (its own size is the smaller of the two).
    uint64_t sizeLimit = 0;
    // A file named itself: its size in bytes, against which a size limit is judged; 0 when
    // not known (a file behind a loop device, or the Windows program's files).
    uint64_t fileBytes = 0;

    // Field by field; whether two names read the same data is readSameData's question.
    bool operator==(const DeviceIdentity &other) const
    {
        return kind == other.kind && volume == other.volume && index == other.index &&
               sizeLimit == other.sizeLimit && fileBytes == other.fileBytes;
    }
    bool operator!=(const DeviceIdentity &other) const { return !(*this == other); }
};

// Whether names with the identities `a` and `b` read the same data: the same device, or the
// same file shown the same way. A size limit counts as the whole file when it is at least the
// file's size as either identity knows it (the name of the file itself does); without a known
// size only equal limits match. Pure.
inline bool readSameData(const DeviceIdentity &a, const DeviceIdentity &b)
{
    if (a.kind != b.kind || a.volume != b.volume || a.index != b.index) return false;
    if (a.kind == DeviceIdentity::Device) return true;
    const uint64_t fileBytes = a.fileBytes != 0 ? a.fileBytes : b.fileBytes;
    const auto shownLimit = [fileBytes](const DeviceIdentity &name) {
        return fileBytes != 0 && name.sizeLimit >= fileBytes ? 0 : name.sizeLimit;
    };
    return shownLimit(a) == shownLimit(b);
}

#endif
