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
#include <fstream>
#include <numeric>

namespace {

// About five seconds of video and of audio: three clusters of the small
// build, one cluster of the full-size one.
struct Streams {
    std::vector<std::uint8_t> video = fuzz::FixtureBytes("video_e0.pes", 600000);
    std::vector<std::uint8_t> audio = fuzz::FixtureBytes("audio_c0.pes", 150000);
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const Streams streams;
    const std::string& path = fuzz::ImagePath();
    fuzz::Input input(data, size);

    // Clusters 1 to 8, in an order the first byte turns.
    std::vector<int> order(8);
    std::iota(order.begin(), order.end(), 1);
    std::rotate(order.begin(), order.begin() + input.Byte() % 8, order.end());
    const std::vector<int> video(order.begin(), order.begin() + 3);
    const std::vector<int> audio = {order[3]};

    image::Recording rec;
    rec.recordNo = 1;
    rec.clip = "News";
    rec.lengthSeconds = 5;
    rec.firstVCluster = static_cast<std::int16_t>(video[0]);
    rec.firstACluster = static_cast<std::int16_t>(audio[0]);
    std::array<std::uint8_t, 512> header = image::HeaderSector(rec);
    for (int i = 0; i < 64; ++i)
        header[static_cast<std::size_t>(0x40 + i)] ^= input.Byte();

    image::RecorderImage disk;
    disk.AddRawHeader(header);
    disk.LinkChain(video);
    disk.LinkChain(audio);
    for (int cluster = 1; cluster <= 8; ++cluster) {
        const std::uint32_t change = input.Bytes(4);
        if (change != 0)
            disk.SetNext(cluster, static_cast<std::uint16_t>(change & 0xFFFF),
                         static_cast<std::uint16_t>(change >> 16));
    }
    // The image's structures, then the chains' data written where it lies,
    // then the patches over it, in order: the bytes the disk holds are those
    // of the fixtures with the patches laid over them, without a copy of the
    // fixtures for each input.
    const std::uint64_t videoBytes = streams.video.size(), audioBytes = streams.audio.size();
    auto placeOf = [&](std::uint64_t at) { // a byte of video then audio, on the disk
        if (at < videoBytes)
            return image::ClusterOffset(video[at / kClusterBytes]) + at % kClusterBytes;
        return image::ClusterOffset(audio[0]) + (at - videoBytes);
    };
    disk.SetSize(std::max(placeOf(videoBytes - 1), placeOf(videoBytes + audioBytes - 1)) + 1);
    if (!disk.Write(path))
        return 0;
    std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
    auto put = [&](std::uint64_t at, const std::uint8_t* bytes, std::size_t count) {
        file.seekp(static_cast<std::streamoff>(placeOf(at)));
        file.write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(count));
    };
    for (std::uint64_t at = 0; at < videoBytes; at += kClusterBytes)
        put(at, streams.video.data() + at,
            static_cast<std::size_t>(std::min<std::uint64_t>(kClusterBytes, videoBytes - at)));
    put(videoBytes, streams.audio.data(), streams.audio.size());
    while (input.Left() > 4) {
        std::uint64_t where = input.Bytes(3);
        for (const std::uint8_t b : input.Take(input.Byte()))
            put(where++ % (videoBytes + audioBytes), &b, 1);
    }
    file.close();
    if (!file)
        return 0;
    fuzz::Run({"tarnwell", "recover", path, "--list"});
    return 0;
}
