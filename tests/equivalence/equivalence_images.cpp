// equivalence_images: writes the recorder disk images on which two builds of
// the program are compared (tests/equivalence/compare.sh).
//
//   equivalence_images FOLDER
//
// Writes FOLDER/NAME.img for each disk and FOLDER/images.txt with one line
// "NAME SLOTS [SECONDS...]" per disk: the rip lengths that matter for it, where
// not all of them do. Every disk is made from the MPEG fixtures: slot 0 is
// the video with MPEG audio, slot 1 the same video chain with AC-3. The disks
// hold the clean streams, streams with random byte damage, damaged PES
// headers, cut and lost packets, start codes and time stamps that straddle a
// block or a cluster boundary, time stamps moved at random, and time stamps
// that wrap past 2^33. The
// random damage comes from fixed seeds, so every run writes the same disks.
#include "platform/format.h"
#include "support/fixtures.h"
#include "image/recorder_image.h"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// Moves the AC-3 stream 0.2 s behind the video, so that its first PTS is the
// later one, as in the rip tests.
constexpr std::int64_t kAC3Delay = 18000;

struct Streams {
    Fixture video = LoadFixture("video_e0");
    Fixture mp2 = LoadFixture("audio_c0");
    Fixture ac3 = LoadFixture("audio_bd");
    Streams() { ShiftTimestamps(ac3, kAC3Delay); }
};

// The bytes of each chain and their offsets in it.
struct Layout {
    Bytes video, mp2, ac3;
    std::uint64_t videoAt = 0, mp2At = 0, ac3At = 0;
    explicit Layout(const Streams& s) : video(s.video.bytes), mp2(s.mp2.bytes), ac3(s.ac3.bytes) {}
};

// Clusters from `first` on, as many as the data at `at` needs.
std::vector<int> Chain(int first, std::uint64_t at, std::size_t size) {
    const auto count = std::max<std::uint64_t>(1, (at + size + kClusterBytes - 1) / kClusterBytes);
    std::vector<int> chain;
    for (std::uint64_t i = 0; i < count; ++i)
        chain.push_back(first + static_cast<int>(i));
    return chain;
}

image::Recording Recording(std::int8_t recordNo, const char* clip, int video, int audio) {
    image::Recording rec;
    rec.recordNo = recordNo;
    rec.station = "Tarnwell TV";
    rec.clip = clip;
    rec.lengthSeconds = 18;
    rec.firstVCluster = static_cast<std::int16_t>(video);
    rec.firstACluster = static_cast<std::int16_t>(audio);
    return rec;
}

class Disks {
  public:
    explicit Disks(std::string folder) : dir(std::move(folder)), list(dir + "/images.txt") {}

    // The audio chains lie before the video chain, which ends the image: a
    // rip to the end reads the rest of the audio's last cluster as zeros, but
    // copies no zeros into the video file.
    bool Write(const std::string& name, const Layout& l, const char* lengths = "") {
        const std::vector<int> mp2 = Chain(2, l.mp2At, l.mp2.size());
        const std::vector<int> ac3 = Chain(mp2.back() + 1, l.ac3At, l.ac3.size());
        const std::vector<int> video = Chain(ac3.back() + 1, l.videoAt, l.video.size());
        image::RecorderImage img;
        img.AddRecording(Recording(1, "MPEG audio", video[0], mp2[0]));
        img.AddRecording(Recording(2, "AC-3", video[0], ac3[0]));
        for (const auto* chain : {&mp2, &ac3, &video})
            img.LinkChain(*chain);
        img.PlaceChainData(mp2, l.mp2At, l.mp2);
        img.PlaceChainData(ac3, l.ac3At, l.ac3);
        img.PlaceChainData(video, l.videoAt, l.video);
        return Add(name, img, 2, lengths);
    }

    bool Add(const std::string& name, const image::RecorderImage& img, int slots,
             const char* lengths = "") {
        if (!img.Write(dir + "/" + name + ".img")) {
            std::cerr << "equivalence_images: cannot write " << name << ".img\n";
            return false;
        }
        list << name << " " << slots << (*lengths ? " " : "") << lengths << "\n";
        return static_cast<bool>(list);
    }

  private:
    std::string dir;
    std::ofstream list;
};

// ---- Damage ---------------------------------------------------------------
// mt19937 gives the same numbers everywhere; the distributions of <random>
// need not, so the numbers are taken from it directly.

std::uint64_t Below(std::mt19937& rng, std::uint64_t n) {
    return rng() % n;
}

// One random byte value at one random place per `every` bytes.
void RandomBytes(Bytes& data, std::mt19937& rng, std::uint64_t every) {
    for (std::uint64_t i = data.size() / every; i > 0; --i)
        data[Below(rng, data.size())] = static_cast<std::uint8_t>(rng());
}

// One packet in `share` gets a random value in one byte of its PES header
// (start code, stream id, length, flags, time stamps).
void DamageHeaders(Fixture& f, std::mt19937& rng, std::uint64_t share) {
    for (const PesPacket& p : f.packets) {
        if (Below(rng, share) == 0)
            f.bytes[p.offset + Below(rng, p.payloadOffset - p.offset)] =
                static_cast<std::uint8_t>(rng());
    }
}

// One packet in `share` gets its PTS moved by up to `range` ticks either way:
// gaps of parts of an audio frame, and steps back that look like a wrap.
void MoveTimestamps(Fixture& f, std::mt19937& rng, std::uint64_t share, std::int64_t range) {
    for (const PesPacket& p : f.packets) {
        if (p.pts < 0 || Below(rng, share) != 0)
            continue;
        const auto step = static_cast<std::int64_t>(Below(rng, 2 * range + 1)) - range;
        WritePesTimestamp(&f.bytes[p.offset + 9], p.pts + step);
    }
}

// Packets cut short after a random number of bytes and packets lost; the data
// ends inside its last quarter.
Bytes CutPackets(const Fixture& f, std::mt19937& rng) {
    Bytes out;
    for (const PesPacket& p : f.packets) {
        const auto first = f.bytes.begin() + static_cast<std::ptrdiff_t>(p.offset);
        const std::uint64_t roll = Below(rng, 40);
        if (roll == 0)
            continue; // lost
        const std::uint64_t keep = roll == 1 ? 1 + Below(rng, p.size) : p.size;
        out.insert(out.end(), first, first + static_cast<std::ptrdiff_t>(keep));
    }
    out.resize(out.size() - Below(rng, out.size() / 4));
    return out;
}

// ---- Boundaries -----------------------------------------------------------

// The chain offset at which the first `before` bytes of the stream bytes from
// `pos` on lie before a multiple of `unit` and the rest after it.
std::uint64_t Straddle(std::uint64_t pos, std::uint64_t before, std::uint64_t unit) {
    return ((pos + before) / unit + 1) * unit - pos - before;
}

// The packets whose start codes end a cut of `seconds`: the first video packet
// after the first sequence header and the first audio packet at or beyond the
// cut's last PTS, counted from the earlier of the two first PTS.
std::uint64_t StopPacket(const Fixture& f, const Fixture& audio, const Fixture& video,
                         std::int64_t seconds) {
    const std::int64_t first = video.packets[FindFirstSequenceHeader(video)].pts;
    const std::int64_t maxPts = std::min(first, audio.packets[0].pts) + seconds * kPtsPerSecond;
    std::size_t i = &f == &video ? FindFirstSequenceHeader(video) + 1 : 0;
    while (i + 1 < f.packets.size() && f.packets[i].pts < maxPts)
        ++i;
    return f.packets[i].offset;
}

bool WriteAll(Disks& disks) {
    const Streams s;
    bool ok = true;
    ok = ok && disks.Write("clean", Layout(s));

    // Slot 0 video and MPEG audio across a cluster boundary in chains whose
    // clusters are neither adjacent nor ascending; slot 1 has video without
    // PES packets; slot 2's audio chain starts beyond the end of the disk.
    {
        image::RecorderImage img;
        img.AddRecording(Recording(1, "Across", 9, 8));
        img.AddRecording(Recording(3, "No packets", 6, 8));
        img.AddRecording(Recording(4, "Lost", 9, 40));
        for (const std::vector<int>& chain : {std::vector<int>{9, 12}, {8, 5}, {6}, {40}})
            img.LinkChain(chain);
        img.PlaceChainData({9, 12}, kClusterBytes - s.video.packets[100].offset - 2, s.video.bytes);
        img.PlaceChainData({8, 5}, kClusterBytes - s.mp2.packets[40].offset - 11, s.mp2.bytes);
        img.PlaceChainData({6}, 0, Payloads(s.video, 0, 30));
        ok = ok && disks.Add("chains", img, 3, "-1"); // the zeros before the data take long
    }

    for (std::uint32_t seed = 1; seed <= 3; ++seed) {
        const std::string n = std::to_string(seed);
        std::mt19937 rng(seed);
        Layout bytes(s);
        for (Bytes* data : {&bytes.video, &bytes.mp2, &bytes.ac3})
            RandomBytes(*data, rng, 20000);
        ok = ok && disks.Write("bytes-" + n, bytes);

        Streams damaged;
        for (Fixture* f : {&damaged.video, &damaged.mp2, &damaged.ac3})
            DamageHeaders(*f, rng, 8);
        ok = ok && disks.Write("headers-" + n, Layout(damaged));

        Streams moved;
        for (Fixture* f : {&moved.video, &moved.mp2, &moved.ac3}) {
            MoveTimestamps(*f, rng, 10, 3000);
            MoveTimestamps(*f, rng, 60, 200000);
            DamageHeaders(*f, rng, 20); // gaps that the sound is filled across
        }
        ok = ok && disks.Write("pts-" + n, Layout(moved));

        Layout cut(s);
        cut.video = CutPackets(s.video, rng);
        cut.mp2 = CutPackets(s.mp2, rng);
        cut.ac3 = CutPackets(s.ac3, rng);
        ok = ok && disks.Write("cut-" + n, cut);
    }

    // Start codes, PES headers and time stamps split by a block boundary (the
    // reader's buffer) and by a cluster boundary (a seek to the next cluster
    // of the chain): `before` bytes on one side, the rest on the other.
    std::uint64_t sequenceHeader = 0;
    FindFirstSequenceHeader(s.video, &sequenceHeader);
    const struct {
        const char* name;
        std::uint64_t video, mp2, ac3;
        std::uint64_t before;
        bool cluster; // every rip reads the zeros before the data: one length each
    } straddles[] = {
        {"first-packet", 0, 0, 0, 1, false},
        {"first-packet", 0, 0, 0, 2, false},
        {"first-packet", 0, 0, 0, 3, false},
        {"packet", s.video.packets[100].offset, s.mp2.packets[40].offset, s.ac3.packets[40].offset,
         1, false},
        {"packet", s.video.packets[100].offset, s.mp2.packets[40].offset, s.ac3.packets[40].offset,
         2, false},
        {"packet", s.video.packets[100].offset, s.mp2.packets[40].offset, s.ac3.packets[40].offset,
         3, false},
        {"pts", s.video.packets[100].offset, s.mp2.packets[40].offset, s.ac3.packets[40].offset, 11,
         false},
        {"sequence-header", sequenceHeader, s.mp2.packets[1].offset, s.ac3.packets[1].offset, 2,
         false},
        {"stop-5s", StopPacket(s.video, s.mp2, s.video, 5), StopPacket(s.mp2, s.mp2, s.video, 5),
         StopPacket(s.ac3, s.ac3, s.video, 5), 1, false},
        {"stop-5s", StopPacket(s.video, s.mp2, s.video, 5), StopPacket(s.mp2, s.mp2, s.video, 5),
         StopPacket(s.ac3, s.ac3, s.video, 5), 3, false},
        {"packet", s.video.packets[100].offset, s.mp2.packets[40].offset, s.ac3.packets[40].offset,
         2, true},
        {"pts", s.video.packets[100].offset, s.mp2.packets[40].offset, s.ac3.packets[40].offset, 12,
         true},
        {"stop-5s", StopPacket(s.video, s.mp2, s.video, 5), StopPacket(s.mp2, s.mp2, s.video, 5),
         StopPacket(s.ac3, s.ac3, s.video, 5), 2, true},
    };
    for (const auto& c : straddles) {
        const std::uint64_t unit = c.cluster ? kClusterBytes : kBlockSize;
        Layout l(s);
        l.videoAt = Straddle(c.video, c.before, unit);
        l.mp2At = Straddle(c.mp2, c.before, unit);
        l.ac3At = Straddle(c.ac3, c.before, unit);
        ok = ok && disks.Write(std::string(c.cluster ? "cluster-" : "block-") + c.name + "-" +
                                   std::to_string(c.before),
                               l,
                               !c.cluster         ? ""
                               : c.name[0] == 's' ? "5"
                                                  : "10");
    }

    // Time stamps that wrap past 2^33: all streams together early and in the
    // middle, before the first sequence header, in the sound alone, and time
    // stamps above 2^32 that do not wrap.
    const struct {
        const char* name;
        std::size_t videoPacket; // whose PTS becomes `pts`
        std::int64_t pts;
        bool audioOnly;
    } wraps[] = {
        {"wrap-early", 30, kTimestampWrap - 1800, false},
        {"wrap-middle", 225, kTimestampWrap - 1800, false},
        {"wrap-at-start", 0, kTimestampWrap - 900, false},
        {"wrap-sound-only", 225, kTimestampWrap - 1800, true},
        {"above-2-32", 0, std::int64_t{6000000000}, false},
    };
    for (const auto& w : wraps) {
        Streams shifted;
        const std::int64_t offset = w.pts - shifted.video.packets[w.videoPacket].pts;
        for (Fixture* f : {&shifted.video, &shifted.mp2, &shifted.ac3}) {
            if (!w.audioOnly || f != &shifted.video)
                ShiftTimestamps(*f, offset);
        }
        ok = ok && disks.Write(w.name, Layout(shifted));
    }
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: equivalence_images FOLDER\n";
        return 2;
    }
    Disks disks(argv[1]);
    return WriteAll(disks) ? 0 : 1;
}
