#pragma once

// Whether a folder lies on a spinning disk, from what the kernel says of its
// block device. Parallel reads there make the head jump between files.

#include <string>

namespace quelby {

// True only when the kernel calls the folder's disk rotational. Partitions
// count as their disk, device-mapper and md devices as any of their members.
// Virtual disks (virtio "vd*", Xen "xvd*") claim to rotate whatever backs
// them and count as not rotational; so does anything unknown.
bool onRotationalDisk(const std::string& folder);

} // namespace quelby
