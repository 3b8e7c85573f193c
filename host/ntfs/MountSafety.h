// Whether a device may be mounted read-write by us, and the reasons a user sees when it may not. Every check here
// reads only: a refusal comes before anything is written to the device.
#pragma once

#include <string>

namespace host {

// Where the kernel (or FUSE) has mounted `device`, or a loop device backed by it when it is an image file: true
// with the mount point in *mountPoint. Files are compared, not paths: a hard link, a symlink or a bind-mounted
// folder leading to a mounted image is refused too. Reads /proc/self/mounts and /sys/block/loop*/loop/backing_file.
bool FindKernelMount(const std::string& device, std::string* mountPoint);
// Makes FindKernelMount read `mountTable` and the loop devices under `sysBlock` instead ("" for the real ones).
void SetMountTableForTests(const std::string& mountTable, const std::string& sysBlock);

// The one-line reason a user sees when ntfs_mount refuses with `error` (an errno value).
std::string MountFailureReason(int error);

// True when the boot sector read through `fd` carries the NTFS signature; tells "not NTFS at all" apart from a
// damaged volume.
bool HasNtfsSignature(int fd);

// Empty when the device read through `fd` is at least as long as the NTFS volume its boot sector describes;
// otherwise the one-line reason. An image cut short mounts, and then fails on the first read past its end.
std::string CheckDeviceHoldsVolume(int fd);

}  // namespace host
