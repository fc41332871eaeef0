// The little of the operating system that Tarnwell uses: files opened by path,
// positioned at 64-bit byte offsets, read and written in counted chunks, and a
// millisecond tick counter. Two backends exist, chosen at build time: Win32
// (posix.cpp is left out) and POSIX (win32.cpp is left out).
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <new>
#include <string>
#include <vector>

// The alignment of the buffers that are read into and written from: the
// system copies a file's pages to and from a buffer that begins on a page
// several times faster than to and from one that new[] puts 16 bytes past a
// cache line (writing a gigabyte took five times the system time).
constexpr std::align_val_t kIoAlignment{4096};

// A file or device handle. Both backends fit their native handle into this
// integer; kInvalidHandle is the value of a handle that could not be opened.
using FileHandle = std::intptr_t;
constexpr FileHandle kInvalidHandle = -1;

// Opens a drive, a disk image or any other file read-only, with reading shared
// with others (nobody may write it meanwhile) and the hint that it is read
// front to back: each cluster of a recording is one long sequential read. On
// POSIX the raw-volume form of a drive letter, the four characters \\.\ then a
// letter and a colon, stands for the disk /dev/sd<letter>. Stores the handle
// (kInvalidHandle on failure) and reports whether it is valid.
//
// A disk (a block device; on Windows a physical drive or a raw volume) is
// read past the system's cache, in whole sectors of its own: a read reaches
// the disk itself, a failed one is not retried by the system a page at a
// time, and a disk that went away is not answered for by a copy of it. A
// disk that refuses such reads is read through the cache (PlatDirectRefused).
bool PlatOpenRead(const std::string& path, FileHandle& handle);

// Whether the handle is a disk that refused reads past the system's cache
// and is read through it.
bool PlatDirectRefused(FileHandle handle);

// The sector size in which the handle's disk is read past the cache; 0 for
// a file, or a disk read through the cache.
std::uint32_t PlatDirectSector(FileHandle handle);

// Creates an output file, or truncates an existing one, for writing; others may
// read it meanwhile.
bool PlatCreateWrite(const std::string& path, FileHandle& handle);

// Positions the handle at a byte offset from the start of the file.
bool PlatSeek(FileHandle handle, std::uint64_t offset);

// What a read came to:
// - Ok: got bytes arrived, the count or fewer at the end of the file (0 beyond it);
// - MediumError: the device could not deliver the data (a bad sector, a
//   failing or vanished disk); got tells the bytes that arrived before it;
// - Failed: the handle cannot be read at all (a folder, an invalid handle);
// - Gone: the system says the device is no longer there (unplugged, dropped
//   off the bus): nothing more can be read of it.
enum class ReadOutcome { Ok, MediumError, Failed, Gone };

// Reads up to count bytes.
ReadOutcome PlatRead(FileHandle handle, void* buffer, std::uint32_t count, std::uint32_t& got);

// Drops the system's cached copy of [offset, offset + count) of the file or
// disk, so that the next read of it reaches the device itself: a disk that
// went away must not be answered for by the cache. Nothing where the system
// keeps no such copy.
void PlatDropCache(FileHandle handle, std::uint64_t offset, std::uint32_t count);

// Writes count bytes; written tells how many were written. False on failure.
bool PlatWrite(FileHandle handle, const void* buffer, std::uint32_t count, std::uint32_t& written);

// Whether the last write that failed failed because the disk (or the user's
// quota on it) is full.
bool PlatWriteFoundDiskFull();

void PlatClose(FileHandle handle);

// Opens a disk image for writing at offsets, creating it when it is missing
// and keeping what it holds; on Windows it is made a sparse file, so that what
// is never written takes no room (elsewhere files are sparse anyway).
bool PlatOpenImage(const std::string& path, FileHandle& handle);

// The size in bytes of the file or disk the handle is open on.
bool PlatSize(FileHandle handle, std::uint64_t& size);

// Makes the file at least size bytes long; what is added reads as zeros.
bool PlatGrow(FileHandle handle, std::uint64_t size);

// Whether the two paths name the same file or disk (through links, other
// spellings of the path or other names of the device too).
bool PlatSameFile(const std::string& a, const std::string& b);

// Gives a file another name, replacing a file of that name if there is one in
// one step: a reader sees the old file or the new one, never a part.
bool PlatRename(const std::string& from, const std::string& to);

// Removes a file.
bool PlatRemove(const std::string& path);

// A file's name within a folder ("" being the current one).
std::string InFolder(const std::string& folder, const std::string& name);

// Makes the folder, and the folders above it that are missing; true when
// it is there afterwards.
bool PlatMakeFolders(const std::string& path);

// Gives the file the modification time of a moment of local time (the
// fields of std::tm as the calendar has them); false when it cannot.
bool PlatSetFileTime(const std::string& path, const std::tm& localTime);

// The bytes free for this user on the disk that holds the folder.
bool PlatFreeSpace(const std::string& folder, std::uint64_t& bytes);

// The largest file the folder's file system can hold: 4 GiB - 1 on FAT
// (FAT32 and its elders), 0 where it sets no such limit.
std::uint64_t PlatLargestFile(const std::string& folder);

// Whether standard output is a terminal (a console window), where a line can
// be rewritten after a carriage return.
bool PlatConsoleIsTerminal();

// One whole disk attached to the computer, as the system describes it.
struct PlatDisk {
    std::string name;       // what to give Tarnwell: /dev/sdb, \\.\PhysicalDrive2
    std::string letters;    // the drive letters Windows gave its volumes ("E: F:"), if any
    std::uint64_t size = 0; // bytes; 0 when the system does not tell
    std::string model;      // vendor and product as the system reports them, or a loop
                            // device's file
};

// The serial number that the system gives for the disk at path, without the
// blanks around it; "" for a file, or a disk whose system tells none.
std::string PlatDiskSerial(const std::string& path);

// The whole disks attached, not their partitions: on Linux the block devices
// of /sys/block (loop devices only with a file behind them; no ram or zram),
// on Windows the physical drives. False when the system gives no list.
bool PlatListDisks(std::vector<PlatDisk>& disks);

// What opening a disk came to: Denied when it takes rights the program does
// not have (root, an administrator).
enum class DiskOpen { Ok, Denied, Failed };

// Opens a whole disk for reading only, beside the system's own handles on it
// (which may write it), to look at it for a moment; reason tells the system's
// words for a failure.
DiskOpen PlatOpenDisk(const std::string& name, FileHandle& handle, std::string& reason);

// How to run a command with the rights to open disks: "sudo tarnwell disks",
// or a console run as administrator.
std::string PlatDiskRightsHint();

// Whether the program has a console window of its own, shared with no other
// program, that is its standard input: a double-click in Explorer started it.
bool PlatConsoleOfItsOwn();

// Milliseconds since some fixed moment, wrapping at 2^32.
std::uint32_t PlatTicks();
