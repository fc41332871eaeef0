// The rip command on a small image made from the fixtures: recording slot 0
// with its audio (MPEG or AC-3) in cluster 1 and its video in cluster 2, the
// image's last cluster, cut short after the data. The input changes the
// recording's header, the cluster table's links and bytes of the chain data,
// and chooses the length ripped.
//
// Input: flags (1: AC-3), length (0xFF: -1, otherwise 0 to 3 seconds),
// 128 bytes XORed into the header sector, 16 bytes XORed into the table
// entries of clusters 1 to 4, then patches: chain and offset (24 bits, the top
// bit chooses the video), a count, and that many bytes put over the data.
#include "fuzz_support.h"

#include "image/recorder_image.h"
#include "platform/format.h"

namespace {

// About four seconds of audio and the first half second of video (a group of
// pictures): the rips of up to three seconds end inside the audio, and the
// video chain ends early. Little video keeps an input cheap.
struct Streams {
    std::vector<std::uint8_t> video = fuzz::FixtureBytes("video_e0.pes", 113779); // 12 packets
    std::vector<std::uint8_t> mp2 = fuzz::FixtureBytes("audio_c0.pes", 101290);   // 35 packets
    std::vector<std::uint8_t> ac3 = fuzz::FixtureBytes("audio_bd.pes", 227556);   // 126 packets
};

void Patch(std::vector<std::uint8_t>& data, std::uint32_t offset,
           const std::vector<std::uint8_t>& bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i)
        data[(offset + i) % data.size()] = bytes[i];
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const Streams streams;
    const std::string& path = fuzz::ImagePath();
    fuzz::Input input(data, size);
    const bool ac3 = input.Byte() & 1;
    const std::uint8_t length = input.Byte();

    image::Recording rec;
    rec.recordNo = 1;
    rec.station = "Tarn TV";
    rec.clip = "News";
    rec.lengthSeconds = 4;
    rec.vClusters = rec.aClusters = 1;
    rec.firstVCluster = 2;
    rec.firstACluster = 1;
    std::array<std::uint8_t, 512> header = image::HeaderSector(rec);
    for (int i = 0; i < 128; ++i)
        header[static_cast<std::size_t>(i)] ^= input.Byte();

    image::RecorderImage disk;
    disk.AddRawHeader(header);
    for (int cluster = 1; cluster <= 4; ++cluster) {
        const std::uint32_t base = cluster <= 2 ? kChainEnd : 0;
        const std::uint32_t entry = base ^ input.Bytes(4);
        disk.SetNext(cluster, static_cast<std::uint16_t>(entry & 0xFFFF),
                     static_cast<std::uint16_t>(entry >> 16));
    }
    std::vector<std::uint8_t> audio = ac3 ? streams.ac3 : streams.mp2;
    std::vector<std::uint8_t> video = streams.video;
    while (input.Left() > 4) {
        const std::uint32_t where = input.Bytes(3);
        const std::vector<std::uint8_t> bytes = input.Take(input.Byte());
        Patch(where & 0x800000 ? video : audio, where & 0x7FFFFF, bytes);
    }
    disk.PlaceChainData({1}, 0, audio);
    disk.PlaceChainData({2}, 0, video);
    if (!disk.Write(path))
        return 0;
    fuzz::Run({"tarnwell", "rip", path, "0", length == 0xFF ? "-1" : std::to_string(length % 4)});
    return 0;
}
