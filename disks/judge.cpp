// The judgement of a disk from its first sectors and the starts of some of
// its clusters: the recorder's directory read by the drive's own classes,
// the clusters by the survey's facts.
#include "disks/disks.h"

#include "drive/drive.h"
#include "survey/survey.h"

#include <algorithm>
#include <bitset>
#include <cstdio>
#include <cstring>
#include <tuple>

namespace {

// The header sectors that lie before the clusters: the most recordings a
// table of contents can count on a sound disk.
constexpr int kHeaderSlots = static_cast<int>(kDataStartSector - kFirstHeaderSector);

// What other systems write into a disk's first sectors, by byte and bytes:
// a disk that has one is never a recorder's. The recorder's own structures
// cannot hold them: each falls where the table of contents keeps nothing or
// where the cluster table would link to a cluster beyond its end.
struct Signature {
    std::uint32_t at;
    const char* magic;
    std::size_t length;
};
const Signature kForeign[] = {
    {510, "\x55\xAA", 2},     // a partition table (MBR) or a boot sector
    {512, "EFI PART", 8},     // a GUID partition table
    {3, "NTFS    ", 8},       // NTFS
    {3, "EXFAT   ", 8},       // exFAT
    {54, "FAT1", 4},          // FAT12 and FAT16
    {82, "FAT32   ", 8},      // FAT32
    {1080, "\x53\xEF", 2},    // ext2, ext3, ext4: the superblock's magic 0xEF53
    {0, "XFSB", 4},           // XFS
    {65600, "_BHRfS_M", 8},   // btrfs
    {0, "LUKS\xBA\xBE", 6},   // an encrypted volume
    {536, "LVM2 001", 8},     // an LVM physical volume
    {4086, "SWAPSPACE2", 10}, // Linux swap
    {32769, "CD001", 5},      // ISO 9660
    {32769, "BEA01", 5},      // UDF, a DVD's file system
};

bool HasForeignStructure(const std::vector<std::uint8_t>& first) {
    return std::any_of(std::begin(kForeign), std::end(kForeign), [&](const Signature& s) {
        return s.at + s.length <= first.size() &&
               std::memcmp(first.data() + s.at, s.magic, s.length) == 0;
    });
}

// The clusters a disk of size bytes holds, short last one included, as far
// as the cluster table can describe them.
int ClustersOnDisk(std::uint64_t size) {
    if (size <= kDirectoryBytes)
        return 0;
    const std::uint64_t clusters = (size - kDirectoryBytes + kClusterBytes - 1) / kClusterBytes;
    return static_cast<int>(std::min<std::uint64_t>(clusters, kClusterTableEntries - 1));
}

bool IsDate(const CPVRFile& f) {
    return f.Year() >= 1970 && f.Year() < 2100 && f.Month() >= 1 && f.Month() <= 12 &&
           f.Day() >= 1 && f.Day() <= 31 && f.Hour() >= 0 && f.Hour() < 24 && f.Minute() >= 0 &&
           f.Minute() < 60 && f.Second() >= 0 && f.Second() < 60 && f.LengthHours() >= 0 &&
           f.LengthMinutes() >= 0 && f.LengthMinutes() < 60 && f.LengthSeconds() >= 0 &&
           f.LengthSeconds() < 60;
}

using Taken = std::bitset<kClusterTableEntries>;

// A chain from a first cluster on the disk, through clusters on the disk
// that no other chain took, to the table's end mark. Its clusters are taken.
bool ChainIsSound(const CClusterTable& table, int first, int onDisk, Taken& taken) {
    const std::vector<std::int32_t> chain = table.Chain(first);
    for (const std::int32_t c : chain) {
        if (c < 1 || c > onDisk || taken.test(static_cast<std::size_t>(c)))
            return false;
    }
    // A chain that came back to itself stopped short of the end mark.
    if (table.NextCluster(static_cast<std::uint32_t>(chain.back())) != kChainEnd)
        return false;
    for (const std::int32_t c : chain)
        taken.set(static_cast<std::size_t>(c));
    return true;
}

std::string DateText(const CPVRFile& f) {
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", f.Year(), f.Month(), f.Day());
    return text;
}

// The recorder's directory in the first sectors, when they hold a sound one.
bool ReadDirectory(const DiskBytes& disk, DiskVerdict& verdict) {
    if (disk.first.size() < kDirectoryBytes)
        return false;
    CDriveSession unopened; // the sectors were read already: nothing more is
    CPVRDrive drive(unopened, disk.first.data(), disk.first.size());
    const CClusterTable table(disk.first.data() + kClusterTableOffset);
    const int count = drive.TocFileCount();
    if (count < 1 || count > kHeaderSlots ||
        drive.UsedClusters() + drive.FreeClusters() > int{kClusterTableEntries} - 1)
        return false;
    const int onDisk = ClustersOnDisk(disk.size);
    Taken taken;
    std::vector<const CPVRFile*> sound;
    for (int slot = 0; slot < count; ++slot) {
        const CPVRFile& f = *drive.GetFile(slot);
        Taken mine = taken;
        if (IsDate(f) && f.FirstVCluster() != f.FirstACluster() &&
            ChainIsSound(table, f.FirstVCluster(), onDisk, mine) &&
            ChainIsSound(table, f.FirstACluster(), onDisk, mine)) {
            taken = mine;
            sound.push_back(&f);
        }
    }
    if (sound.empty() || 2 * sound.size() < static_cast<std::size_t>(count))
        return false;
    const auto when = [](const CPVRFile* f) {
        return std::make_tuple(f->Year(), f->Month(), f->Day(), f->Hour(), f->Minute(),
                               f->Second());
    };
    const auto [first, last] =
        std::minmax_element(sound.begin(), sound.end(), [&](const CPVRFile* a, const CPVRFile* b) {
            return when(a) < when(b);
        });
    verdict.kind = DiskVerdict::Kind::Recorder;
    verdict.recordings = count;
    verdict.firstDate = DateText(**first);
    verdict.lastDate = DateText(**last);
    return true;
}

// Whether the sample's clusters begin with the packets of a recording's
// video and of its sound.
bool ClustersHoldRecordings(const std::vector<ClusterStart>& clusters) {
    bool video = false, audio = false;
    for (const ClusterStart& c : clusters) {
        if (c.bytes.empty())
            continue;
        const ClusterFacts f =
            ReadClusterFacts(c.cluster, c.bytes.data(), c.bytes.size(), c.bytes.data(), 0);
        video = video || f.kind == ClusterFacts::Kind::Video;
        audio =
            audio || f.kind == ClusterFacts::Kind::MpegAudio || f.kind == ClusterFacts::Kind::AC3;
    }
    return video && audio;
}

} // namespace

bool NeedsClusterSample(const DiskBytes& disk) {
    DiskVerdict verdict;
    return !HasForeignStructure(disk.first) && !ReadDirectory(disk, verdict);
}

std::vector<int> ClusterSample(std::uint64_t size) {
    const int all = ClustersOnDisk(size);
    std::vector<int> sample;
    const int count = std::min(all, kSampleClusters);
    for (int i = 0; i < count; ++i)
        sample.push_back(1 + static_cast<int>(std::int64_t{i} * all / count));
    return sample;
}

DiskVerdict JudgeDisk(const DiskBytes& disk) {
    DiskVerdict verdict;
    if (HasForeignStructure(disk.first) || ReadDirectory(disk, verdict))
        return verdict;
    if (ClustersHoldRecordings(disk.clusters))
        verdict.kind = DiskVerdict::Kind::DirectoryLost;
    return verdict;
}

std::string VerdictText(const DiskVerdict& verdict, const std::string& name) {
    switch (verdict.kind) {
    case DiskVerdict::Kind::Recorder:
        return "recorder disk, " + std::to_string(verdict.recordings) +
               (verdict.recordings == 1 ? " recording (" : " recordings (") + verdict.firstDate +
               " to " + verdict.lastDate + ")";
    case DiskVerdict::Kind::DirectoryLost:
        return "recorder disk, directory lost: its clusters hold recordings, try tarnwell "
               "recover " +
               name;
    default:
        return "not a recorder disk";
    }
}
