// The program-stream writer on the real fixtures: the packs read back, the
// time stamps against the packs' SCR, the fields that a DVD muxer (ffmpeg
// -f dvd) writes, and ffmpeg's verdict on the file.
#include "extract/extract.h"
#include "output/output.h"
#include "psmux/psmux.h"
#include "support/ffmpeg_check.h"
#include "support/fixtures.h"
#include "support/harness.h"
#include "support/ps_reader.h"

#include <gtest/gtest.h>

namespace {

constexpr int64_t kSecond27 = 27000000;
// The fixtures' streams start at 126000; the writer's programs at 45000.
constexpr int64_t kShift = 45000 - 126000;

struct Muxed {
    harness::TempDir dir;
    std::vector<uint8_t> video, audio;
    std::vector<std::pair<uint64_t, std::pair<int64_t, int64_t>>> pictures; // offset, pts, dts
    std::vector<uint64_t> frames;                                           // audio frame starts
    ps::Program program;
};

// The video from its first sequence header with the sequence end code, and
// the whole audio, fed to the writer in the order of their time stamps.
void Mux(Muxed& m, const std::string& audioFixture, EsKind kind) {
    const Fixture v = LoadFixture("video_e0"), a = LoadFixture(audioFixture);
    m.audio = ElementaryStream(a);
    {
        bool ok = false;
        COBits out(m.dir.File("out.mpg"), ok);
        const AudioFormat& format = kind == EsKind::AC3 ? kAC3Format : kMpegAudioFormat;
        AudioFrameInfo frame;
        ASSERT_TRUE(format.parse(m.audio.data(), m.audio.size(), frame));
        CProgramStreamWriter writer(out, kind, frame.bytes * 8 * frame.sampleRate / frame.samples);
        std::size_t fed = 0;
        int64_t samples = 0;
        auto feedAudio = [&](int64_t until) {
            while (fed < m.audio.size() &&
                   format.parse(&m.audio[fed], m.audio.size() - fed, frame)) {
                const int64_t pts = a.packets[0].pts + kShift + samples * 90000 / frame.sampleRate;
                if (pts >= until)
                    return;
                writer.Stamp(CProgramStreamWriter::kAudio, fed, pts, pts);
                writer.Write(CProgramStreamWriter::kAudio, &m.audio[fed], frame.bytes);
                m.frames.push_back(fed);
                fed += frame.bytes;
                samples += frame.samples;
            }
        };
        for (std::size_t k = 0; k < v.packets.size(); ++k) {
            const PesPacket& p = v.packets[k];
            const int64_t pts = p.pts + kShift, dts = (p.dts < 0 ? p.pts : p.dts) + kShift;
            feedAudio(dts + 90000);
            m.pictures.push_back({m.video.size(), {pts, dts}});
            writer.Stamp(CProgramStreamWriter::kVideo, m.video.size(), pts, dts);
            std::vector<uint8_t> payload = Payload(v, k);
            if (k + 1 == v.packets.size())
                payload.insert(payload.end(), {0x00, 0x00, 0x01, 0xB7});
            writer.Write(CProgramStreamWriter::kVideo, payload.data(), payload.size());
            m.video.insert(m.video.end(), payload.begin(), payload.end());
        }
        writer.End(CProgramStreamWriter::kVideo);
        feedAudio(INT64_MAX);
        writer.Finish();
    }
    m.program = ps::Read(m.dir.File("out.mpg"));
}

const struct Case {
    const char* fixture;
    EsKind kind;
    int audioId;
    const char* extension;
    const char* codecs;
} kCases[] = {
    {"audio_c0", EsKind::MpegAudio, 0xC0, ".mp2", "mpeg2video mp2 "},
    {"audio_bd", EsKind::AC3, 0x180, ".ac3", "mpeg2video ac3 "},
};

} // namespace

// Packs, payloads and time stamps as they went in, each pack before the time
// of its data by at most one second, AC-3 headers pointing at its frames.
TEST(ProgramStreamWriter, CarriesTheStreamsWithTheirTimeStamps) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.fixture);
        Muxed m;
        Mux(m, c.fixture, c.kind);
        const ps::Program& p = m.program;
        ASSERT_EQ(p.error, "");
        EXPECT_TRUE(p.systemHeader);
        for (std::size_t i = 1; i < p.packs; ++i)
            EXPECT_LE(p.scr[i - 1], p.scr[i]) << "pack " << i;
        EXPECT_EQ(p.scr[0], 0);
        EXPECT_EQ(p.streams.size(), 2u);
        EXPECT_TRUE(p.streams.at(0xE0).payload == m.video);
        EXPECT_TRUE(p.streams.at(c.audioId).payload == m.audio);

        std::size_t picture = 0, stamped = 0;
        for (int id : {0xE0, c.audioId}) {
            for (const ps::Pes& pes : p.streams.at(id).packets) {
                if (pes.pts < 0)
                    continue;
                const int64_t due = (pes.dts >= 0 ? pes.dts : pes.pts) * 300 - pes.scr;
                EXPECT_GT(due, 0) << "pack " << pes.pack;
                EXPECT_LE(due, kSecond27) << "pack " << pes.pack;
                if (id != 0xE0)
                    continue;
                // The stamps of the first picture that begins in the packet.
                while (m.pictures[picture].first < pes.offset)
                    ++picture;
                ASSERT_LT(m.pictures[picture].first, pes.offset + pes.size);
                EXPECT_EQ(pes.pts, m.pictures[picture].second.first);
                EXPECT_EQ(pes.dts < 0 ? pes.pts : pes.dts, m.pictures[picture].second.second);
                ++stamped;
            }
        }
        EXPECT_EQ(stamped, m.pictures.size()); // every picture keeps its stamps
        for (const ps::Pes& pes : p.streams.at(c.audioId).packets) {
            if (c.kind != EsKind::AC3)
                break;
            int frames = 0;
            uint64_t first = 0;
            for (uint64_t f : m.frames) {
                if (f >= pes.offset && f < pes.offset + pes.size && frames++ == 0)
                    first = f;
            }
            EXPECT_EQ(pes.frames, frames);
            EXPECT_EQ(pes.pointer, frames ? static_cast<int>(first - pes.offset + 1) : 0);
        }
    }
}

// The same fields as ffmpeg's DVD muxer writes for the same streams, except
// the bound of private stream 1, which ffmpeg leaves at 0 for AC-3; ffprobe
// and ffmpeg take the file without a word.
TEST(ProgramStreamWriter, MatchesADvdMuxerAndFfmpegAcceptsIt) {
    if (!FfmpegAvailable())
        GTEST_SKIP() << "ffmpeg is not installed";
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.fixture);
        Muxed m;
        Mux(m, c.fixture, c.kind);
        const std::string video = m.dir.File("v.m2v"),
                          audio = m.dir.File(std::string("a") + c.extension);
        ASSERT_TRUE(harness::WriteFile(video, m.video) && harness::WriteFile(audio, m.audio));
        ASSERT_TRUE(MuxDvdWithFfmpeg(video, audio, m.dir.File("dvd.mpg")));
        const ps::Program dvd = ps::Read(m.dir.File("dvd.mpg"));
        const ps::Program& ours = m.program;
        ASSERT_EQ(dvd.error, "");
        EXPECT_EQ(ours.muxRate[0], dvd.muxRate[0]);
        EXPECT_EQ(ours.rateBound, dvd.rateBound);
        EXPECT_EQ(ours.audioBound, dvd.audioBound);
        EXPECT_EQ(ours.videoBound, dvd.videoBound);
        for (int id : {0xB9, 0xB8, 0xBF})
            EXPECT_EQ(ours.bufferBounds.at(id), dvd.bufferBounds.at(id)) << std::hex << id;
        EXPECT_EQ(ours.bufferBounds.at(0xBD), c.kind == EsKind::AC3 ? 4096 : 0);
        for (int id : {0xE0, c.audioId})
            EXPECT_EQ(ours.streams.at(id).packets[0].bufferBytes,
                      dvd.streams.at(id).packets[0].bufferBytes)
                << std::hex << id;

        const std::string file = m.dir.File("out.mpg");
        EXPECT_EQ(ProbeCodecs(file), c.codecs);
        const DecodeResult d = DecodeWithFfmpeg(file);
        EXPECT_EQ(d.exitCode, 0);
        EXPECT_EQ(d.errors, "");
    }
}
