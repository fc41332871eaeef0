// Elementary stream extraction on real MPEG data: which stream a cluster chain
// carries, where its timeline begins, and the cut of MPEG audio, AC-3 and
// MPEG-2 video between two time stamps, with damaged packets, time stamp wraps
// and data that ends in the middle of things.
#include "drive/drive.h"
#include "image/recorder_image.h"
#include "output/output.h"
#include "platform/runlog.h"
#include "reader/reader.h"
#include "support/ffmpeg_check.h"
#include "support/fixtures.h"
#include "support/harness.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <memory>

namespace {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;
constexpr int64_t kFar = int64_t{1} << 40; // beyond every PTS

// Recording 0 of a recorder disk image whose chain of clusters 3 and 4 holds
// `data` at chain offset `at`, with the run's cluster table and a reader on it.
struct Chain {
    harness::TempDir dir;
    std::string path = dir.File("disk.img");
    CDriveSession drive;
    std::unique_ptr<CPVRFile> file;
    std::unique_ptr<CClusterReader> reader;

    explicit Chain(const Bytes& data, uint64_t at = 0) {
        harness::Capture quiet; // the cluster dump
        image::RecorderImage img;
        image::Recording rec;
        rec.firstVCluster = rec.firstACluster = 3;
        img.AddRecording(rec);
        img.LinkChain({3, 4});
        img.PlaceChainData({3, 4}, at, data);
        EXPECT_TRUE(img.Write(path));
        drive.Open(path);
        drive.LoadClusterTable();
        file = std::make_unique<CPVRFile>(drive, 0);
        reader = std::make_unique<CClusterReader>(drive, 3);
    }
    ~Chain() {
        harness::Capture quiet;
        reader.reset();
        file.reset();
    }
};

template <typename T> std::vector<T> Cat(std::initializer_list<std::vector<T>> parts) {
    std::vector<T> all;
    for (const std::vector<T>& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// `count` bytes of `payload` repeated from its start.
Bytes Repeat(const Bytes& payload, size_t count) {
    Bytes out;
    for (size_t i = 0; i < count; ++i)
        out.push_back(payload[i % payload.size()]);
    return out;
}

std::string Pts(int64_t pts) {
    return std::to_string(pts);
}

Lines Tail(const Lines& lines, size_t n) {
    return Lines(lines.end() - static_cast<std::ptrdiff_t>(std::min(n, lines.size())), lines.end());
}

bool Has(const Lines& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// Byte streams compared with a short report instead of a dump of megabytes.
testing::AssertionResult Same(const Bytes& actual, const Bytes& expected) {
    const auto diff = std::mismatch(actual.begin(), actual.end(), expected.begin(), expected.end());
    if (diff.first == actual.end() && diff.second == expected.end())
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << actual.size() << " bytes instead of " << expected.size()
                                       << ", first difference at " << (diff.first - actual.begin());
}

TEST(StreamIdSearch, FindsTheIdOfTheFirstAcceptablePacketInTheFirstCluster) {
    const Fixture video = LoadFixture("video_e0");
    const Fixture mp2 = LoadFixture("audio_c0");
    const Fixture ac3 = LoadFixture("audio_bd");
    // A padding packet whose header would parse, an AC-3 packet without PTS
    // and a video packet whose data begins inside the picture (an extension
    // start code instead of the picture start code) are all passed over.
    const Bytes padding = {0, 0, 1, 0xBE, 0, 10, 0x80, 0x80, 5, 0x21, 0, 1, 0, 1, 0xFF, 0xFF};
    Bytes noPts = PacketBytes(ac3, 0, 1);
    noPts[7] = 0x00;
    Bytes midPicture = PacketBytes(video, 1, 2);
    midPicture[video.packets[1].payloadOffset - video.packets[1].offset + 3] = 0xB5;
    const uint64_t end = kClusterBytes; // of the first cluster
    const struct {
        const char* name;
        Bytes data;
        uint64_t at;
        int id;
    } cases[] = {
        {"video", PacketBytes(video, 0, 3), 0, 0xE0},
        {"MPEG audio", PacketBytes(mp2, 0, 3), 0, 0xC0},
        {"AC-3", PacketBytes(ac3, 0, 3), 0, 0xBD},
        {"passed over", Cat({padding, noPts, midPicture, PacketBytes(mp2, 0, 2)}), 0, 0xC0},
        // The first start code prefix must lie within the first cluster's bytes ...
        {"prefix ends the cluster", PacketBytes(mp2, 0, 2), end - 3, 0xC0},
        {"packet in the second cluster", PacketBytes(mp2, 0, 2), end - 2, 0},
        // ... and the search ends after the first start code looked at beyond them.
        {"next code in the second cluster", Cat({padding, Bytes(4), PacketBytes(mp2, 0, 2)}),
         end - 16, 0xC0},
        {"one start code too far", Cat({padding, Bytes(4), padding, PacketBytes(mp2, 0, 2)}),
         end - 16, 0},
        {"unreadable chain", {}, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Chain chain(c.data, c.at);
        harness::Capture cap;
        int id = -1;
        EXPECT_EQ(chain.file->GetStreamIDs(*chain.reader, id), c.id != 0);
        EXPECT_EQ(id, c.id);
        // Its own two lines come first (the reader logs its steps to the next cluster).
        Lines log = cap.LogLines();
        log.resize(2);
        EXPECT_EQ(log, (Lines{"GetStreamIDs", c.data.empty() ? "try to rewind... failed..."
                                                             : "try to rewind... okay"}));
        EXPECT_EQ(cap.Console(), "");
    }
}

struct FirstPts {
    bool found;
    int64_t pts = -1;
    Lines log;
    bool logHexFixed; // the state the search leaves the log in
};

FirstPts FindFirst(const Bytes& data, int streamId) {
    Chain chain(data);
    harness::Capture cap;
    FirstPts r{};
    r.found = chain.file->FindFirstPTS(*chain.reader, streamId, r.pts);
    r.log = cap.LogLines();
    r.logHexFixed = (g_Log->flags() & (std::ios::basefield | std::ios::floatfield)) ==
                    (std::ios::hex | std::ios::fixed);
    return r;
}

TEST(FirstPtsSearch, AudioTakesItsFirstPacketWithANonZeroPts) {
    const Fixture mp2 = LoadFixture("audio_c0");
    Fixture ac3 = LoadFixture("audio_bd");
    ShiftTimestamps(ac3, -ac3.packets[0].pts); // the first AC-3 PTS is 0: passed over
    const struct {
        Bytes data;
        int id;
        const char* title;
        int64_t pts;
    } cases[] = {{PacketBytes(mp2, 0, 3), 0xC0, "FirstPTS AUDIO 1c0", mp2.packets[0].pts},
                 {PacketBytes(ac3, 0, 3), 0xBD, "FirstPTS PRIVATE_1 1bd", ac3.packets[1].pts}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        const FirstPts r = FindFirst(c.data, c.id);
        EXPECT_TRUE(r.found);
        EXPECT_EQ(r.pts, c.pts);
        EXPECT_EQ(r.log, (Lines{"", c.title, "try to rewind...okay", "found PTS " + Pts(c.pts),
                                " audio pts... means doodeldee... gotit!!! -> return"}));
        EXPECT_TRUE(r.logHexFixed);
    }
}

TEST(FirstPtsSearch, VideoKeepsTheLastPictureWithPtsAndDtsBeforeTheSequenceHeader) {
    const Fixture video = LoadFixture("video_e0");
    // From the first packet, which holds the sequence header; from the middle
    // of the first GOP, so that the search waits for the next GOP's header;
    // and the same without that header.
    const std::pair<size_t, size_t> ranges[] = {{0, 12}, {1, 12}, {1, 10}};
    for (const auto& [first, last] : ranges) {
        SCOPED_TRACE("packets " + std::to_string(first) + " to " + std::to_string(last));
        Lines log = {"", "FirstPTS VIDEO 1e0", "try to rewind...okay"};
        int64_t candidate = 0;
        bool found = false;
        for (size_t i = first; i < last && !found; ++i) {
            const PesPacket& p = video.packets[i];
            if (p.dts < 0)
                continue; // B pictures carry no DTS
            candidate = p.pts;
            log.insert(log.end(), {"found PTS " + Pts(candidate), " waiting... for 0x000001B3"});
            found = video.bytes[p.payloadOffset + 3] == 0xB3; // an I picture's sequence header
        }
        log.push_back(found ? "got 0x000001B3 after PTS " + Pts(candidate) + "... return"
                            : "could not find any PTS that suites... return");
        const FirstPts r = FindFirst(PacketBytes(video, first, last), 0xE0);
        EXPECT_EQ(r.found, found);
        EXPECT_EQ(r.pts, candidate);
        EXPECT_EQ(r.log, log);
    }
}

using Ripper = void (CPVRFile::*)(CClusterReader&, COBits&, int, int64_t, int64_t);

struct Ripped {
    Bytes out;
    Lines log, console;
    std::string consoleText;
};

// Runs one ripper on a chain holding `data` at chain offset `at`, with the
// console and the log in the state that the rip job leaves them in:
// hexadecimal from the stream ids, fixed notation, precision 0.
Ripped Rip(Ripper ripper, const Bytes& data, int streamId, int64_t startPTS, int64_t maxPTS,
           uint64_t at = 0) {
    Chain chain(data, at);
    Ripped r;
    const std::string outName = chain.dir.File("out");
    {
        harness::Capture cap;
        std::cout << std::fixed << std::hex;
        std::cout.precision(0);
        *g_Log << std::fixed << std::hex;
        {
            bool ok = false;
            COBits out(outName, ok);
            ((*chain.file).*ripper)(*chain.reader, out, streamId, startPTS, maxPTS);
        }
        r.log = cap.LogLines();
        r.console = cap.ConsoleLines();
        r.consoleText = cap.Console();
    }
    r.out = harness::ReadFile(outName);
    return r;
}

// The two audio rippers and their streams.
struct AudioKind {
    const char* fixture;
    Ripper ripper;
    const char* name;
    int foreignId; // a stream id that does not belong
    const char* wrongStartCode;
};
const AudioKind kAudioKinds[] = {
    {"audio_c0", &CPVRFile::RipAudioStream, "CPVRFile::RipAudioStream", 0xC1,
     "1c1 is not the expected startcode!"},
    {"audio_bd", &CPVRFile::RipPrivateStream, "CPVRFile::RipPrivateStream", 0xBF,
     "this is not the expected startcode!"},
};

// Packets of an audio fixture whose payloads hold no 00 00 01 (AC-3 data now
// and then does), so that every line of a resynchronisation can be foreseen.
Fixture AudioPackets(const AudioKind& kind, size_t count) {
    return SliceFixture(LoadFixture(kind.fixture), 32, 32 + count);
}

TEST(AudioRipFirstPacket, CopiesFromTheFirstPacketAtStartPtsThatIsFollowedByItsStream) {
    for (const AudioKind& kind : kAudioKinds) {
        SCOPED_TRACE(kind.name);
        const Fixture clean = AudioPackets(kind, 20);
        Fixture broken = clean; // packet 1 belongs to another stream: packet 0 is passed over
        broken.bytes[broken.packets[1].offset + 3] = static_cast<uint8_t>(kind.foreignId);
        const int64_t halfStep = (clean.packets[1].pts - clean.packets[0].pts) / 2;
        const std::string tooEarly = "PES ist not okay OR PTS is less then StartPTS";
        const struct {
            const Bytes& data;
            int64_t start, max;
            size_t first, last; // the packets copied
            Lines skipped;
        } cases[] = {
            // Up to packet 10, which is not copied.
            {clean.bytes,
             clean.packets[3].pts - halfStep,
             clean.packets[10].pts,
             3,
             10,
             {tooEarly, tooEarly, tooEarly}},
            // To the end: the last packet has no packet after it.
            {clean.bytes, 0, kFar, 0, 19, {}},
            {broken.bytes, 0, kFar, 2, 19, {"this is not a PES_PACKET", kind.wrongStartCode}},
        };
        for (const auto& c : cases) {
            const Ripped r = Rip(kind.ripper, c.data, clean.streamId, c.start, c.max);
            EXPECT_TRUE(Same(r.out, Payloads(clean, c.first, c.last)));
            const std::string found =
                "found PTS " + Pts(clean.packets[c.first].pts) + " running...";
            Lines log = Cat({Lines{kind.name, "Try to rewind... passed!"}, c.skipped, {found}});
            Lines console = {kind.name, "Try to rewind... passed!", found,
                             "patience... running..."};
            if (c.last == 19) { // the look-ahead of the last packet meets the end
                log.insert(log.end(), {"error recovery", "EOBS reached!"});
                console.insert(console.end(), {"error recovery", "EOBS reached!"});
            }
            EXPECT_EQ(Tail(r.log, log.size()), log);
            EXPECT_EQ(r.console, console);
        }
    }
}

// Phase 1 looks for the next start code within 10 MiB at a time: 11 MiB
// without one before the first packet cost two lines of the log, not one, nor
// one a megabyte.
TEST(AudioRipFirstPacket, StartCodesAreSoughtTenMebibytesAtATime) {
    const Bytes junk(11 << 20, 0x5A);
    for (const AudioKind& kind : kAudioKinds) {
        SCOPED_TRACE(kind.name);
        const Fixture f = AudioPackets(kind, 3);
        const Ripped r = Rip(kind.ripper, Cat({junk, f.bytes}), f.streamId, 0, kFar);
        EXPECT_TRUE(Same(r.out, Payloads(f, 0, 2)));
        const std::string wrong = "not the expected startcode!";
        EXPECT_EQ(std::count_if(r.log.begin(), r.log.end(),
                                [&](const std::string& line) {
                                    return line.size() >= wrong.size() &&
                                           line.compare(line.size() - wrong.size(), wrong.size(),
                                                        wrong) == 0;
                                }),
                  2);
    }
}

TEST(AudioRipRecovery, DamagedPacketsAreDroppedAndTheLostTimeFilledWithWholeFrames) {
    enum Damage { ForeignPacket, MarkerBit, EmptyPayload };
    // A Layer II packet holds five frames of 2160 ticks, an AC-3 packet one
    // of 2880: the frames of the packet copied last count against the gap.
    const struct {
        size_t kind; // 0 MPEG audio, 1 AC-3
        Damage damage;
        int64_t gap;   // PTS of the next good packet minus that of the last one copied
        size_t frames; // of the filler
    } cases[] = {
        {1, ForeignPacket, 5760, 1},  {0, ForeignPacket, 21600, 5}, // one packet lost
        {1, MarkerBit, 8640, 2},      {0, MarkerBit, 32400, 10},    // two packets lost
        {1, ForeignPacket, 4320, 1},  {0, ForeignPacket, 11880, 1}, // half a frame rounds up
        {1, ForeignPacket, 4319, 0},  {0, ForeignPacket, 11879, 0}, // below half a frame
        {0, ForeignPacket, -1000, 0}, {1, EmptyPayload, 5760, 0},   // nothing to repeat
    };
    for (const auto& c : cases) {
        const AudioKind& kind = kAudioKinds[c.kind];
        SCOPED_TRACE(std::string(kind.name) + " damage " + std::to_string(c.damage) + " gap " +
                     Pts(c.gap));
        const Bytes foreign = PacketBytes(LoadFixture(kAudioKinds[1 - c.kind].fixture), 0, 1);
        Fixture f = AudioPackets(kind, 12);
        // Packet 2 with its payload cut off (PES_packet_length 8) copies nothing.
        Bytes empty = PacketBytes(f, 2, 3);
        empty.resize(f.packets[2].payloadOffset - f.packets[2].offset);
        empty[4] = 0;
        empty[5] = 8;
        // The packets copied before the damage, and the first one copied after it.
        const size_t keep = c.damage == EmptyPayload ? 2 : 3;
        const size_t next = c.damage == ForeignPacket ? 4 : c.damage == MarkerBit ? 5 : 3;
        const int64_t shift = c.gap - (f.packets[next].pts - f.packets[2].pts);
        for (size_t i = next; i < f.packets.size(); ++i) // the last one copied has packet 2's PTS
            WritePesTimestamp(&f.bytes[f.packets[i].offset + 9], f.packets[i].pts += shift);
        Bytes data = f.bytes;
        if (c.damage == ForeignPacket) // packet 3 is broken, the foreign one a bad header
            data = Cat({PacketBytes(f, 0, 4), foreign, PacketBytes(f, 4, 12)});
        else if (c.damage == MarkerBit) // the last marker bit of packet 4's PTS: 3 and 4 dropped
            data[f.packets[4].offset + 13] &= 0xFE;
        else // the empty packet is copied, packet 2 after it is broken
            data = Cat({PacketBytes(f, 0, 2), empty, PacketBytes(f, 2, 3), foreign,
                        PacketBytes(f, 3, 12)});
        const Ripped r = Rip(kind.ripper, data, f.streamId, 0, kFar);
        // Packet 2's payload is whole frames from its start: its frames in
        // order are its bytes in order.
        const size_t frameBytes = c.kind == 0 ? 576 : 1792;
        EXPECT_TRUE(
            Same(r.out, Cat({Payloads(f, 0, keep), Repeat(Payload(f, 2), c.frames * frameBytes),
                             Payloads(f, next, 11)})));
        const Lines end = {"error recovery", "error recovery", "DIFF=" + Pts(c.gap),
                           "error recovery", "EOBS reached!"};
        Lines log = end;
        if (c.damage == EmptyPayload)
            log.insert(log.begin() + 3, "no whole audio frame to repeat");
        EXPECT_EQ(Tail(r.log, log.size()), log);
        EXPECT_EQ(Tail(r.console, end.size()), end);
    }
}

// Genuine ffmpeg audio at the bit rates broadcasters use, with 18 packets
// damaged (PES_packet_length + 4: the look-ahead fails and the packet's
// frames are lost), two of them one after the other. Each repair is the
// frames of the packet before, for as long as the lost packets lasted: the
// sound decodes without an error and keeps its length.
TEST(AudioRipRecovery, RepairedSoundKeepsItsLengthAtEveryBitRate) {
    if (!FfmpegAvailable())
        GTEST_SKIP() << "ffmpeg is not installed";
    const struct {
        const char* codec;
        int kbps;
        bool framePerPacket;
    } cases[] = {{"mp2fixed", 128, false}, {"mp2fixed", 192, true},  {"mp2fixed", 256, false},
                 {"mp2fixed", 384, true},  {"ac3_fixed", 192, true}, {"ac3_fixed", 448, false},
                 {"ac3_fixed", 640, true}};
    harness::TempDir dir;
    for (const auto& c : cases) {
        const std::string name = std::string(c.codec) + "-" + std::to_string(c.kbps);
        SCOPED_TRACE(name);
        ASSERT_TRUE(EncodeAudioPes(c.codec, c.kbps, 20, c.framePerPacket, dir.File(name)));
        const Fixture f = LoadFixture(dir.File(name));
        const size_t n = f.packets.size();
        std::vector<bool> lost(n);
        for (size_t k = 0; k < 17; ++k)
            lost[2 + k * (n - 4) / 17] = true;
        lost[3] = true;
        Bytes data = f.bytes;
        Bytes expected, undamaged = Payloads(f, 0, n - 1); // the last packet has none after it
        size_t good = 0;
        for (size_t i = 0; i + 1 < n; ++i) {
            uint8_t* length = &data[f.packets[i].offset + 4];
            const unsigned longer = (length[0] << 8 | length[1]) + 4u;
            length[0] = static_cast<uint8_t>(longer >> 8);
            length[1] = static_cast<uint8_t>(lost[i] ? longer : longer - 4);
            if (!lost[i])
                good = i;
            const Bytes payload = Payload(f, i);
            expected =
                Cat({expected, lost[i] ? Repeat(Payload(f, good), payload.size()) : payload});
        }
        const bool mpeg = f.streamId == 0xC0;
        const Ripped r = Rip(mpeg ? &CPVRFile::RipAudioStream : &CPVRFile::RipPrivateStream, data,
                             f.streamId, 0, kFar);
        EXPECT_TRUE(Same(r.out, expected));
        const std::string extension = mpeg ? ".mp2" : ".ac3";
        ASSERT_TRUE(harness::WriteFile(dir.File(name + "-ripped" + extension), r.out));
        ASSERT_TRUE(harness::WriteFile(dir.File(name + extension), undamaged));
        const DecodeResult ripped = DecodeWithFfmpeg(dir.File(name + "-ripped" + extension));
        const DecodeResult clean = DecodeWithFfmpeg(dir.File(name + extension));
        EXPECT_EQ(ripped.errors, "");
        EXPECT_NEAR(ripped.durationSeconds, clean.durationSeconds, mpeg ? 0.024 : 0.032);
    }
}

TEST(AudioRipPtsWrap, MaxPtsMovesWithTheWrapSoThatTheLengthLeftStaysTheSame) {
    // Packet 6 wraps past 2^33, or steps back by exactly 2 s (no wrap) or by
    // one tick more (taken as one).
    const struct {
        int64_t back; // 0: the wrap
        bool wraps;
    } cases[] = {{0, true}, {180000, false}, {180001, true}};
    for (const AudioKind& kind : kAudioKinds) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(kind.name) + " back " + Pts(c.back));
            Fixture f = AudioPackets(kind, 30);
            const int64_t step = f.packets[1].pts - f.packets[0].pts;
            if (c.back == 0)
                SetPtsAt(f, 5, kTimestampWrap - 100);
            const int64_t shift = f.packets[5].pts - c.back - f.packets[6].pts;
            for (size_t i = 6; c.back != 0 && i < f.packets.size(); ++i)
                WritePesTimestamp(&f.bytes[f.packets[i].offset + 9], f.packets[i].pts += shift);
            const int64_t maxPTS = f.packets[0].pts + 10 * step;
            const int64_t moved = c.wraps ? maxPTS + f.packets[6].pts - f.packets[5].pts : maxPTS;
            size_t stop = 6;
            while (stop + 1 < f.packets.size() && f.packets[stop].pts < moved)
                ++stop;
            const Ripped r = Rip(kind.ripper, f.bytes, f.streamId, f.packets[0].pts, maxPTS);
            EXPECT_TRUE(Same(r.out, Payloads(f, 0, stop)));
            const Lines wrap = {"PTS overflow...", "Max PTS=" + Pts(moved)};
            EXPECT_EQ(Tail(r.log, 2) == wrap, c.wraps);
            if (c.wraps)
                EXPECT_EQ(Tail(r.console, 3), Cat({Lines{""}, wrap}));
            else
                EXPECT_FALSE(Has(r.console, "PTS overflow..."));
        }
    }
}

TEST(AudioRipEndOfData, LengthsAndHeadersCutByTheEndReadNothingBeyondIt) {
    for (const AudioKind& kind : kAudioKinds) {
        SCOPED_TRACE(kind.name);
        const Fixture f = AudioPackets(kind, 20);
        Bytes cutHeader = PacketBytes(f, 0, 11);
        cutHeader.resize(f.packets[10].offset + 8);
        Bytes farLength = f.bytes, negativeLength = f.bytes;
        farLength[f.packets[5].offset + 4] = farLength[f.packets[5].offset + 5] = 0xFF;
        negativeLength[f.packets[5].offset + 4] = negativeLength[f.packets[5].offset + 5] = 0;
        const struct {
            Bytes data;
            size_t copied;
        } cases[] = {{cutHeader, 9}, {farLength, 5}, {negativeLength, 5}};
        for (const auto& c : cases) {
            const Ripped r = Rip(kind.ripper, c.data, f.streamId, 0, kFar);
            EXPECT_TRUE(Same(r.out, Payloads(f, 0, c.copied)));
            EXPECT_EQ(Tail(r.console, 2), (Lines{"error recovery", "EOBS reached!"}));
        }
        // A lone packet is never followed by another: the search for the first one meets the end.
        const Ripped r = Rip(kind.ripper, PacketBytes(f, 0, 1), f.streamId, 0, kFar);
        EXPECT_TRUE(r.out.empty());
        EXPECT_EQ(r.console, (Lines{kind.name, "Try to rewind... passed!", "patience... running...",
                                    "EOBS reached!"}));
    }
    const Ripped r = Rip(&CPVRFile::RipPrivateStream, {}, 0xBD, 0, 1); // no data at all
    EXPECT_TRUE(r.out.empty());
    EXPECT_EQ(r.console, (Lines{"CPVRFile::RipPrivateStream", "Try to rewind... failed!"}));
}

// The filler repeats the whole frames of the payload copied last, for the
// time that the frames begun in it do not cover.
TEST(AudioGapFiller, RepeatsWholeFramesForTheTimeThatWasLost) {
    const Fixture mp2 = LoadFixture("audio_c0"), ac3 = LoadFixture("audio_bd");
    const Bytes mp2Frames = Payload(mp2, 0);     // five frames of 576 bytes, 2160 ticks each
    const Bytes ac3Frames = Payloads(ac3, 0, 2); // two of 1792 bytes, 2880 ticks each
    const auto first = [](const Bytes& b, size_t n) {
        return Bytes(b.begin(), b.begin() + long(n));
    };
    const struct {
        bool ac3;
        Bytes payload;
        int diff;
        Bytes filler;
    } cases[] = {
        {true, ac3Frames, 5 * 2880, Cat({ac3Frames, first(ac3Frames, 1792)})},
        {true, ac3Frames, 2 * 2880 + 1439, {}},
        {true, Cat({ac3Frames, first(Payload(ac3, 2), 500)}), 5 * 2880, ac3Frames}, // 3 begun
        {true, Cat({Bytes(7, 0x0B), ac3Frames}), 3 * 2880, first(ac3Frames, 1792)}, // not a frame
        {false, first(mp2Frames, 1152), 5 * 2160 - 1080,
         Cat({first(mp2Frames, 1152), first(mp2Frames, 576)})},
        {false, first(mp2Frames, 1152 + 100), 6 * 2160,
         Cat({first(mp2Frames, 1152), first(mp2Frames, 576)})},
        {false, Bytes{1, 2, 3, 4, 5}, 10 * 2160, {}}, // no frame at all
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.ac3 ? "AC-3" : "MPEG audio") + " payload of " +
                     std::to_string(c.payload.size()) + " bytes, gap " + std::to_string(c.diff));
        Chain chain(c.payload);
        harness::Capture cap;
        const std::string outName = chain.dir.File("out");
        {
            bool ok = false;
            COBits out(outName, ok);
            CPVRFile& f = *chain.file;
            f.CopyPayload(static_cast<int>(c.payload.size()), *chain.reader, out);
            if (c.ac3)
                f.FillAC3Gap(c.diff, out);
            else
                f.FillAudioGap(c.diff, out);
        }
        EXPECT_TRUE(Same(harness::ReadFile(outName), Cat({c.payload, c.filler})));
        EXPECT_EQ(Has(cap.LogLines(), "no whole audio frame to repeat"), c.payload.size() == 5);
    }
}

TEST(RipAcrossClusters, PacketsThatStraddleTheClusterBoundaryAreCopiedWhole) {
    // The first cluster holds nothing but the start of the stream at its end.
    const Fixture mp2 = SliceFixture(LoadFixture("audio_c0"), 0, 100);
    const Fixture video = SliceFixture(LoadFixture("video_e0"), 0, 40);
    const uint64_t at = kClusterBytes - 200000;
    Ripped r = Rip(&CPVRFile::RipAudioStream, mp2.bytes, 0xC0, 0, kFar, at);
    EXPECT_TRUE(Same(r.out, Payloads(mp2, 0, 99)));
    r = Rip(&CPVRFile::RipVideoStream, video.bytes, 0xE0, 0, kFar, at);
    EXPECT_TRUE(Same(r.out, Payloads(video, 0, 40)));
    EXPECT_EQ(Tail(r.log, 2), (Lines{"EOBS Reached...", "return"}));
}

// The log and console lines of a video cut of a clean stream, worked out from
// the packet list: the packet that first reaches startPTS, the sequence header
// that the copy starts on, and the packet that stops it (or the end).
struct VideoCut {
    size_t start, stop; // the packets copied
    Lines log;
    std::string copyConsole; // the console after "now ripping until eobs..."
};

VideoCut ExpectedCut(const Fixture& f, const std::string& code, int64_t startPTS, int64_t maxPTS) {
    const size_t n = f.packets.size();
    VideoCut c{0,
               0,
               {"", "CPVRFile::RipVideoStream", "rewinding stream...okay",
                "seeking stream start code " + code},
               ""};
    size_t reached = 0;
    while (reached < n && f.packets[reached].pts < startPTS)
        ++reached;
    for (c.start = reached; c.start < n && f.bytes[f.packets[c.start].payloadOffset + 3] != 0xB3;)
        ++c.start;
    if (c.start < n)
        c.log.insert(c.log.end(), {"reached pts " + Pts(f.packets[reached].pts),
                                   "shit.. i'm video and i have to wait until 0x000001B3....",
                                   "yeah.. i'm video and i reached 0x000001B3...."});
    else
        c.log.push_back("EOF reached! No PTS for Code " + code);
    c.log.push_back("now ripping until eobs...");
    for (c.stop = std::min(c.start + 1, n); c.stop < n; ++c.stop) {
        const std::string at = " at PTS=" + Pts(f.packets[c.stop].pts);
        if (f.packets[c.stop].dts >= 0) // progress: a carriage return, no line feed
            c.copyConsole += at + "\r";
        if (f.packets[c.stop].pts >= maxPTS) {
            c.copyConsole += at + "\r\nStream ripped successfully...\n";
            c.log.insert(c.log.end(), {at, "Stream ripped successfully...", "return"});
            return c;
        }
    }
    c.copyConsole += "EOBS Reached...\n";
    c.log.insert(c.log.end(), {"EOBS Reached...", "return"});
    return c;
}

TEST(VideoRipCleanStream, CopiesFromTheSequenceHeaderUpToThePacketAtMaxPts) {
    const Fixture e0 = LoadFixture("video_e0");
    Fixture e1 = e0;
    for (const PesPacket& p : e1.packets)
        e1.bytes[p.offset + 3] = 0xE1;
    const int64_t stopPTS = e0.packets[22].pts; // the next GOP's I picture
    const struct {
        const Fixture& f;
        int id;
        const char* code;
        int64_t start, max;
    } cases[] = {
        {e0, 0xE0, "1e0", e0.packets[10].pts, stopPTS}, // packet 10 opens with a sequence header
        {e0, 0xE0, "1e0", e0.packets[10].pts, stopPTS + 1}, // the packet at maxPTS - 1 is copied
        {e0, 0xE0, "1e0", e0.packets[4].pts, stopPTS},      // a P picture: wait for packet 10
        {e1, 0xE1, "1e1", e0.packets[10].pts, stopPTS},
        {e0, 0xE0, "1e0", e0.packets[10].pts, kFar}, // to the end: the last four bytes too
        {e0, 0xE0, "1e0", kFar, kFar},               // nothing at or after startPTS
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.code) + " from " + Pts(c.start) + " to " + Pts(c.max));
        const VideoCut cut = ExpectedCut(c.f, c.code, c.start, c.max);
        const Ripped r = Rip(&CPVRFile::RipVideoStream, c.f.bytes, c.id, c.start, c.max);
        EXPECT_TRUE(Same(r.out, Payloads(c.f, cut.start, cut.stop)));
        if (!r.out.empty()) {
            EXPECT_EQ(Bytes(r.out.begin(), r.out.begin() + 4), (Bytes{0, 0, 1, 0xB3}));
        }
        EXPECT_EQ(Tail(r.log, cut.log.size()), cut.log);
        const std::string copyStart = "now ripping until eobs...\n";
        const size_t at = r.consoleText.find(copyStart);
        ASSERT_NE(at, std::string::npos);
        EXPECT_EQ(r.consoleText.substr(at + copyStart.size()), cut.copyConsole);
    }
}

TEST(VideoRipPtsWrap, BPicturesFromBeforeTheWrapDoNotEndTheCut) {
    Fixture v = SliceFixture(LoadFixture("video_e0"), 0, 120);
    // The I picture of packet 22 gets PTS 1800; the two B pictures after it
    // in decode order are shown before it and keep PTS values just below 2^33.
    SetPtsAt(v, 22, 1800);
    ASSERT_GT(v.packets[23].pts, kTimestampWrap - 10000);
    ASSERT_GT(v.packets[24].pts, kTimestampWrap - 10000);
    const int64_t startPTS = v.packets[10].pts;
    const int64_t maxPTS = startPTS + 36 * 3600; // three GOPs on, across the wrap
    // At the I picture the limit moves by its step back from the picture
    // before it, so that the length still to be copied stays the same.
    const int64_t moved = maxPTS + v.packets[22].pts - v.packets[21].pts;
    size_t stop = 25;
    while (v.packets[stop].pts < moved)
        ++stop;
    ASSERT_GT(stop, size_t{46});
    const Ripped r = Rip(&CPVRFile::RipVideoStream, v.bytes, 0xE0, startPTS, maxPTS);
    EXPECT_TRUE(Same(r.out, Payloads(v, 10, stop)));
    EXPECT_EQ(std::count(r.log.begin(), r.log.end(), "PTS overflow..."), 1);
    EXPECT_TRUE(Has(r.log, "Max PTS=" + Pts(moved - 1)));
    EXPECT_EQ(Tail(r.log, 3), (Lines{" at PTS=" + Pts(v.packets[stop].pts),
                                     "Stream ripped successfully...", "return"}));
}

TEST(VideoRipPtsWrap, StartPtsFromOutsideTheStreamWasTakenForAPictureBeforeAWrap) {
    // Time stamps above 2^32 and a start PTS of 0 (no first video PTS was
    // found): the first picture after the sequence header already lies
    // beyond the limit, and no wrap took place.
    Fixture v = SliceFixture(LoadFixture("video_e0"), 0, 30);
    ShiftTimestamps(v, int64_t{6000000000});
    const Ripped r = Rip(&CPVRFile::RipVideoStream, v.bytes, 0xE0, 0, 10 * kTimestampClock);
    EXPECT_TRUE(Same(r.out, Payloads(v, 0, 1)));
    EXPECT_FALSE(Has(r.log, "PTS overflow..."));
    EXPECT_EQ(Tail(r.log, 2), (Lines{"Stream ripped successfully...", "return"}));
}

TEST(VideoRipPtsOverflow, OnlyAStepBackOfMoreThanOneSecondMovesTheLimit) {
    const Fixture clean = SliceFixture(LoadFixture("video_e0"), 10, 40);
    const int64_t before = clean.packets[2].pts; // the B picture before the P picture of packet 3
    const struct {
        int64_t pts;
        bool overflow;
    } cases[] = {{before - 90000, false}, {before - 90001, true}, {0, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pts);
        Bytes data = clean.bytes;
        WritePesTimestamp(&data[clean.packets[3].offset + 9], c.pts);
        const Ripped r = Rip(&CPVRFile::RipVideoStream, data, 0xE0, clean.packets[0].pts, kFar);
        EXPECT_TRUE(Same(r.out, Payloads(clean, 0, 30)));
        EXPECT_EQ(Has(r.log, "PTS overflow..."), c.overflow);
        EXPECT_EQ(Has(r.log, "Max PTS=" + Pts(kFar - 1 + c.pts - before)), c.overflow);
    }
}

TEST(VideoRipDamagedHeaders, InvalidOrCutHeadersAreCopiedAndNothingIsInvented) {
    const Fixture v = SliceFixture(LoadFixture("video_e0"), 10, 30);
    const PesPacket& b = v.packets[5];     // a B picture: a 14-byte header with a PTS only
    const PesPacket& stop = v.packets[12]; // the next GOP's I picture
    auto bytes = [](const Bytes& data, uint64_t from, uint64_t to) {
        return Bytes(data.begin() + static_cast<std::ptrdiff_t>(from),
                     data.begin() + static_cast<std::ptrdiff_t>(to));
    };
    Bytes badMarker = v.bytes;
    badMarker[b.offset + 13] &= 0xFE;
    struct Case {
        std::string name;
        Bytes data;
        int64_t max;
        Bytes expected;
        const char* end;
    };
    std::vector<Case> cases = {
        {"marker bit cleared", badMarker, kFar,
         Cat({Payloads(v, 0, 5), bytes(badMarker, b.offset, b.offset + b.size),
              Payloads(v, 6, 20)}),
         "EOBS Reached..."},
        // A whole header at the end: no window bytes are left to write.
        {"header ends the data", bytes(v.bytes, 0, b.payloadOffset), kFar, Payloads(v, 0, 5),
         "EOBS Reached..."},
        // The stop packet's header ends the data: the copy still ends by the stop rule.
        {"stop header ends the data", bytes(v.bytes, 0, stop.payloadOffset), stop.pts,
         Payloads(v, 0, 12), "Stream ripped successfully..."},
        {"no data at all", {}, kFar, {}, "EOBS Reached..."},
    };
    for (uint64_t cut = 4; cut < b.payloadOffset - b.offset; ++cut) {
        const Bytes data = bytes(v.bytes, 0, b.offset + cut);
        cases.push_back({"header cut after " + std::to_string(cut) + " bytes", data, kFar,
                         Cat({Payloads(v, 0, 5), bytes(data, b.offset, data.size())}),
                         "EOBS Reached..."});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Ripped r = Rip(&CPVRFile::RipVideoStream, c.data, 0xE0, v.packets[0].pts, c.max);
        EXPECT_TRUE(Same(r.out, c.expected));
        EXPECT_EQ(Tail(r.log, 2), (Lines{c.end, "return"}));
        EXPECT_EQ(Has(r.log, "EOBS Reached..."), std::string(c.end) == "EOBS Reached...");
    }
}

} // namespace
