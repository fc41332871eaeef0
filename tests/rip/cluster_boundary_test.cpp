// A cluster boundary at any byte of a recording's stream: the recorder cuts
// its streams into clusters wherever the cluster's bytes end, inside a start
// code, a PES header or a run of zeros. Swept over every offset around one
// packet's start code, for the video, an MPEG audio and an AC-3 chain, on the
// build with small clusters: rescue and recover read across the boundary as
// through one stream.
#include "image/recorder_image.h"
#include "support/fixtures.h"
#include "support/harness.h"
#include "support/ps_reader.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

constexpr uint64_t kCluster = TARNWELL_SMALL_CLUSTER_BYTES;
constexpr uint64_t kStuffing = 186368;     // a run of zeros of 182 KB
constexpr std::size_t kVideoPackets = 200; // 8 s of the video fixture

enum class Zeros { None, BeforeStartCode, EndingAtBoundary, EndingByteBefore };

struct Sweep {
    const char* name;
    const char* audio; // the audio fixture
    bool videoCut;     // the boundary cuts the video, else the audio
    Zeros zeros;
    bool firstPacket = false; // the boundary cuts the chain's first packet
};

// The stream of the chain: packets [0, n) of f with `count` zeros put in
// before byte `at` of them.
struct Chain {
    std::vector<uint8_t> bytes;
    uint64_t start = 0; // chain byte of bytes[0]
    std::vector<int> clusters;
};

Chain Zeroed(const Fixture& f, std::size_t n, uint64_t at, uint64_t count) {
    Chain c;
    c.bytes = PacketBytes(f, 0, n);
    c.bytes.insert(c.bytes.begin() + static_cast<long>(at), count, 0);
    return c;
}

// The chain from cluster `first` on, its bytes placed so that chain byte
// `boundary` of them begins a cluster.
void Place(image::RecorderImage& img, Chain& c, int first, uint64_t boundary) {
    c.start = (kCluster - boundary % kCluster) % kCluster;
    for (uint64_t at = 0; at < c.start + c.bytes.size(); at += kCluster)
        c.clusters.push_back(first + static_cast<int>(c.clusters.size()));
    img.LinkChain(c.clusters);
    img.PlaceChainData(c.clusters, c.start, c.bytes);
}

// Packets [k, k + n) of f as one, as a recorder that writes a packet a
// picture at a high rate makes them: a packet longer than the look past the
// one before, so that only its own header tells that the recording goes on.
Fixture OneLongPacket(const Fixture& f, std::size_t k, std::size_t n) {
    Fixture g = SliceFixture(f, 0, k + 1);
    for (std::size_t i = k + 1; i < k + n; ++i) {
        const std::vector<uint8_t> payload = Payload(f, i);
        g.bytes.insert(g.bytes.end(), payload.begin(), payload.end());
        g.packets.back().size += payload.size();
    }
    for (std::size_t i = k + n; i < f.packets.size(); ++i) {
        PesPacket p = f.packets[i];
        const auto from = f.bytes.begin() + static_cast<long>(p.offset);
        g.bytes.insert(g.bytes.end(), from, from + static_cast<long>(p.size));
        p.payloadOffset = g.bytes.size() - p.size + (p.payloadOffset - p.offset);
        p.offset = g.bytes.size() - p.size;
        g.packets.push_back(p);
    }
    return g;
}

// Where byte `at` of the packets lies in their payloads.
uint64_t PayloadPos(const Fixture& f, uint64_t at) {
    uint64_t pos = 0;
    for (const PesPacket& p : f.packets) {
        if (at < p.payloadOffset)
            break;
        pos += std::min(at, p.offset + p.size) - p.payloadOffset;
    }
    return pos;
}

// The video as the rescue writes it: from the first sequence header on, each
// run of zeros long enough to be looked past left out but for its last two
// bytes, closed by a sequence end code.
std::vector<uint8_t> LeftOutZeros(const std::vector<uint8_t>& es) {
    std::vector<uint8_t> kept = ZeroRunsLeftOut(es);
    kept.insert(kept.end(), {0x00, 0x00, 0x01, 0xB7});
    return kept;
}

class ClusterBoundary : public testing::TestWithParam<Sweep> {};

// Every boundary from 16 bytes before the start code of the packet in the
// middle of the cut stream to 16 bytes past its header. Where the zeros would
// have to lie inside a PES header, or inside an audio packet whose length is
// fixed, no recorder puts them, and the offset is passed over.
TEST_P(ClusterBoundary, ReadsAcrossItAsThroughOneStream) {
    const Sweep& s = GetParam();
    const Fixture video = OneLongPacket(SliceFixture(LoadFixture("video_e0"), 0, kVideoPackets),
                                        kVideoPackets / 2, 36);
    Fixture audio = LoadFixture(s.audio);
    std::size_t audioPackets = 0;
    while (audioPackets < audio.packets.size() &&
           TimestampDifference(audio.packets[audioPackets].pts,
                               video.packets.back().pts + kTimestampClock) < 0)
        ++audioPackets;
    audio = SliceFixture(audio, 0, audioPackets);
    const Fixture& cut = s.videoCut ? video : audio;
    const std::size_t middle = s.videoCut ? kVideoPackets / 2 : cut.packets.size() / 2;
    const PesPacket& packet = cut.packets[s.firstPacket ? 0 : middle];
    const uint64_t code = packet.offset, header = packet.payloadOffset - code;
    const uint64_t zeros = s.zeros == Zeros::None ? 0 : kStuffing;
    int layouts = 0;
    for (int64_t d = -16; d <= static_cast<int64_t>(header) + 16; ++d) {
        const uint64_t boundary = code + zeros + d; // in the chain's bytes
        uint64_t at = code;                         // where the zeros go in
        if (s.zeros == Zeros::EndingAtBoundary)
            at = code + d;
        else if (s.zeros == Zeros::EndingByteBefore)
            at = code + d - 1;
        // 00 00 01 id with zeros put in before its third byte is the same
        // bytes as with them before its first.
        const bool inStartCode = at >= code && at <= code + 2;
        if (!inStartCode && (!s.videoCut || (at > code && at < code + header)))
            continue;
        if (s.firstPacket && d <= 0) // zeros before the chain's data, a cluster of them
            continue;
        SCOPED_TRACE("boundary " + std::to_string(d) + " bytes from the start code");
        ++layouts;
        if (inStartCode)
            at = code;
        // Each layout on its own: a failed assertion ends only its checks.
        [&] {
            image::RecorderImage img;
            img.clusterBytes = kCluster;
            Chain v = s.videoCut ? Zeroed(video, video.packets.size(), at, zeros)
                                 : Zeroed(video, video.packets.size(), 0, 0);
            Chain a = s.videoCut ? Zeroed(audio, audio.packets.size(), 0, 0)
                                 : Zeroed(audio, audio.packets.size(), at, zeros);
            Place(img, a, 1, s.videoCut ? 0 : boundary);
            Place(img, v, a.clusters.back() + 1, s.videoCut ? boundary : 0);
            image::Recording rec;
            rec.recordNo = 1;
            rec.clip = "Cut";
            rec.lengthSeconds = 8;
            rec.firstACluster = static_cast<int16_t>(a.clusters[0]);
            rec.firstVCluster = static_cast<int16_t>(v.clusters[0]);
            img.AddRecording(rec);
            img.SetSize(image::ClusterOffset(v.clusters.back() + 1, kCluster));
            harness::TempDir dir;
            ASSERT_TRUE(img.Write(dir.File("recorder.img")));

            const harness::Run rescue = harness::RunProgramAs(
                {TARNWELL_SMALL_EXE}, dir.Path(), {"rescue", "recorder.img", "--no-index"});
            ASSERT_EQ(rescue.exitCode, 0) << rescue.console;
            const ps::Program p = ps::Read(dir.File("001 - Cut.mpg"));
            ASSERT_EQ(p.error, "");
            const int audioId = audio.streamId == 0xBD ? 0x180 : 0xC0;
            ASSERT_EQ(p.streams.count(0xE0) + p.streams.count(audioId), 2u);

            // The video from its first sequence header to its end, zero runs
            // left out; nothing after it.
            std::vector<uint8_t> es = ElementaryStream(video);
            if (s.videoCut)
                es.insert(es.begin() + static_cast<long>(PayloadPos(video, at)), zeros, 0);
            uint64_t sequence = 0;
            FindFirstSequenceHeader(video, &sequence);
            es.erase(es.begin(), es.begin() + static_cast<long>(PayloadPos(video, sequence)));
            EXPECT_TRUE(p.streams.at(0xE0).payload == LeftOutZeros(es))
                << p.streams.at(0xE0).payload.size() << " bytes of video, not "
                << LeftOutZeros(es).size();
            // Every packet of the sound from the first at or after the first
            // picture.
            std::size_t k = 0;
            while (TimestampDifference(audio.packets[k].pts, video.packets[0].pts) < 0)
                ++k;
            EXPECT_TRUE(p.streams.at(audioId).payload == Payloads(audio, k, audio.packets.size()))
                << p.streams.at(audioId).payload.size() << " bytes of sound";

            // The disk's structures zeroed: the survey finds the same recording
            // (but for a first cluster that holds no more than zeros and the
            // first bytes of a header: its recording has no packet to begin
            // with there).
            if (s.firstPacket)
                return;
            img.PlaceBytes(0, std::vector<uint8_t>(kDataStartSector * kSectorSize, 0));
            ASSERT_TRUE(img.Write(dir.File("recorder.img")));
            harness::TempDir out;
            const harness::Run recover =
                harness::RunProgramAs({TARNWELL_SMALL_EXE}, out.Path(),
                                      {"recover", dir.File("recorder.img"), "--no-index"});
            EXPECT_EQ(recover.exitCode, 0) << recover.console;
            const ps::Program q = ps::Read(
                out.File("recovered 01 (cluster " + std::to_string(v.clusters[0]) + ").mpg"));
            ASSERT_EQ(q.error, "");
            ASSERT_EQ(q.streams.count(0xE0) + q.streams.count(audioId), 2u) << recover.console;
            EXPECT_TRUE(q.streams.at(0xE0).payload == p.streams.at(0xE0).payload);
            EXPECT_TRUE(q.streams.at(audioId).payload == p.streams.at(audioId).payload);
        }();
    }
    EXPECT_GT(layouts, 0);
}

const Sweep kSweeps[] = {
    {"VideoNoZeros", "audio_c0", true, Zeros::None},
    {"VideoZerosBeforeStartCode", "audio_c0", true, Zeros::BeforeStartCode},
    {"VideoZerosEndingAtBoundary", "audio_c0", true, Zeros::EndingAtBoundary},
    {"VideoZerosEndingByteBefore", "audio_c0", true, Zeros::EndingByteBefore},
    {"MpegAudioNoZeros", "audio_c0", false, Zeros::None},
    {"MpegAudioZerosBeforeStartCode", "audio_c0", false, Zeros::BeforeStartCode},
    {"MpegAudioZerosEndingAtBoundary", "audio_c0", false, Zeros::EndingAtBoundary},
    {"MpegAudioZerosEndingByteBefore", "audio_c0", false, Zeros::EndingByteBefore},
    {"AC3NoZeros", "audio_bd", false, Zeros::None},
    {"AC3ZerosBeforeStartCode", "audio_bd", false, Zeros::BeforeStartCode},
    {"AC3ZerosEndingAtBoundary", "audio_bd", false, Zeros::EndingAtBoundary},
    {"AC3ZerosEndingByteBefore", "audio_bd", false, Zeros::EndingByteBefore},
    {"VideoFirstPacket", "audio_c0", true, Zeros::None, true},
    {"MpegAudioFirstPacket", "audio_c0", false, Zeros::None, true},
    {"AC3FirstPacket", "audio_bd", false, Zeros::None, true},
};

INSTANTIATE_TEST_SUITE_P(Layouts, ClusterBoundary, testing::ValuesIn(kSweeps),
                         [](const testing::TestParamInfo<Sweep>& sweep) {
                             return sweep.param.name;
                         });

} // namespace
