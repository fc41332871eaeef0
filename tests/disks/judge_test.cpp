// The judgement of a disk from its bytes: a recorder's directory sound and
// damaged in each of the ways it is checked, partition tables and file
// systems, and clusters that begin with the fixtures' packets or not.
#include "disks/disks.h"
#include "image/recorder_image.h"
#include "support/fixtures.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

constexpr std::uint64_t kTenClusters = kDirectoryBytes + 10 * kClusterBytes;

void Put16(DiskBytes& d, std::size_t at, int value) {
    d.first[at] = static_cast<std::uint8_t>(value);
    d.first[at + 1] = static_cast<std::uint8_t>(value >> 8);
}
void Link(DiskBytes& d, int cluster, int next) {
    Put16(d, kClusterTableOffset + kClusterTableEntrySize * static_cast<std::size_t>(cluster),
          next);
}
void Header(DiskBytes& d, int slot, const image::Recording& rec) {
    const auto sector = image::HeaderSector(rec);
    std::copy(sector.begin(), sector.end(),
              d.first.begin() +
                  (kFirstHeaderSector + static_cast<std::size_t>(slot)) * kSectorSize);
    d.first[kTocFileCountAt] = static_cast<std::uint8_t>(slot + 1);
}
image::Recording Rec(int video, int audio, std::int8_t day) {
    image::Recording rec;
    rec.year = 2026;
    rec.month = 12;
    rec.day = day;
    rec.firstVCluster = static_cast<std::int16_t>(video);
    rec.firstACluster = static_cast<std::int16_t>(audio);
    return rec;
}

// A disk of ten clusters with one recording: its video in clusters 3 then 5,
// its sound in 4.
DiskBytes Sound() {
    DiskBytes d;
    d.size = kTenClusters;
    d.first.resize(kDirectoryBytes);
    Header(d, 0, Rec(3, 4, 7));
    Link(d, 3, 5);
    Link(d, 5, kChainEnd);
    Link(d, 4, kChainEnd);
    Put16(d, kTocFreeClustersAt, 7);
    Put16(d, kTocUsedClustersAt, 3);
    return d;
}

// Clusters that begin with the fixtures' packets, the video's in the middle
// of one.
ClusterStart Start(int cluster, const std::string& fixture, std::size_t skip) {
    const Fixture f = LoadFixture(fixture);
    const auto end = f.bytes.begin() + static_cast<long>(skip + kClusterStartBytes);
    return {cluster, std::vector<std::uint8_t>(f.bytes.begin() + static_cast<long>(skip), end)};
}

using Kind = DiskVerdict::Kind;

} // namespace

TEST(JudgeDisk, TellsARecorderDiskByItsDirectoryOrItsClusters) {
    const ClusterStart video = Start(1, "video_e0", 20000), audio = Start(8, "audio_c0", 0),
                       ac3 = Start(9, "audio_bd", 0);
    const auto zeroed = [](DiskBytes& d) { d.first.assign(kDirectoryBytes, 0); };
    const struct {
        const char* name;
        std::function<void(DiskBytes&)> change;
        Kind kind;
        int recordings;
        bool sample; // the first sectors leave it to the clusters
    } cases[] = {
        {"sound", [](DiskBytes&) {}, Kind::Recorder, 1, false},
        {"a second header of two damaged", [](DiskBytes& d) { Header(d, 1, Rec(3, 6, 8)); },
         Kind::Recorder, 2, false},
        {"two headers of three damaged",
         [](DiskBytes& d) {
             Header(d, 1, Rec(0, 6, 8));
             Header(d, 2, Rec(6, 6, 8));
         },
         Kind::NotRecorder, 0, true},
        {"no recording counted", [](DiskBytes& d) { d.first[kTocFileCountAt] = 0; },
         Kind::NotRecorder, 0, true},
        {"more recordings than header sectors",
         [](DiskBytes& d) { d.first[kTocFileCountAt] = 247; }, Kind::NotRecorder, 0, true},
        {"more clusters than the table has",
         [](DiskBytes& d) { Put16(d, kTocFreeClustersAt, 1149); }, Kind::NotRecorder, 0, true},
        {"first cluster beyond the disk", [](DiskBytes& d) { Header(d, 0, Rec(11, 4, 7)); },
         Kind::NotRecorder, 0, true},
        {"chain on beyond the disk", [](DiskBytes& d) { Link(d, 5, 11); }, Kind::NotRecorder, 0,
         true},
        {"chain ended by 0", [](DiskBytes& d) { Link(d, 5, 0); }, Kind::NotRecorder, 0, true},
        {"chain that loops", [](DiskBytes& d) { Link(d, 5, 3); }, Kind::NotRecorder, 0, true},
        {"video and sound share a cluster", [](DiskBytes& d) { Link(d, 4, 5); }, Kind::NotRecorder,
         0, true},
        {"month 13",
         [](DiskBytes& d) {
             image::Recording rec = Rec(3, 4, 7);
             rec.month = 13;
             Header(d, 0, rec);
         },
         Kind::NotRecorder, 0, true},
        {"a partition table",
         [](DiskBytes& d) {
             d.first[510] = 0x55;
             d.first[511] = 0xAA;
         },
         Kind::NotRecorder, 0, false},
        {"an ext superblock", [](DiskBytes& d) { Put16(d, 1080, 0xEF53); }, Kind::NotRecorder, 0,
         false},
        {"zeros", zeroed, Kind::NotRecorder, 0, true},
        {"zeroed, clusters of video and MPEG audio",
         [&](DiskBytes& d) {
             zeroed(d);
             d.clusters = {video, audio};
         },
         Kind::DirectoryLost, 0, true},
        {"zeroed, clusters of video and AC-3",
         [&](DiskBytes& d) {
             zeroed(d);
             d.clusters = {ac3, video};
         },
         Kind::DirectoryLost, 0, true},
        {"zeroed, clusters of video only",
         [&](DiskBytes& d) {
             zeroed(d);
             d.clusters = {video, video};
         },
         Kind::NotRecorder, 0, true},
        {"a partition table, clusters of video and sound",
         [&](DiskBytes& d) {
             d.first[510] = 0x55;
             d.first[511] = 0xAA;
             d.clusters = {video, audio};
         },
         Kind::NotRecorder, 0, false},
        {"shorter than the directory", [](DiskBytes& d) { d.first.resize(kSectorSize); },
         Kind::NotRecorder, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DiskBytes d = Sound();
        c.change(d);
        const DiskVerdict v = JudgeDisk(d);
        EXPECT_EQ(v.kind, c.kind);
        EXPECT_EQ(v.recordings, c.recordings);
        EXPECT_EQ(NeedsClusterSample(d), c.sample);
    }
    DiskBytes two = Sound();
    Header(two, 1, Rec(6, 7, 9));
    Link(two, 6, kChainEnd);
    Link(two, 7, kChainEnd);
    EXPECT_EQ(VerdictText(JudgeDisk(two), "/dev/sdb"),
              "recorder disk, 2 recordings (2026-12-07 to 2026-12-09)");
}

TEST(JudgeDisk, SamplesClustersFromTheFirstToTheLast) {
    EXPECT_EQ(ClusterSample(kDirectoryBytes + 2 * kClusterBytes + 1), (std::vector<int>{1, 2, 3}));
    const std::vector<int> all = ClusterSample(kDirectoryBytes + 2000 * kClusterBytes);
    ASSERT_EQ(all.size(), std::size_t{kSampleClusters});
    EXPECT_EQ(all.front(), 1);
    EXPECT_GE(all.back(), 1140);
    EXPECT_TRUE(std::is_sorted(all.begin(), all.end()));
    EXPECT_TRUE(ClusterSample(kDirectoryBytes).empty());
}
