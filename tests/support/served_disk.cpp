// The failing disk served by nbdkit, mounted by nbdfuse, and a loop device.
#include "support/served_disk.h"

#ifndef _WIN32

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <unistd.h>

namespace harness {

namespace {

// The first line that the shell command prints ("" when none).
std::string FirstLine(const std::string& command) {
    std::array<char, 256> line{};
    FILE* out = ::popen(command.c_str(), "r");
    if (out == nullptr)
        return "";
    std::string text = std::fgets(line.data(), line.size(), out) ? line.data() : "";
    ::pclose(out);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

} // namespace

ServedDisk::ServedDisk(const std::string& image, const std::string& faults, bool asBlockDevice) {
    if (std::system("command -v nbdkit nbdfuse fusermount3 >/dev/null 2>&1") != 0 ||
        ::access("/dev/fuse", R_OK | W_OK) != 0) {
        why = "nbdkit, nbdfuse or FUSE is not there (tools/setup/deps.sh test)";
        return;
    }
    const std::string command =
        "nbdfuse " + file + " --command nbdkit -s python " +
        TARNWELL_SOURCE_DIR "/tests/support/nbd/dying_disk.py file=" + image + " " + faults +
        " >/dev/null 2>&1 &";
    const bool started = std::system(command.c_str()) == 0;
    for (int tries = 0; started && tries < 100 && !mounted; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        mounted = ::access(file.c_str(), R_OK) == 0;
    }
    if (!mounted) {
        why = "nbdfuse could not mount the disk here";
        return;
    }
    path = file;
    if (asBlockDevice) {
        loop = FirstLine("losetup -r -f --show " + file + " 2>/dev/null");
        if (loop.empty()) {
            why = "no loop device can be attached here (losetup -r needs root)";
            return;
        }
        path = loop;
    }
    up = true;
}

ServedDisk::~ServedDisk() {
    if (!loop.empty())
        std::system(("losetup -d " + loop).c_str());
    if (mounted)
        std::system(("fusermount3 -u " + mount.Path()).c_str());
}

} // namespace harness

#endif
