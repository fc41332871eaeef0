// The rescue command end to end: the real program on recorder disk images
// made from the MPEG fixtures, its files read back as program streams and
// compared with what rip makes of the same recordings.
#include "image/recorder_image.h"
#include "support/ffmpeg_check.h"
#include "support/fixtures.h"
#include "support/harness.h"
#include "support/page_check.h"
#include "support/ps_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <dirent.h>
#include <regex>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int64_t kPicture = 3600; // 25 pictures a second
constexpr int64_t kSecond27 = 27000000;
const std::vector<uint8_t> kStartCode = {0x00, 0x00, 0x01};

// A recording as its chains hold it: its packets, then whatever the recorder
// left after them in the last cluster (another recording's data, or zeros
// when the image goes on to the cluster's end).
struct Recording {
    std::string clip;
    Fixture video, audio;
    int lengthSeconds = 18;
    std::vector<uint8_t> videoAfter, audioAfter;
    bool zerosAfter = false;
};

// A disk of the recordings in slot order, video of slot i in cluster 2i + 2
// and audio in 2i + 1; the image ends with the last video, or with its
// cluster.
struct Disk {
    harness::TempDir dir;
    std::string path = dir.File("recorder.img");
    explicit Disk(const std::vector<Recording>& recordings) {
        image::RecorderImage img;
        for (std::size_t i = 0; i < recordings.size(); ++i) {
            const Recording& r = recordings[i];
            image::Recording rec;
            rec.recordNo = 1;
            rec.clip = r.clip;
            rec.lengthSeconds = static_cast<int8_t>(r.lengthSeconds);
            rec.firstACluster = static_cast<int16_t>(2 * i + 1);
            rec.firstVCluster = static_cast<int16_t>(2 * i + 2);
            img.AddRecording(rec);
            for (const auto& chain : {std::make_pair(rec.firstACluster, &r.audio.bytes),
                                      std::make_pair(rec.firstVCluster, &r.video.bytes)}) {
                img.LinkChain({chain.first});
                std::vector<uint8_t> bytes = *chain.second;
                const auto& after = chain.first == rec.firstACluster ? r.audioAfter : r.videoAfter;
                bytes.insert(bytes.end(), after.begin(), after.end());
                img.PlaceChainData({chain.first}, 0, bytes);
            }
            if (r.zerosAfter)
                img.SetSize(image::ClusterOffset(rec.firstVCluster + 1));
        }
        img.Write(path);
    }
};

Recording Clean(const std::string& clip, const std::string& audio) {
    Recording r;
    r.clip = clip;
    r.video = LoadFixture("video_e0");
    r.audio = LoadFixture(audio);
    return r;
}

// Both streams moved so that the 33-bit counter wraps a few pictures after
// picture 200.
Recording Wrapped() {
    Recording r = Clean("Wrap", "audio_c0");
    const int64_t shift = kTimestampWrap - 1800 - r.video.packets[200].pts;
    ShiftTimestamps(r.video, shift);
    ShiftTimestamps(r.audio, shift);
    return r;
}

// Audio packets 50 to 55 lost: their length fields point beyond them.
Recording LostAudio() {
    Recording r = Clean("Lost audio", "audio_c0");
    for (std::size_t k = 50; k < 56; ++k)
        r.audio.bytes[r.audio.packets[k].offset + 5] += 4;
    return r;
}

// The headers of video packets 100 and 101 damaged in their PTS marker bits.
Recording DamagedVideo() {
    Recording r = Clean("Damaged", "audio_c0");
    for (std::size_t k = 100; k < 102; ++k)
        r.video.bytes[r.video.packets[k].offset + 9] &= 0xFE;
    return r;
}

// The packets from the one at `pts` on, their time stamps moved by `by`.
void MoveFrom(Fixture& f, int64_t pts, int64_t by) {
    std::size_t k = 0;
    while (k < f.packets.size() && TimestampDifference(f.packets[k].pts, pts) < 0)
        ++k;
    Fixture tail = SliceFixture(f, k, f.packets.size());
    ShiftTimestamps(tail, by);
    std::copy(tail.bytes.begin(), tail.bytes.end(), f.bytes.begin() + f.packets[k].offset);
    for (std::size_t i = k; i < f.packets.size(); ++i)
        f.packets[i].pts = tail.packets[i - k].pts, f.packets[i].dts = tail.packets[i - k].dts;
}

// The broadcaster's clock jumps by `by` in the middle, in both streams.
Recording ClockJump(const std::string& clip, int64_t by) {
    Recording r = Clean(clip, "audio_c0");
    const int64_t at = r.video.packets[225].pts;
    MoveFrom(r.video, at, by);
    MoveFrom(r.audio, at, by);
    return r;
}

// The first 12 s of r, then in each of its clusters an older recording's
// data from the middle of one of its packets on, its clock `by` from r's.
Recording OlderAfter(Recording r, const std::string& audio, int64_t by, int lengthSeconds) {
    Recording old = Clean("", audio);
    const int64_t shift =
        TimestampDifference(r.video.packets[0].pts, old.video.packets[0].pts) + by;
    ShiftTimestamps(old.video, shift);
    ShiftTimestamps(old.audio, shift);
    r.video = SliceFixture(r.video, 0, 300);
    std::size_t a = 0;
    while (TimestampDifference(r.audio.packets[a].pts, r.video.packets[299].pts) < 0)
        ++a;
    r.audio = SliceFixture(r.audio, 0, a);
    r.lengthSeconds = lengthSeconds;
    auto from = [](const Fixture& f, std::size_t k) {
        const uint64_t at = f.packets[k].offset + f.packets[k].size / 2;
        return std::vector<uint8_t>(f.bytes.begin() + static_cast<long>(at), f.bytes.end());
    };
    r.videoAfter = from(old.video, 40);
    r.audioAfter = from(old.audio, 20);
    return r;
}

struct Rescue {
    harness::TempDir dir;
    harness::Run run;
    std::vector<std::string> console;
    std::string File(const std::string& name) const { return dir.File(name); }
};

void RunRescue(Rescue& r, const std::vector<std::string>& args) {
    r.run = harness::RunProgram(r.dir.Path(), args);
    r.console = harness::Lines(r.run.console);
}

// The summary lines of a run's console, without the progress lines.
std::vector<std::string> Summary(const std::vector<std::string>& lines) {
    static const std::regex row(R"( {0,3}\d+ +-?\d*  .*)");
    std::vector<std::string> table;
    for (const std::string& line : lines) {
        if (line.compare(0, 9, "slot  rec") == 0)
            table.push_back(line);
        else if (!table.empty() && std::regex_match(line, row))
            table.push_back(line);
        else if (!table.empty())
            break;
    }
    return table;
}

// What rip makes of the same recording with the cut of its length: its file
// ending in ext.
std::vector<uint8_t> Ripped(const Disk& disk, const std::string& ext) {
    harness::TempDir dir;
    harness::RunProgram(dir.Path(), {"rip", disk.path, "0", "19"});
    std::vector<uint8_t> bytes;
    if (DIR* d = ::opendir(dir.Path().c_str())) {
        while (dirent* entry = ::readdir(d)) {
            const std::string name = entry->d_name;
            if (name.size() > ext.size() &&
                name.compare(name.size() - ext.size(), ext.size(), ext) == 0)
                bytes = harness::ReadFile(dir.File(name));
        }
        ::closedir(d);
    }
    return bytes;
}

// The video is the recording's from its first sequence header to the end of
// its last packet, closed by a sequence end code. Of the older data after it
// only what comes before its first start code may go with it: that cannot be
// told from the end of the last packet's payload.
void ExpectRecordingVideo(const std::vector<uint8_t>& payload, const Fixture& v,
                          const std::vector<uint8_t>& after) {
    std::vector<uint8_t> own = VideoFromSequenceHeader(v, FindFirstSequenceHeader(v), false);
    const std::size_t prefix =
        std::search(after.begin(), after.end(), kStartCode.begin(), kStartCode.end()) -
        after.begin();
    ASSERT_GE(payload.size(), own.size() + 4);
    const std::size_t extra = payload.size() - own.size() - 4;
    EXPECT_LE(extra, prefix);
    own.insert(own.end(), after.begin(), after.begin() + static_cast<long>(extra));
    own.insert(own.end(), {0x00, 0x00, 0x01, 0xB7});
    EXPECT_TRUE(payload == own);
}

// The structure every file must have: whole packs, an SCR that never goes
// back, each time-stamped packet in a pack that comes before its time by at
// most a second.
void ExpectSoundStructure(const ps::Program& p) {
    ASSERT_EQ(p.error, "");
    EXPECT_TRUE(p.systemHeader);
    for (std::size_t i = 1; i < p.packs; ++i)
        ASSERT_LE(p.scr[i - 1], p.scr[i]) << "pack " << i;
    for (const auto& stream : p.streams) {
        for (const ps::Pes& pes : stream.second.packets) {
            if (pes.pts < 0)
                continue;
            const int64_t lead = (pes.dts >= 0 ? pes.dts : pes.pts) * 300 - pes.scr;
            EXPECT_GT(lead, 0) << "pack " << pes.pack;
            EXPECT_LE(lead, kSecond27) << "pack " << pes.pack;
        }
    }
}

} // namespace

// Each file ends where its recording ends, whatever follows it in its last
// cluster, and keeps all of it across clock jumps: its video is the
// recording's from the first sequence header to its last packet, its sound
// every frame of it, and its time line goes on without a jump. The pictures
// one picture interval apart in decode order, the audio in whole frames from
// its first, as far from the first picture as in the recording; ffmpeg
// takes the file, and ffprobe gives its length.
TEST(RescueTimeStamps, FollowTheRecordingToItsEnd) {
    constexpr int64_t kHour = 3600 * kTimestampClock, kMinutes10 = 600 * kTimestampClock;
    const struct {
        const char* name;
        Recording recording;
        int audioId;
        int64_t frameTicks;
        bool damaged = false; // then what rip makes of it, with the last audio packet
    } cases[] = {
        {"clean", Clean("Clean", "audio_c0"), 0xC0, 2160},
        {"AC-3", Clean("AC3", "audio_bd"), 0x180, 2880},
        {"wrap", Wrapped(), 0xC0, 2160},
        {"lost audio", LostAudio(), 0xC0, 2160, true},
        {"damaged video headers", DamagedVideo(), 0xC0, 2160, true},
        {"zeros after it",
         [] {
             Recording r = Clean("Zeros", "audio_c0");
             r.zerosAfter = true;
             return r;
         }(),
         0xC0, 2160},
        {"an older recording after it, earlier clock",
         OlderAfter(Clean("Older", "audio_c0"), "audio_c0", -kHour, 12), 0xC0, 2160},
        {"an older recording after it, later clock",
         OlderAfter(Clean("Later", "audio_c0"), "audio_c0", kHour, 12), 0xC0, 2160},
        {"header length 0, an older recording after it",
         OlderAfter(Clean("No length", "audio_c0"), "audio_c0", -kHour, 0), 0xC0, 2160},
        {"AC-3, an older recording after it",
         OlderAfter(Clean("AC3 older", "audio_bd"), "audio_bd", kMinutes10, 12), 0x180, 2880},
        {"wrap, then an older recording", OlderAfter(Wrapped(), "audio_c0", -kHour, 12), 0xC0,
         2160},
        {"clock jump back", ClockJump("Back", -kMinutes10), 0xC0, 2160},
        {"clock jump ahead", ClockJump("Ahead", kMinutes10), 0xC0, 2160},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Disk disk({c.recording});
        Rescue r;
        RunRescue(r, {"rescue", disk.path});
        EXPECT_EQ(r.run.exitCode, 0);
        const std::string name = "001 - " + c.recording.clip + ".mpg";
        const ps::Program p = ps::Read(r.File(name));
        ExpectSoundStructure(p);
        ASSERT_EQ(p.streams.count(0xE0) + p.streams.count(c.audioId), 2u);
        const ps::Stream& video = p.streams.at(0xE0);
        const ps::Stream& audio = p.streams.at(c.audioId);
        const Fixture& v = c.recording.video;
        const Fixture& a = c.recording.audio;
        // In the recording: the first audio packet at or after the first picture.
        std::size_t k = 0;
        while (TimestampDifference(a.packets[k].pts, v.packets[0].pts) < 0)
            ++k;
        if (c.damaged) {
            EXPECT_TRUE(video.payload == Ripped(disk, ".m2v"));
            std::vector<uint8_t> sound = Ripped(disk, c.audioId == 0xC0 ? ".mp2" : ".ac3");
            const std::vector<uint8_t> last = Payload(a, a.packets.size() - 1);
            sound.insert(sound.end(), last.begin(), last.end());
            EXPECT_TRUE(audio.payload == sound);
        } else {
            ExpectRecordingVideo(video.payload, v, c.recording.videoAfter);
            EXPECT_TRUE(audio.payload == Payloads(a, k, a.packets.size()));
        }

        int64_t last = -1, firstVideo = -1;
        for (const ps::Pes& pes : video.packets) {
            if (pes.pts < 0)
                continue;
            const int64_t decode = pes.dts >= 0 ? pes.dts : pes.pts;
            if (last >= 0) {
                EXPECT_GT(decode, last) << "pack " << pes.pack;
                EXPECT_LE(decode - last, 3 * kPicture) << "pack " << pes.pack;
                EXPECT_EQ((decode - last) % kPicture, 0) << "pack " << pes.pack;
            }
            firstVideo = firstVideo < 0 ? pes.pts : firstVideo;
            last = decode;
        }
        const int64_t firstAudio = audio.packets[0].pts;
        for (const ps::Pes& pes : audio.packets)
            EXPECT_TRUE(pes.pts < 0 || (pes.pts - firstAudio) % c.frameTicks == 0) << pes.pack;
        EXPECT_EQ(firstAudio - firstVideo, TimestampDifference(a.packets[k].pts, v.packets[0].pts));
        if (FfmpegAvailable()) {
            EXPECT_EQ(ProbeCodecs(r.File(name)),
                      std::string("mpeg2video ") + (c.audioId == 0xC0 ? "mp2 " : "ac3 "));
            // The older data that may end the last picture is no slice of it.
            if (c.recording.videoAfter.empty()) {
                EXPECT_EQ(DecodeWithFfmpeg(r.File(name)).errors, "");
            }
            const double seconds =
                static_cast<double>(v.packets.size()) * kPicture / kTimestampClock;
            EXPECT_NEAR(ProbeDuration(r.File(name)), seconds, 1.0);
        }
    }
}

// The page of a run in folder: the problems found with it, "" for none; it
// links each of the files and holds `pictures` pictures, none empty.
std::string PageProblems(const std::string& folder, const std::vector<std::string>& files,
                         std::size_t pictures) {
    PageFacts facts;
    const std::vector<uint8_t> page = harness::ReadFile(folder + "/index.html");
    std::string problems = CheckPage(std::string(page.begin(), page.end()), facts);
    std::vector<std::string> linked;
    for (const PageLink& link : facts.links)
        linked.push_back(link.href);
    if (linked != files)
        problems += "the links are not the files\n";
    if (facts.pictures.size() != pictures || facts.emptyPlaces != 0)
        problems += std::to_string(facts.pictures.size()) + " pictures, " +
                    std::to_string(facts.emptyPlaces) + " empty places\n";
    return problems;
}

// The demo disk: both recordings, the summary line by line, and the page
// with six pictures of each; run again, the files are kept (and their rows
// of the page), and a partial file left by an interrupted run is not.
TEST(RescueDemo, BothRecordingsThenASecondRunKeepsThem) {
    harness::TempDir dir;
    const std::string image = dir.File("recorder.img");
    harness::RunProgramAs({TARNWELL_MKIMAGE}, TARNWELL_SOURCE_DIR "/tools/demo",
                          {"recorder.txt", image});
    Rescue r;
    RunRescue(r, {"rescue", image});
    EXPECT_EQ(r.run.exitCode, 0);
    const std::string mp2 = "001 - Test pattern  MPEG audio.mpg",
                      ac3 = "002 - Test pattern  AC-3.mpg";
    const std::vector<std::string> table = Summary(r.console);
    std::vector<std::string> expected = {
        "slot  rec  title                    minutes       size   unreadable  result",
        "   0    1  Test pattern: MPEG audio     0.3     3.1 MB            0  ok",
        "   1    2  Test pattern: AC-3           0.3     3.6 MB            0  ok"};
    EXPECT_EQ(table, expected);
    EXPECT_EQ(Summary(harness::Lines(r.run.log)), expected);
    EXPECT_EQ(harness::ReadFile(r.File(mp2)).size(), 3055616u);
    if (FfmpegAvailable()) {
        EXPECT_EQ(DecodeWithFfmpeg(r.File(ac3)).errors, "");
    }
    EXPECT_EQ(PageProblems(r.dir.Path(), {mp2, ac3}, 12), "");
    if (ChromiumAvailable() && FfmpegAvailable()) {
        EXPECT_EQ(ScreenshotProblems(r.File("index.html"), r.File("page.png")), "");
    }

    const std::vector<uint8_t> before = harness::ReadFile(r.File(mp2));
    ASSERT_EQ(::unlink(r.File(ac3).c_str()), 0);
    ASSERT_TRUE(harness::WriteFile(r.File(ac3 + ".part"), {1, 2, 3}));
    const harness::Run again = harness::RunProgram(r.dir.Path(), {"rescue", image});
    EXPECT_EQ(again.exitCode, 0);
    const std::vector<std::string> lines = harness::Lines(again.console);
    EXPECT_NE(std::find(lines.begin(), lines.end(), mp2 + " is complete already: kept"),
              lines.end());
    EXPECT_EQ(Summary(lines)[1],
              "   0    1  Test pattern: MPEG audio       -          -            -  kept");
    EXPECT_EQ(Summary(lines)[2], expected[2]);
    EXPECT_TRUE(harness::ReadFile(r.File(mp2)) == before);
    EXPECT_FALSE(harness::FileExists(r.File(ac3 + ".part")));
    EXPECT_EQ(PageProblems(r.dir.Path(), {mp2, ac3}, 12), "");
    // Neither --list nor --no-index writes a page.
    for (const char* option : {"--list", "--no-index"}) {
        Rescue quiet;
        RunRescue(quiet, {"rescue", image, option});
        EXPECT_FALSE(harness::FileExists(quiet.File("index.html"))) << option;
    }
}

// The demo's recordings begin deep in their first clusters, after zeros:
// rescue and recover read each recording once, with a little of the zeros
// before it, and little past its end; recover adds its survey.
TEST(RescueDemo, ReadsEachRecordingOnceThoughItBeginsDeepInItsCluster) {
    harness::TempDir dir;
    const std::string image = dir.File("recorder.img"), lost = dir.File("lost.img");
    harness::RunProgramAs({TARNWELL_MKIMAGE}, TARNWELL_SOURCE_DIR "/tools/demo",
                          {"recorder.txt", image});
    // The same disk with its structures zeroed: a sparse copy.
    ASSERT_EQ(std::system(("cp --sparse=always " + image + " " + lost).c_str()), 0);
    std::FILE* f = std::fopen(lost.c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    const std::vector<uint8_t> zeros(kDataStartSector * kSectorSize);
    EXPECT_EQ(std::fwrite(zeros.data(), 1, zeros.size(), f), zeros.size());
    std::fclose(f);
    const uint64_t recordings = 2 * 2281659 + 434100 + 1016778;
    constexpr uint64_t kMiB = 1 << 20;
    for (const auto& args :
         {std::vector<std::string>{"rescue", image}, std::vector<std::string>{"recover", lost}}) {
        SCOPED_TRACE(args[0]);
        Rescue r;
        RunRescue(r, args);
        EXPECT_EQ(r.run.exitCode, 0);
        uint64_t read = 0;
        const std::regex line("(the survey )?read (\\d+) bytes of the drive");
        for (const std::string& text : harness::Lines(r.run.log)) {
            std::smatch m;
            if (std::regex_match(text, m, line))
                read += std::stoull(m[2]);
        }
        // Each of the four chains: its first block, a sector every sixteenth
        // of a block of the zeros before and after the data, the block where
        // the data begins; recover's survey 2 MiB a cluster of 11.
        const uint64_t survey = args[0] == "recover" ? 11 * 2 * kMiB : 0;
        EXPECT_LE(read, recordings + survey + 4 * (3 * kMiB + kMiB)) << read;
    }
}

// What goes wrong is said in the summary, and the exit status says it too.
TEST(RescueFailures, SlotsNamesDiskFullAndUnreadableSectors) {
    const Disk disk({Clean("News", "audio_c0"), Clean("News", "audio_bd")});
    {
        SCOPED_TRACE("a slot that does not exist, and a name taken twice");
        Rescue r;
        RunRescue(r, {"rescue", disk.path, "7", "0", "1"});
        EXPECT_EQ(r.run.exitCode, 1);
        const std::vector<std::string> table = Summary(r.console);
        ASSERT_EQ(table.size(), 4u);
        EXPECT_EQ(
            table[1],
            "   7    -  -           -          -            -  failed: there is no such slot");
        EXPECT_TRUE(harness::FileExists(r.File("001 - News.mpg")));
        EXPECT_TRUE(harness::FileExists(r.File("001 - News (slot 1).mpg")));
    }
    {
        SCOPED_TRACE("the output disk is full");
        Rescue r;
        ASSERT_EQ(::symlink("/dev/full", r.File("001 - News.mpg.part").c_str()), 0);
        RunRescue(r, {"rescue", disk.path});
        EXPECT_EQ(r.run.exitCode, 1);
        EXPECT_NE(std::find(r.console.begin(), r.console.end(),
                            "the output disk is full: 001 - News.mpg was removed, the rescue "
                            "stops here"),
                  r.console.end());
        EXPECT_EQ(Summary(r.console).size(), 2u); // slot 1 is not tried
        EXPECT_FALSE(harness::FileExists(r.File("001 - News.mpg")));
        struct stat st {};
        EXPECT_NE(::lstat(r.File("001 - News.mpg.part").c_str(), &st), 0);
    }
    {
        SCOPED_TRACE("an unreadable sector in the video");
        Rescue r;
        const std::string range = std::to_string(image::ClusterOffset(2) + 1048576) + "-" +
                                  std::to_string(image::ClusterOffset(2) + 1049088);
        const char* saved = std::getenv("ASAN_OPTIONS");
        const std::string asan = saved ? saved : "";
        ::setenv("ASAN_OPTIONS", (asan + ":verify_asan_link_order=0").c_str(), 1);
        ::setenv("LD_PRELOAD", TARNWELL_BAD_SECTORS_LIB, 1);
        ::setenv("TARNWELL_BAD_FILE", disk.path.c_str(), 1);
        ::setenv("TARNWELL_BAD_RANGES", range.c_str(), 1);
        RunRescue(r, {"rescue", disk.path, "0"});
        for (const char* name : {"LD_PRELOAD", "TARNWELL_BAD_FILE", "TARNWELL_BAD_RANGES"})
            ::unsetenv(name);
        saved ? ::setenv("ASAN_OPTIONS", asan.c_str(), 1) : ::unsetenv("ASAN_OPTIONS");
        EXPECT_EQ(r.run.exitCode, 2);
        const std::vector<std::string> table = Summary(r.console);
        ASSERT_EQ(table.size(), 2u);
        EXPECT_TRUE(std::regex_match(table[1], std::regex(".* 512  incomplete")));
    }
    {
        SCOPED_TRACE("no drive");
        Rescue r;
        RunRescue(r, {"rescue"});
        EXPECT_EQ(r.console[1], "tarnwell rescue drivename [slot ...]");
    }
}

// Killed while it writes: no file that looks finished is left.
TEST(RescueInterrupted, LeavesNoFinishedLookingFile) {
    harness::TempDir dir;
    const std::string image = dir.File("recorder.img");
    harness::RunProgramAs({TARNWELL_MKIMAGE}, TARNWELL_SOURCE_DIR "/tools/demo",
                          {"recorder.txt", image});
    Rescue r;
    const pid_t child = ::fork();
    if (child == 0) {
        if (::chdir(r.dir.Path().c_str()) == 0 && std::freopen("/dev/null", "w", stdout))
            ::execl(TARNWELL_EXE, TARNWELL_EXE, "rescue", image.c_str(), nullptr);
        ::_exit(127);
    }
    const std::string part = r.File("001 - Test pattern  MPEG audio.mpg.part");
    for (int i = 0; i < 20000 && !harness::FileExists(part); ++i)
        ::usleep(100);
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_FALSE(harness::FileExists(r.File("001 - Test pattern  MPEG audio.mpg")));
}

namespace {

// The packets of f before packet k, then `zeros` zero bytes, then the rest;
// k == size: zeros after all of them, and `after` behind those.
struct ZeroedStream {
    std::vector<uint8_t> before, rest;
    uint64_t zeros = 0;
};

ZeroedStream ZeroAt(const Fixture& f, std::size_t k, uint64_t zeros) {
    return {PacketBytes(f, 0, k), PacketBytes(f, k, f.packets.size()), zeros};
}

// Places a stream into the clusters from `first` on: at the chain's start, or
// so that its zeros end the chain's first cluster (from chain byte `start`);
// `spare` clusters of zeros more go with the chain.
std::vector<int> PlaceZeroed(image::RecorderImage& img, int first, const ZeroedStream& s,
                             bool atClusterEnd, int spare, uint64_t& start) {
    start = atClusterEnd ? kClusterBytes - s.before.size() - s.zeros : 0;
    const uint64_t end = start + s.before.size() + s.zeros + s.rest.size();
    std::vector<int> clusters;
    for (uint64_t at = 0; at < end; at += kClusterBytes)
        clusters.push_back(first + static_cast<int>(clusters.size()));
    for (int i = 0; i < spare; ++i)
        clusters.push_back(first + static_cast<int>(clusters.size()));
    img.LinkChain(clusters);
    img.PlaceChainData(clusters, start, s.before);
    img.PlaceChainData(clusters, start + s.before.size() + s.zeros, s.rest);
    return clusters;
}

} // namespace

// Zeros inside a recording do not end it, whether a copy put them in place
// of what it could not read, damage left them, or they stuff a packet: the
// file's video and sound reach the recording's end. Zeros to the end of the
// chain, or an older recording's data after them, end it, and the drive is
// read little past that end.
TEST(RescueZeros, GoOnAcrossZerosUpToTheEndOrOlderData) {
    constexpr uint64_t kMiB = 1 << 20;
    constexpr int64_t kHour = 3600 * kTimestampClock;
    const struct {
        const char* name;
        bool video;        // the zeros are in the video, else in the audio
        uint64_t zeros;    // before video packet 200 or audio packet 60
        bool atClusterEnd; // the zeros end the chain's first cluster
        bool goesOn;       // false: the recording ends there, with `spare` clusters of zeros
        int spare = 0;     // or an older recording's data after the zeros (spare 0)
    } cases[] = {
        {"4 blocks of zeros in the middle of the video's cluster", true, 4 * kMiB, false, true},
        {"zeros ending the video's first cluster", true, 2 * kMiB, true, true},
        {"zero stuffing before the video packet that begins a cluster", true, 186368, true, true},
        {"zeros of two clusters and more in the audio", false, 2 * kClusterBytes + 3 * kMiB, false,
         true},
        {"zeros ending the audio's first cluster", false, 2 * kMiB, true, true},
        {"zeros to the end of chains two clusters longer", true, 0, false, false, 2},
        {"zeros, then an older recording", true, 3 * kMiB, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Recording r = Clean("Zeros", "audio_c0");
        image::RecorderImage img;
        image::Recording rec;
        rec.recordNo = 1;
        rec.clip = r.clip;
        rec.lengthSeconds = 18;
        const std::size_t vk = c.goesOn ? (c.video ? 200 : r.video.packets.size())
                                        : r.video.packets.size(),
                          ak = c.goesOn && !c.video ? 60 : r.audio.packets.size();
        ZeroedStream v = ZeroAt(r.video, vk, c.video || !c.goesOn ? c.zeros : 0);
        ZeroedStream a = ZeroAt(r.audio, ak, c.goesOn ? (c.video ? 0 : c.zeros) : c.zeros);
        if (!c.goesOn && c.spare == 0) {
            const Recording old = OlderAfter(Clean("", "audio_c0"), "audio_c0", -kHour, 12);
            v.rest = old.videoAfter, a.rest = old.audioAfter;
        }
        uint64_t audioStart = 0, videoStart = 0;
        const std::vector<int> audio =
            PlaceZeroed(img, 1, a, !c.video && c.atClusterEnd, c.spare, audioStart);
        const std::vector<int> video =
            PlaceZeroed(img, audio.back() + 1, v, c.video && c.atClusterEnd, c.spare, videoStart);
        rec.firstACluster = static_cast<int16_t>(audio[0]);
        rec.firstVCluster = static_cast<int16_t>(video[0]);
        img.AddRecording(rec);
        img.SetSize(image::ClusterOffset(video.back() + 1));
        harness::TempDir dir;
        ASSERT_TRUE(img.Write(dir.File("recorder.img")));

        Rescue run;
        RunRescue(run, {"rescue", dir.File("recorder.img")});
        EXPECT_EQ(run.run.exitCode, 0);
        const ps::Program p = ps::Read(run.File("001 - Zeros.mpg"));
        ExpectSoundStructure(p);
        ASSERT_EQ(p.streams.count(0xE0) + p.streams.count(0xC0), 2u);
        // The video without the zeros the recording went on across; the sound
        // from the first packet at or after the first picture.
        std::vector<uint8_t> own =
            VideoFromSequenceHeader(r.video, FindFirstSequenceHeader(r.video), true);
        if (c.goesOn && c.video) { // of the zeros there, two stay
            auto i = own.end() -
                     static_cast<long>(Payloads(r.video, vk, r.video.packets.size()).size() + 4);
            auto j = i;
            while (*(i - 1) == 0)
                --i;
            while (*j == 0)
                ++j;
            own.erase(i + 2, j);
        }
        EXPECT_TRUE(p.streams.at(0xE0).payload == own);
        std::size_t k = 0;
        while (TimestampDifference(r.audio.packets[k].pts, r.video.packets[0].pts) < 0)
            ++k;
        EXPECT_TRUE(p.streams.at(0xC0).payload == Payloads(r.audio, k, r.audio.packets.size()));
        if (FfmpegAvailable()) {
            EXPECT_NEAR(ProbeDuration(run.File("001 - Zeros.mpg")), 18.0, 1.0);
        }
        // Read: the recording, the zeros before and inside it, and at most
        // 8 MiB past the end of each chain with the blocks the end lies in.
        std::smatch m;
        ASSERT_TRUE(
            std::regex_search(run.run.log, m, std::regex("read (\\d+) bytes of the drive")));
        const uint64_t data = audioStart + videoStart + v.before.size() + a.before.size() +
                              (c.goesOn ? v.zeros + a.zeros + v.rest.size() + a.rest.size() : 0);
        EXPECT_LE(std::stoull(m[1]), data + 2 * (8 * kMiB + 2 * kBlockSize));
        if (c.goesOn) {
            EXPECT_NE(run.run.log.find("bytes: the recording goes on past them"),
                      std::string::npos);
        }
    }
}

// Sound that ends before the first picture left of the video (whose
// beginning was lost), zeros after it to the end of its cluster: the search
// for the first sound stops at the recording's end instead of reading the
// cluster to its end.
TEST(RescueZeros, SoundEndingBeforeThePictureIsNotSearchedToTheClusterEnd) {
    const Recording r = Clean("Late", "audio_c0");
    const std::size_t vk = r.video.packets.size() / 2;
    std::size_t ak = 0;
    while (TimestampDifference(r.audio.packets[ak].pts, r.video.packets[vk].pts) < -kTimestampClock)
        ++ak;
    image::RecorderImage img;
    img.LinkChain({1});
    img.PlaceChainData({1}, 0, PacketBytes(r.audio, 0, ak));
    img.LinkChain({2});
    img.PlaceChainData({2}, 0, PacketBytes(r.video, vk, r.video.packets.size()));
    image::Recording rec;
    rec.recordNo = 1;
    rec.clip = r.clip;
    rec.firstACluster = 1;
    rec.firstVCluster = 2;
    img.AddRecording(rec);
    img.SetSize(image::ClusterOffset(3));
    harness::TempDir dir;
    ASSERT_TRUE(img.Write(dir.File("recorder.img")));
    Rescue run;
    RunRescue(run, {"rescue", dir.File("recorder.img")});
    std::smatch m;
    ASSERT_TRUE(std::regex_search(run.run.log, m, std::regex("read (\\d+) bytes of the drive")));
    EXPECT_LE(std::stoull(m[1]), kClusterBytes / 2 + 2 * ((8 << 20) + 2 * kBlockSize));
    EXPECT_NE(run.run.log.find("the sound ends before the first picture"), std::string::npos);
}
