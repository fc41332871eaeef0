// Builds recorder disk images for the tests and the demo: the table of
// contents, the cluster table, one header sector per recording, and chain
// contents placed into their clusters. The image file is sparse: what is not
// written reads as zero bytes and takes no room.
#pragma once

#include "platform/format.h"

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace image {

// One recording's header sector, field by field.
struct Recording {
    std::int8_t recordNo = 0;
    std::string station; // up to 14 bytes; 14 bytes leave no zero byte
    std::string clip;    // up to 41 bytes
    std::int16_t year = 2001;
    std::int8_t month = 1, day = 1, hour = 0, minute = 0, second = 0;
    std::int8_t lengthHours = 0, lengthMinutes = 0, lengthSeconds = 0;
    std::int16_t vClusters = 0, aClusters = 0;
    std::int16_t firstVCluster = 0, firstACluster = 0;
    // Skip index entries (start, stop); -1 in either half marks an unused one.
    std::array<std::pair<std::int16_t, std::int16_t>, 10> skip;

    Recording() { skip.fill({-1, -1}); }
};

// The 512 bytes of a header sector for rec.
std::array<std::uint8_t, 512> HeaderSector(const Recording& rec);

class RecorderImage {
  public:
    // The size of a cluster; a build for small clusters takes a smaller one.
    std::uint64_t clusterBytes = kClusterBytes;
    std::uint16_t usedClusters = 0;
    std::uint16_t freeClusters = 0;
    int fileCount = -1; // -1: the number of recordings added

    void AddRecording(const Recording& rec) { recordings.push_back(HeaderSector(rec)); }
    void AddRawHeader(const std::array<std::uint8_t, 512>& sector) { recordings.push_back(sector); }

    // Entry `cluster` of the cluster table: next cluster in the low 16 bits.
    void SetNext(int cluster, std::uint16_t next, std::uint16_t high = 0);
    // Links the clusters in order and ends the chain with 0xFFFF.
    void LinkChain(const std::vector<int>& clusters);

    // Places bytes into a chain at a byte offset of the chain's continuous
    // data (cluster i of the list holds chain bytes i*100 MiB on).
    void PlaceChainData(const std::vector<int>& clusters, std::uint64_t chainOffset,
                        const std::vector<std::uint8_t>& bytes);
    // Places bytes at an absolute byte offset of the image.
    void PlaceBytes(std::uint64_t offset, const std::vector<std::uint8_t>& bytes);

    // The image ends right after the last byte placed (the last cluster is
    // short), unless a size is set.
    void SetSize(std::uint64_t bytes) { size = bytes; }

    // Writes the image; false on any I/O error.
    bool Write(const std::string& path) const;

  private:
    std::vector<std::array<std::uint8_t, 512>> recordings;
    std::map<int, std::uint32_t> table;
    std::vector<std::pair<std::uint64_t, std::vector<std::uint8_t>>> extents;
    std::uint64_t size = 0;
};

// Byte offset of the first byte of cluster number `cluster`.
std::uint64_t ClusterOffset(int cluster, std::uint64_t clusterBytes = kClusterBytes);

} // namespace image
