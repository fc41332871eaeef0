// Which of the disks attached to the computer is a recorder's, and what it
// holds, from a look at a few megabytes of each: the first sectors with the
// recorder's directory, and the starts of a sample of clusters. The
// judgement is a function of those bytes alone; the look reads them, and
// never writes. This header is what the other subsystems may use of it.
#pragma once

#include "platform/format.h"
#include "platform/platform.h"

#include <cstdint>
#include <string>
#include <vector>

// The most a look reads of one disk, and what it reads of it: the table of
// contents, the cluster table and the header sectors (sectors 0 to 255), and
// the first bytes of at most kSampleClusters clusters spread over the disk.
constexpr std::uint64_t kLookBytes = 8u << 20;
constexpr std::uint32_t kDirectoryBytes = kDataStartSector * kSectorSize;
constexpr std::uint32_t kClusterStartBytes =
    kClusterBytes < (64u << 10) ? static_cast<std::uint32_t>(kClusterBytes) : (64u << 10);
constexpr int kSampleClusters = 120;
static_assert(kDirectoryBytes + std::uint64_t{kSampleClusters} * kClusterStartBytes <= kLookBytes,
              "a look stays within its bytes");

// The first bytes of one cluster.
struct ClusterStart {
    int cluster = 0;
    std::vector<std::uint8_t> bytes;
};

// What a look at a disk read of it.
struct DiskBytes {
    std::uint64_t size = 0;             // the disk's size in bytes
    std::vector<std::uint8_t> first;    // its first sectors, up to kDirectoryBytes
    std::vector<ClusterStart> clusters; // the starts of the clusters of the sample
    bool stopped = false;               // the disk stopped answering during the look
};

// Why a look at a disk could not end: the disk stopped answering.
constexpr const char* kStoppedReason = "the disk stopped answering";

// What a disk holds.
struct DiskVerdict {
    enum class Kind { Recorder, DirectoryLost, NotRecorder };
    Kind kind = Kind::NotRecorder;
    int recordings = 0;              // Recorder: the table of contents' count
    std::string firstDate, lastDate; // of the recordings whose headers are sound
};

// Whether the first sectors leave the judgement to the clusters: they hold
// neither the recorder's directory nor a partition table or a file system.
bool NeedsClusterSample(const DiskBytes& disk);

// The clusters whose starts a look reads: every cluster of a disk of size
// bytes, up to kSampleClusters of them spread evenly from the first to the
// last.
std::vector<int> ClusterSample(std::uint64_t size);

// The judgement:
// - a recorder disk when the table of contents, the cluster table and the
//   headers agree: counts within the table, first clusters on the disk,
//   chains that the table links to their end, dates that are dates, no
//   cluster in two chains; at least half of the headers it counts are so;
// - a recorder disk whose directory is lost when, without that, the sample's
//   clusters begin with PES packets of both video and audio, as a survey of
//   the disk tells them;
// - anything else is none, and a disk with a partition table or a file
//   system (FAT, NTFS, exFAT, ext, ...) never is one.
DiskVerdict JudgeDisk(const DiskBytes& disk);

// The verdict in the words that a person and a script go by, for the disk
// named name: "recorder disk, 3 recordings (2026-12-07 to 2026-12-09)",
// "recorder disk, directory lost: its clusters hold recordings, try tarnwell
// recover NAME" or "not a recorder disk".
std::string VerdictText(const DiskVerdict& verdict, const std::string& name);

// Reads of the open disk what JudgeDisk needs, and at most kLookBytes of it;
// false, with the reason, when its first sectors cannot be read or the disk
// stops answering (bytes.stopped). Clusters that cannot be read are left out
// of the sample.
bool LookAtDisk(FileHandle disk, std::uint64_t size, DiskBytes& bytes, std::string& reason);
