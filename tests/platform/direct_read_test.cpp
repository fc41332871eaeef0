// A disk is read past the system's cache, in whole sectors of its own, and
// opened for reading only; a file is read through the cache. The disks are
// read-only loop devices of 512- and 4096-byte sectors, read at every kind of
// offset, count and buffer address, the tail of the disk included.
#ifndef _WIN32

#include "platform/platform.h"
#include "support/harness.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <random>
#include <string>

namespace {

// The flags of an open file descriptor, as the system tells them.
long OpenFlags(FileHandle handle) {
    std::ifstream info("/proc/self/fdinfo/" + std::to_string(handle));
    for (std::string word; info >> word;) {
        if (word == "flags:") {
            info >> word;
            return std::strtol(word.c_str(), nullptr, 8);
        }
    }
    return -1;
}

// A read-only loop device over the file, detached when it goes; "" where
// none can be attached.
struct Loop {
    std::string device;
    Loop(const std::string& file, int sectorSize) {
        const std::string command =
            "losetup -r -b " + std::to_string(sectorSize) + " -f --show " + file + " 2>/dev/null";
        std::array<char, 128> line{};
        if (FILE* out = ::popen(command.c_str(), "r")) {
            if (std::fgets(line.data(), line.size(), out) != nullptr)
                device = line.data();
            ::pclose(out);
        }
        if (!device.empty() && device.back() == '\n')
            device.pop_back();
    }
    ~Loop() {
        if (!device.empty())
            std::system(("losetup -d " + device).c_str());
    }
    Loop(const Loop&) = delete;
    Loop& operator=(const Loop&) = delete;
};

} // namespace

TEST(DirectReads, DiskInWholeSectorsOfItsOwnFileThroughTheCache) {
    const harness::TempDir dir;
    const std::string file = dir.File("disk.bin");
    std::vector<std::uint8_t> bytes((1 << 21) + 3 * 4096);
    std::mt19937 random(7);
    for (std::uint8_t& byte : bytes)
        byte = static_cast<std::uint8_t>(random());
    ASSERT_TRUE(harness::WriteFile(file, bytes));
    const std::uint64_t size = bytes.size();

    FileHandle plain = kInvalidHandle;
    ASSERT_TRUE(PlatOpenRead(file, plain));
    EXPECT_EQ(OpenFlags(plain) & (O_DIRECT | O_ACCMODE), O_RDONLY);
    EXPECT_EQ(PlatDirectSector(plain), 0u);
    PlatClose(plain);

    const struct {
        std::uint64_t offset;
        std::uint32_t count, shift; // shift: bytes past a page where the buffer begins
        std::uint32_t got;
    } reads[] = {
        {0, 512, 0, 512},
        {512, 4096, 0, 4096},
        {4096, 1 << 20, 0, 1 << 20},                     // whole sectors straight into the buffer
        {100, 1000, 3, 1000},                            // inside a sector, odd buffer
        {4096 * 3 + 7, (1 << 20) + 9, 1, (1 << 20) + 9}, // past the buffer of whole sectors
        {4096, 8192, 512, 8192},                         // a buffer on 512 bytes only
        {size - 700, 1000, 0, 700},                      // the disk's tail
        {size - 1536, 4096, 0, 1536},                    // a tail of less than a 4096-byte sector
        {size, 512, 0, 0},                               // past the end
    };
    for (const int sectorSize : {512, 4096}) {
        SCOPED_TRACE(sectorSize);
        const Loop loop(file, sectorSize);
        if (loop.device.empty())
            GTEST_SKIP() << "no loop device can be attached here (losetup -r needs root)";
        FileHandle disk = kInvalidHandle;
        ASSERT_TRUE(PlatOpenRead(loop.device, disk));
        EXPECT_EQ(OpenFlags(disk) & (O_DIRECT | O_ACCMODE), O_DIRECT | O_RDONLY);
        EXPECT_EQ(PlatDirectSector(disk), static_cast<std::uint32_t>(sectorSize));
        EXPECT_FALSE(PlatDirectRefused(disk));
        std::uint64_t diskSize = 0;
        ASSERT_TRUE(PlatSize(disk, diskSize));
        ASSERT_EQ(diskSize, size);
        for (const auto& r : reads) {
            SCOPED_TRACE(std::to_string(r.offset) + " + " + std::to_string(r.count));
            std::vector<std::uint8_t> storage(r.count + 2 * 4096);
            std::uint8_t* buffer =
                storage.data() + (4096 - reinterpret_cast<std::uintptr_t>(storage.data()) % 4096) +
                r.shift;
            std::uint32_t got = 0;
            ASSERT_TRUE(PlatSeek(disk, r.offset));
            EXPECT_EQ(PlatRead(disk, buffer, r.count, got), ReadOutcome::Ok);
            ASSERT_EQ(got, r.got);
            EXPECT_TRUE(std::equal(buffer, buffer + got, bytes.begin() + r.offset));
        }
        PlatClose(disk);
    }
}

#endif
