// The survey of a disk, as `recover DRIVE --list` runs it, on a small image
// made from the fixtures: a recording's video over three clusters and its
// audio in one more, in an order the input chooses, with a header that may or
// may not name them. The input changes the header, the cluster table's links
// and bytes of the clusters' data.
//
// Input: an order byte, 64 bytes XORed into the header sector from its
// length on, 32 bytes that replace the table entries of clusters 1 to 8 where
// they are not zero, then patches: an offset in the data (24 bits), a count,
// and that many bytes put over the data.
#include "fuzz_support.h"

#include "image/recorder_image.h"
#include "platform/format.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <numeric>
#include <unistd.h>

namespace {

constexpr int kClusters = 8; // the recording lies in clusters 1 to 8

// About five seconds of video and of audio: three clusters of the small
// build, one cluster of the full-size one. The video's bytes, then the audio's.
struct Streams {
    std::vector<std::uint8_t> bytes = fuzz::FixtureBytes("video_e0.pes", 600000);
    std::uint64_t videoBytes = bytes.size();
    Streams() {
        const std::vector<std::uint8_t> audio = fuzz::FixtureBytes("audio_c0.pes", 150000);
        bytes.insert(bytes.end(), audio.begin(), audio.end());
    }
};

// An image that cannot be written would leave every later input of its order
// run on the bytes of an earlier one: the run stops instead.
[[noreturn]] void Fail() {
    std::perror("tarnwell fuzz: the disk image");
    std::abort();
}

const Streams& TheStreams() {
    static const Streams streams;
    return streams;
}

// One disk image for each order of the clusters, written whole the first
// time an input takes that order. After that an input rewrites only what
// inputs change: the header sector, the table entries of clusters 1 to 8, the
// bytes the last input on this image patched (put back as the fixtures have
// them) and its own patches. Its bytes are then those a whole image made for
// the input would hold, without a megabyte written for each input.
class Disk {
  public:
    explicit Disk(int turn);
    ~Disk() { ::close(Fd); }
    Disk(const Disk&) = delete;
    Disk& operator=(const Disk&) = delete;

    const std::string& Path() const { return FilePath; }
    const std::vector<int>& Video() const { return VideoClusters; }
    int Audio() const { return AudioCluster; }

    // The header sector and the cluster table's entries of clusters 1 to 8.
    void PutStructures(const std::array<std::uint8_t, 512>& header,
                       const std::array<std::uint32_t, kClusters + 1>& table);
    // The bytes the last input patched back as the fixtures have them.
    void Restore();
    // Bytes over the data from data byte `at` on, video then audio, taken
    // round past the end.
    void Patch(std::uint64_t at, const std::vector<std::uint8_t>& bytes);

  private:
    // Calls put(image offset, index in the run, count) for each piece of
    // the run of `count` data bytes from data byte `at` that lies in one place.
    template <class Put> void EachPiece(std::uint64_t at, std::size_t count, Put put) const;
    void WriteAt(std::uint64_t offset, const std::uint8_t* bytes, std::size_t count);

    std::vector<int> VideoClusters;
    int AudioCluster = 0;
    std::string FilePath;
    int Fd = -1;
    std::vector<std::pair<std::uint64_t, std::size_t>> Patched; // data runs changed
};

Disk::Disk(int turn) {
    std::vector<int> order(kClusters);
    std::iota(order.begin(), order.end(), 1);
    std::rotate(order.begin(), order.begin() + turn, order.end());
    VideoClusters.assign(order.begin(), order.begin() + 3);
    AudioCluster = order[3];
    // In the temporary folder, the working one, by a name short enough that
    // a string holds it in itself: recover copies the drive's name into each
    // of the 246 header slots it reads, and a longer one would cost each copy
    // an allocation.
    FilePath = "disk" + std::to_string(turn) + ".img";

    // The image's structures (rewritten for each input), its size, then the
    // fixtures' bytes where they lie.
    const Streams& streams = TheStreams();
    image::RecorderImage disk;
    disk.AddRawHeader({});
    std::uint64_t last = 0;
    EachPiece(0, streams.bytes.size(), [&](std::uint64_t offset, std::size_t, std::size_t n) {
        last = std::max<std::uint64_t>(last, offset + n);
    });
    disk.SetSize(last);
    Fd = disk.Write(FilePath) ? ::open(FilePath.c_str(), O_WRONLY) : -1;
    if (Fd < 0)
        Fail();
    EachPiece(0, streams.bytes.size(), [&](std::uint64_t offset, std::size_t i, std::size_t n) {
        WriteAt(offset, streams.bytes.data() + i, n);
    });
}

template <class Put> void Disk::EachPiece(std::uint64_t at, std::size_t count, Put put) const {
    const std::uint64_t videoBytes = TheStreams().videoBytes, all = TheStreams().bytes.size();
    for (std::size_t done = 0; done < count;) {
        at %= all;
        // Video lies in its clusters in turn, the audio in its one.
        const std::uint64_t room =
            at < videoBytes ? std::min(kClusterBytes - at % kClusterBytes, videoBytes - at)
                            : all - at;
        const std::uint64_t offset =
            at < videoBytes
                ? image::ClusterOffset(VideoClusters[at / kClusterBytes]) + at % kClusterBytes
                : image::ClusterOffset(AudioCluster) + (at - videoBytes);
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(room, count - done));
        put(offset, done, n);
        done += n;
        at += n;
    }
}

void Disk::WriteAt(std::uint64_t offset, const std::uint8_t* bytes, std::size_t count) {
    if (::pwrite(Fd, bytes, count, static_cast<off_t>(offset)) != static_cast<ssize_t>(count))
        Fail();
}

void Disk::PutStructures(const std::array<std::uint8_t, 512>& header,
                         const std::array<std::uint32_t, kClusters + 1>& table) {
    WriteAt(std::uint64_t{kFirstHeaderSector} * kSectorSize, header.data(), header.size());
    std::array<std::uint8_t, 4 * kClusters> entries{}; // little-endian, from cluster 1 on
    for (int c = 1; c <= kClusters; ++c) {
        for (int b = 0; b < 4; ++b)
            entries[static_cast<std::size_t>(4 * (c - 1) + b)] =
                static_cast<std::uint8_t>(table[static_cast<std::size_t>(c)] >> (8 * b));
    }
    WriteAt(kClusterTableOffset + kClusterTableEntrySize, entries.data(), entries.size());
}

void Disk::Restore() {
    const std::vector<std::uint8_t>& fixtures = TheStreams().bytes;
    for (const auto& run : Patched) {
        const std::uint64_t at = run.first;
        EachPiece(at, run.second, [&](std::uint64_t offset, std::size_t i, std::size_t n) {
            WriteAt(offset, fixtures.data() + (at + i) % fixtures.size(), n);
        });
    }
    Patched.clear();
}

void Disk::Patch(std::uint64_t at, const std::vector<std::uint8_t>& bytes) {
    EachPiece(at, bytes.size(), [&](std::uint64_t offset, std::size_t i, std::size_t n) {
        WriteAt(offset, bytes.data() + i, n);
    });
    Patched.emplace_back(at, bytes.size());
}

Disk& DiskFor(int turn) {
    static std::array<std::unique_ptr<Disk>, kClusters> disks;
    std::unique_ptr<Disk>& disk = disks[static_cast<std::size_t>(turn)];
    if (!disk)
        disk = std::make_unique<Disk>(turn);
    return *disk;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::ImagePath(); // into the temporary folder
    fuzz::Input input(data, size);

    // Clusters 1 to 8, in an order the first byte turns.
    Disk& disk = DiskFor(input.Byte() % kClusters);
    const std::vector<int>& video = disk.Video();

    image::Recording rec;
    rec.recordNo = 1;
    rec.clip = "News";
    rec.lengthSeconds = 5;
    rec.firstVCluster = static_cast<std::int16_t>(video[0]);
    rec.firstACluster = static_cast<std::int16_t>(disk.Audio());
    std::array<std::uint8_t, 512> header = image::HeaderSector(rec);
    for (int i = 0; i < 64; ++i)
        header[static_cast<std::size_t>(0x40 + i)] ^= input.Byte();

    // The chains linked, then the entries the input changes.
    std::array<std::uint32_t, kClusters + 1> table{};
    for (std::size_t i = 0; i < video.size(); ++i)
        table[static_cast<std::size_t>(video[i])] =
            i + 1 < video.size() ? static_cast<std::uint32_t>(video[i + 1]) : kChainEnd;
    table[static_cast<std::size_t>(disk.Audio())] = kChainEnd;
    for (std::size_t cluster = 1; cluster <= kClusters; ++cluster) {
        const std::uint32_t change = input.Bytes(4);
        if (change != 0)
            table[cluster] = change;
    }
    disk.PutStructures(header, table);
    disk.Restore();
    while (input.Left() > 4) {
        const std::uint64_t where = input.Bytes(3);
        disk.Patch(where, input.Take(input.Byte()));
    }
    fuzz::Run({"tarnwell", "recover", disk.Path(), "--list"});
    return 0;
}
