// Reads of a disk that is read past the system's cache: the disk takes only
// whole sectors, at offsets of whole sectors, into memory that begins on a
// sector. Both backends read such a disk through this one piece, which
// widens any read to the sectors it touches and copies out the bytes asked
// for. Used by the platform backends only.
#pragma once

#include "platform/platform.h"

#include <cstdint>

// One positioned read of a backend: up to count bytes at offset into
// buffer, repeated until the count is complete or the disk ends; got tells
// the bytes that arrived before a failure or the end.
using RawSectorRead = ReadOutcome (*)(FileHandle handle, std::uint64_t offset, void* buffer,
                                      std::uint32_t count, std::uint32_t& got);

// Reads up to count bytes at offset of a disk of sectorSize-byte sectors
// (a power of two, at most kDirectSectorLimit) through raw. Where the offset,
// the buffer and the count lie on sectors, the bytes go straight into the
// buffer; the rest goes through a buffer of whole sectors. got tells the
// bytes delivered, as raw tells them: fewer than count at the end of the disk
// or before a failure.
ReadOutcome ReadWholeSectors(RawSectorRead raw, FileHandle handle, std::uint32_t sectorSize,
                             std::uint64_t offset, void* buffer, std::uint32_t count,
                             std::uint32_t& got);

// The largest sector that ReadWholeSectors takes: the alignment of its own
// buffer.
constexpr std::uint32_t kDirectSectorLimit = 4096;
