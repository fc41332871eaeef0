// The recover command end to end, on the build with small clusters: a disk of
// recordings made from the real fixtures, listed, deleted, back to back, with
// clocks that overlap and with the first cluster gone, recovered with the
// disk's structures intact, zeroed and unreadable.
#include "image/recorder_image.h"
#include "support/fixtures.h"
#include "support/harness.h"
#include "support/ps_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>

namespace {

constexpr uint64_t kCluster = TARNWELL_SMALL_CLUSTER_BYTES;
constexpr int64_t kHour = 3600 * kTimestampClock;

struct Recording {
    std::string clip; // "": no header (deleted)
    Fixture video, audio;
    std::vector<int> videoClusters, audioClusters;
    std::size_t firstVideo = 0; // the packet whose header is the first whole one the chain holds
    std::size_t firstAudio = 0; // the same for the audio
    std::size_t lostVideo = 0, lostAudio = 0; // first clusters taken by later data
};

// The packets of f from `first` (a time stamp) up to `last`.
Fixture Span(const Fixture& f, int64_t first, int64_t last) {
    std::size_t a = 0, b = 0;
    while (a < f.packets.size() && f.packets[a].pts < first)
        ++a;
    while (b < f.packets.size() && f.packets[b].pts < last)
        ++b;
    return SliceFixture(f, a, b);
}

Fixture Shifted(const std::string& name, int64_t by) {
    Fixture f = LoadFixture(name);
    ShiftTimestamps(f, by);
    return f;
}

// Video packets [from, to) with the audio of the same time.
Recording Cut(const std::string& clip, const Fixture& video, const Fixture& audio, std::size_t from,
              std::size_t to) {
    const int64_t end = to < video.packets.size() ? video.packets[to].pts : kTimestampWrap;
    return {clip, SliceFixture(video, from, to), Span(audio, video.packets[from].pts, end), {}, {},
            0};
}

// The first packet from which a start code straddles a boundary of 256 KiB.
std::size_t StraddlingStart(const Fixture& v) {
    for (std::size_t s = 0; s < 200; ++s) {
        const uint64_t base = v.packets[s].offset;
        for (uint64_t b = base + kCluster; b + 2 < v.bytes.size(); b += kCluster) {
            for (uint64_t p = b - 3; p < b; ++p) {
                if (v.bytes[p] == 0 && v.bytes[p + 1] == 0 && v.bytes[p + 2] == 1)
                    return s;
            }
        }
    }
    return 0;
}

// The disk, its recordings in the clusters given to them one after the other
// from a scattered order.
struct Disk {
    std::vector<Recording> recordings;
    harness::TempDir dir;
    std::string path = dir.File("recorder.img");

    Disk() {
        const Fixture video = LoadFixture("video_e0"), mp2 = LoadFixture("audio_c0");
        const std::size_t s = StraddlingStart(video);
        recordings.push_back(Cut("News", video, mp2, s, 450));
        recordings.push_back(Cut("Short", video, mp2, 0, 300)); // the same clock, shorter
        const Fixture later = Shifted("video_e0", 2 * kHour),
                      laterAudio = Shifted("audio_c0", 2 * kHour);
        recordings.push_back(Cut("Part 1", later, laterAudio, 0, 225));
        recordings.push_back(Cut("Part 2", later, laterAudio, 225, 450));
        recordings.push_back(Cut("", Shifted("video_e0", kHour), Shifted("audio_bd", kHour), 0,
                                 450)); // deleted
        recordings.push_back(Cut("", Shifted("video_e0", -kHour), Shifted("audio_c0", -kHour), 0,
                                 450)); // its first cluster taken by Part 1's last
        // Their first video clusters, or their first audio cluster, taken by
        // the deleted one's: the video begins 8 s after the sound, or the
        // sound 11 s after the video.
        recordings.push_back(
            Cut("", Shifted("video_e0", -3 * kHour), Shifted("audio_c0", -3 * kHour), 0, 450));
        recordings.push_back(
            Cut("", Shifted("video_e0", 3 * kHour), Shifted("audio_c0", 3 * kHour), 0, 450));
        int next = 0;
        auto take = [&next](std::size_t bytes) {
            std::vector<int> clusters;
            for (std::size_t i = 0; i * kCluster < bytes; ++i)
                clusters.push_back(1 + (++next * 37) % 97);
            return clusters;
        };
        image::RecorderImage img;
        img.clusterBytes = kCluster;
        for (Recording& r : recordings) {
            r.videoClusters = take(r.video.bytes.size());
            r.audioClusters = take(r.audio.bytes.size());
        }
        Recording& old = recordings[5];
        old.videoClusters[0] = recordings[2].videoClusters.back();
        old.lostVideo = 1;
        for (std::size_t c = 0; c < 4; ++c)
            recordings[6].videoClusters[c] = recordings[4].videoClusters[c + 1];
        recordings[6].lostVideo = 4;
        recordings[7].audioClusters[0] = recordings[4].audioClusters[1];
        recordings[7].lostAudio = 1;
        for (Recording& r : recordings) {
            while (r.video.packets[r.firstVideo].offset < r.lostVideo * kCluster)
                ++r.firstVideo;
            while (r.audio.packets[r.firstAudio].offset < r.lostAudio * kCluster)
                ++r.firstAudio;
        }
        for (std::size_t i : {5, 6, 7, 0, 1, 2, 3, 4}) { // the oldest data first
            const Recording& r = recordings[i];
            img.PlaceChainData(r.videoClusters, 0, r.video.bytes);
            img.PlaceChainData(r.audioClusters, 0, r.audio.bytes);
            if (r.clip.empty())
                continue;
            image::Recording rec;
            rec.recordNo = static_cast<int8_t>(i + 1);
            rec.clip = r.clip;
            rec.lengthSeconds = 18;
            rec.firstVCluster = static_cast<int16_t>(r.videoClusters[0]);
            rec.firstACluster = static_cast<int16_t>(r.audioClusters[0]);
            img.AddRecording(rec);
            img.LinkChain(r.videoClusters);
            img.LinkChain(r.audioClusters);
        }
        zeroFrom = [img](uint64_t at, uint64_t bytes, const std::string& to) {
            image::RecorderImage copy = img;
            copy.PlaceBytes(at, std::vector<uint8_t>(bytes, 0));
            return copy.Write(to);
        };
        EXPECT_TRUE(zeroFrom(0, 0, path));
    }
    std::function<bool(uint64_t, uint64_t, const std::string&)> zeroFrom;
};

// The packet of the first sequence header at or after the recording's first
// whole packet: where its file begins.
std::size_t StartPacket(const Recording& r) {
    const std::vector<std::size_t> starts = SequenceHeaderPackets(r.video);
    return *std::lower_bound(starts.begin(), starts.end(), r.firstVideo);
}

// The video is the recording's from there up to its end; of older data after
// it at most what comes before the first start code.
void ExpectVideo(const std::vector<uint8_t>& payload, const Recording& r) {
    const std::size_t k = StartPacket(r);
    const std::vector<uint8_t> own = VideoFromSequenceHeader(r.video, k, false);
    ASSERT_GE(payload.size(), own.size() + 4);
    EXPECT_TRUE(std::equal(own.begin(), own.end(), payload.begin()));
    const std::vector<uint8_t> extra(payload.begin() + static_cast<long>(own.size()),
                                     payload.end() - 4);
    const std::vector<uint8_t> prefix = {0, 0, 1};
    EXPECT_EQ(std::search(extra.begin(), extra.end(), prefix.begin(), prefix.end()), extra.end());
}

} // namespace

TEST(Recover, EveryRecordingWithTheDiskStructuresIntactZeroedOrUnreadable) {
    const Disk disk;
    const struct {
        const char* name;
        uint64_t zeroAt, zeroBytes;
        const char* unreadable; // byte ranges
        bool headers;           // the headers can be read
    } cases[] = {
        {"intact", 0, 0, nullptr, true},
        {"table of contents zeroed", 0, kSectorSize, nullptr, true},
        {"cluster table zeroed", kClusterTableOffset, kClusterTableBytes, nullptr, true},
        {"headers zeroed", kFirstHeaderSector * kSectorSize,
         (kDataStartSector - kFirstHeaderSector) * kSectorSize, nullptr, false},
        {"first 256 sectors unreadable", 0, 0, "0-131072", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        harness::TempDir out;
        const std::string image = out.File("disk.img");
        ASSERT_TRUE(disk.zeroFrom(c.zeroAt, c.zeroBytes, image));
        harness::Run run;
        {
            harness::Preload::Variables faults;
            if (c.unreadable)
                faults = {{"TARNWELL_BAD_FILE", image}, {"TARNWELL_BAD_RANGES", c.unreadable}};
            const harness::Preload preload(faults);
            run = harness::RunProgramAs({TARNWELL_SMALL_EXE}, out.Path(), {"recover", image});
        }
        EXPECT_EQ(run.exitCode, c.unreadable ? 2 : 0) << run.console;

        // Named by the header where it can be read, else by the first cluster
        // of its video, counted in the order of those clusters.
        std::map<int, std::size_t> unnamed; // first video cluster found -> recording
        for (std::size_t i = 0; i < disk.recordings.size(); ++i) {
            const Recording& r = disk.recordings[i];
            if (!c.headers || r.clip.empty())
                unnamed[r.videoClusters[r.lostVideo]] = i;
        }
        int nn = 0;
        std::map<std::size_t, std::string> names;
        for (const auto& [cluster, i] : unnamed) {
            char name[64];
            std::snprintf(name, sizeof name, "recovered %02d (cluster %d).mpg", ++nn, cluster);
            names[i] = name;
        }
        for (std::size_t i = 0; i < disk.recordings.size(); ++i) {
            const Recording& r = disk.recordings[i];
            const std::string name = names.count(i) != 0
                                         ? names[i]
                                         : "00" + std::to_string(i + 1) + " - " + r.clip + ".mpg";
            SCOPED_TRACE(name);
            const ps::Program p = ps::Read(out.File(name));
            ASSERT_EQ(p.error, "");
            const int audioId = r.audio.streamId == 0xBD ? 0x180 : 0xC0;
            ASSERT_EQ(p.streams.count(0xE0) + p.streams.count(audioId), 2u);
            ExpectVideo(p.streams.at(0xE0).payload, r);
            // The sound from the first packet at or after the first picture.
            std::size_t k = r.firstAudio;
            while (r.audio.packets[k].pts < r.video.packets[StartPacket(r)].pts)
                ++k;
            EXPECT_TRUE(p.streams.at(audioId).payload ==
                        Payloads(r.audio, k, r.audio.packets.size()));
        }
    }
}

// On an intact disk recover gives rescue's files; --list writes none.
TEST(Recover, IntactDiskGivesRescuesFilesAndAListWritesNothing) {
    const Disk disk;
    harness::TempDir rescued, recovered, listed;
    harness::RunProgramAs({TARNWELL_SMALL_EXE}, rescued.Path(), {"rescue", disk.path});
    harness::RunProgramAs({TARNWELL_SMALL_EXE}, recovered.Path(), {"recover", disk.path});
    for (int slot = 0; slot < 4; ++slot) {
        const std::string name =
            "00" + std::to_string(slot + 1) + " - " + disk.recordings[slot].clip + ".mpg";
        SCOPED_TRACE(name);
        EXPECT_FALSE(harness::ReadFile(rescued.File(name)).empty());
        EXPECT_TRUE(harness::ReadFile(rescued.File(name)) ==
                    harness::ReadFile(recovered.File(name)));
    }
    const harness::Run list = harness::RunProgramAs({TARNWELL_SMALL_EXE}, listed.Path(),
                                                    {"recover", disk.path, "--list"});
    EXPECT_EQ(list.exitCode, 0);
    const std::vector<std::string> lines = harness::Lines(list.console);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "8 recordings found"), lines.end());
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& line) {
                                return line.find("no header: deleted or unlisted, its beginning "
                                                 "lost") != std::string::npos;
                            }),
              3);
    EXPECT_FALSE(harness::FileExists(listed.File("001 - News.mpg")));
    const harness::Run usage =
        harness::RunProgramAs({TARNWELL_SMALL_EXE}, listed.Path(), {"recover"});
    EXPECT_EQ(harness::Lines(usage.console)[1], "tarnwell recover drivename [--list]");
}
