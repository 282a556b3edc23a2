// Windows device-namespace names: which names of the log, CSV and batch files reach a device.
#ifndef VANTREL_WINDOWS_DEVICE_NAMES_H
#define VANTREL_WINDOWS_DEVICE_NAMES_H

#include <string>

// Whether `name` lies in the device namespace (it starts with \\.\, \\?\ or \??\, whatever
// its slashes, forward, back or mixed) and does not name a file there. The namespace also
// holds ordinary files, and these names are not devices: a file on a drive letter, on a
// volume by its GUID or on a network share (\\?\C:\dir\file.log, \\?\Volume{GUID}\file.log,
// \\?\UNC\server\share\file.log), a named pipe (\\.\pipe\name), the null device and the
// console (\\.\NUL, \\?\CON). Every other name in it is a device: a drive or volume itself
// (\\.\C:, \\?\Volume{GUID}), a disk or partition (PhysicalDriveN, HarddiskNPartitionM,
// HarddiskVolumeN, CdRomN, TapeN...) and anything under GLOBALROOT; so is a name with a
// component of dots alone (".", ".."), which may climb back to the device. A device this
// list does not know is thus refused too. Names outside the namespace (C:\file.log, NUL)
// are never devices here. Pure; thread-safe.
bool isDeviceNamespaceName(const std::wstring &name);

#endif
