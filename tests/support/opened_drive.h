// Drives opened for tests that call the drive's classes directly.
#pragma once

#include "drive/drive.h"

#include <string>

namespace harness {

// A session opened on the drive or image at path, nothing read of it yet.
struct OpenedDrive : CDriveSession {
    explicit OpenedDrive(const std::string& path) { Open(path); }
};

// The cluster table of the drive or image at path, read through a session of
// its own; ok as CClusterTable gives it.
inline CClusterTable TableOf(const std::string& path, bool& ok) {
    OpenedDrive drive(path);
    return CClusterTable(drive, ok);
}

} // namespace harness
