// A failing disk for the end-to-end tests: an image served by nbdkit through
// the project's plugin of a failing disk (tests/support/nbd/dying_disk.py,
// its faults as parameters) and mounted as a file by nbdfuse, so that the
// program reads it through the kernel; optionally with a read-only loop
// device over that file, the block device that a disk on USB or SATA is.
// Not on Windows.
#pragma once

#include "support/harness.h"

#include <string>

namespace harness {

class ServedDisk {
  public:
    // Serves the image with the faults ("bad=A-B bad-delay=0.1 ..."); with
    // asBlockDevice, path is a loop device over the mounted file. up is
    // false, with the reason, where FUSE, nbdkit or loop devices are not to
    // be had.
    ServedDisk(const std::string& image, const std::string& faults, bool asBlockDevice);
    ~ServedDisk();
    ServedDisk(const ServedDisk&) = delete;
    ServedDisk& operator=(const ServedDisk&) = delete;

    bool up = false;
    std::string why;
    std::string path; // what the program reads: the mounted file or the loop device

  private:
    TempDir mount;
    std::string file = mount.File("disk");
    bool mounted = false;
    std::string loop;
};

} // namespace harness
