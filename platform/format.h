// The numbers of the recorder's disk format and of the MPEG-2 streams it holds,
// in one place for every subsystem.
#pragma once

#include <cstdint>

// ---- The recorder disk ----------------------------------------------------
// Sector 0 holds the table of contents, sectors 1 to 9 the cluster table,
// sector 10 + i the header of recording slot i, and the clusters start at
// sector 256. All numbers on the disk are little-endian.
constexpr std::uint32_t kSectorSize = 512;
constexpr std::uint32_t kTocSector = 0;
constexpr std::uint32_t kClusterTableOffset = 512;   // byte offset of the cluster table
constexpr std::uint32_t kClusterTableEntries = 1152; // clusters 1..1151 can be described
constexpr std::uint32_t kClusterTableEntrySize = 4;  // low 16 bits: the next cluster
constexpr std::uint32_t kClusterTableBytes = kClusterTableEntries * kClusterTableEntrySize;
constexpr std::uint32_t kFirstHeaderSector = 10;
constexpr std::uint32_t kDataStartSector = 256;
constexpr std::uint16_t kChainEnd = 0xFFFF; // next-cluster value of a chain's last cluster
// Fields of the table of contents, by their byte in sector 0.
constexpr std::uint32_t kTocUsedClustersAt = 0x0A; // 16 bits, as stored by the recorder
constexpr std::uint32_t kTocFreeClustersAt = 0x0C; // 16 bits, as stored by the recorder
constexpr std::uint32_t kTocFileCountAt = 0x0E; // 8 bits: headers in sectors 10 .. 10 + count - 1

// Recording data is read in blocks of 1 MiB, large enough that a disk on USB
// keeps streaming; a cluster (100 MiB) is a whole number of blocks. The fuzz
// build makes both small (TARNWELL_BLOCK_SIZE, TARNWELL_CLUSTER_SECTORS), so
// that an input of a few kilobytes costs a few kilobytes of reading and
// scanning, not megabytes, and meets block and cluster boundaries.
#ifndef TARNWELL_BLOCK_SIZE
#define TARNWELL_BLOCK_SIZE (1 << 20)
#endif
#ifndef TARNWELL_CLUSTER_SECTORS
#define TARNWELL_CLUSTER_SECTORS 204800
#endif
constexpr std::uint32_t kBlockSize = TARNWELL_BLOCK_SIZE;
constexpr std::uint32_t kSectorsPerBlock = kBlockSize / kSectorSize; // 2048
constexpr std::uint32_t kClusterSectors = TARNWELL_CLUSTER_SECTORS;
constexpr std::uint64_t kClusterBytes = std::uint64_t{kClusterSectors} * kSectorSize;
constexpr std::uint32_t kBlocksPerCluster = kClusterSectors / kSectorsPerBlock; // 100
static_assert(kBlockSize % kSectorSize == 0 && kClusterSectors % kSectorsPerBlock == 0,
              "a cluster is a whole number of blocks, a block of sectors");
constexpr std::uint64_t kClusterBits = kClusterBytes * 8;           // 0x32000000
constexpr std::uint64_t kBlockBits = std::uint64_t{kBlockSize} * 8; // 0x800000
constexpr int kClusterMBytes = 100; // a cluster as the listing counts it

// First sector of cluster number `cluster` (numbered from 1), in 64 bits so
// that clusters far out on the disk and impossible numbers (0, negative) stay
// representable; a negative result makes the seek fail.
constexpr std::int64_t ClusterSector(std::int64_t cluster) {
    return (cluster - 1) * std::int64_t{kClusterSectors} + kDataStartSector;
}

// ---- MPEG-2 systems (ISO/IEC 13818-1) and video (13818-2) -----------------
constexpr std::uint32_t kStartCodePrefix = 0x000001;
constexpr std::uint32_t kPictureStartCode = 0x00000100;
constexpr std::uint32_t kSequenceHeaderCode = 0x000001B3;
constexpr std::uint32_t kSequenceEndCode = 0x000001B7;
constexpr std::uint32_t kPackStartCode = 0x000001BA;
constexpr std::uint32_t kExtensionStartCode = 0x000001B5;
constexpr std::uint32_t kGroupStartCode = 0x000001B8;
// Slices: 00 00 01 01 to 00 00 01 AF, the slice's row in the last byte.
constexpr std::uint32_t kFirstSliceStartCode = 0x00000101;
constexpr std::uint32_t kLastSliceStartCode = 0x000001AF;

constexpr int kPrivateStream1 = 0xBD; // carries AC-3 on this recorder
constexpr int kPaddingStream = 0xBE;
constexpr int kPrivateStream2 = 0xBF;
constexpr int kFirstAudioStream = 0xC0;
constexpr int kLastAudioStream = 0xDF;
constexpr int kFirstVideoStream = 0xE0;
constexpr int kLastVideoStream = 0xEF;

// PES start code of a stream: 00 00 01 followed by the stream id.
constexpr std::uint32_t PesStartCode(int streamId) {
    return 0x100u + static_cast<std::uint32_t>(streamId);
}

// Stream classes as the rippers tell them apart.
constexpr int kClassNone = 0;
constexpr int kClassPrivate1 = 1;
constexpr int kClassPrivate2 = 2;
constexpr int kClassAudio = 3;
constexpr int kClassVideo = 4;

// The 90 kHz system clock of PTS and DTS, and the 33-bit range of a time stamp.
constexpr std::int64_t kPtsPerSecond = 90000;
constexpr std::uint64_t kPtsModulus = std::uint64_t{1} << 33;

// (a - b) of two time stamps taken as 33-bit counts, the nearer way round:
// a wrap of the counter is a small step.
constexpr std::int64_t StampDifference(std::int64_t a, std::int64_t b) {
    const auto half = static_cast<std::int64_t>(kPtsModulus / 2);
    const auto d = static_cast<std::int64_t>(static_cast<std::uint64_t>(a - b) & (kPtsModulus - 1));
    return d >= half ? d - static_cast<std::int64_t>(kPtsModulus) : d;
}
