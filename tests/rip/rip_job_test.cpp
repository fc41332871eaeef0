// The rip command end to end: the real program on recorder disk images built
// from the MPEG fixtures. Expected output bytes come from the fixtures' packet
// lists, never from the program's own code.
#include "image/recorder_image.h"
#include "support/ffmpeg_check.h"
#include "support/fixtures.h"
#include "support/harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::uint64_t kCluster = 104857600;
constexpr std::int64_t kTicksPerSecond = 90000;
// The News chains cross a cluster boundary inside a PES header within the
// first ten seconds: the video between 00 00 and 01 E0 of packet 100, the
// audio in the time stamp of packet 40.
constexpr std::size_t kVideoSplitPacket = 100;
constexpr std::uint64_t kVideoSplitByte = 2;
constexpr std::size_t kAudioSplitPacket = 40;
constexpr std::uint64_t kAudioSplitByte = 11;
// Moves the AC-3 stream 0.2 s behind the video, so its first PTS is the later.
constexpr std::int64_t kAC3Delay = 18000;
// One GOP of the fixture video: 12 pictures at 25 pictures per second.
constexpr double kGopSeconds = 12.0 / 25.0;

struct Streams {
    Fixture video = LoadFixture("video_e0");
    Fixture mp2 = LoadFixture("audio_c0");
    Fixture ac3 = LoadFixture("audio_bd");
    Streams() { ShiftTimestamps(ac3, kAC3Delay); }
};
const Streams& Fixtures() {
    static const Streams streams;
    return streams;
}

// Size and a hash of every non-zero byte with its offset; holes of the sparse
// image are skipped, and bytes written into them would still change the hash.
std::string ImageState(const std::string& path) {
    struct stat st {};
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return "unreadable";
    ::fstat(fd, &st);
    std::uint64_t hash = 14695981039346656037u;
    std::vector<std::uint8_t> buffer(1 << 20);
    for (off_t pos = 0; pos < st.st_size;) {
        const off_t data = ::lseek(fd, pos, SEEK_DATA);
        if (data < 0)
            break;
        const ssize_t n = ::pread(fd, buffer.data(), buffer.size(), data);
        if (n <= 0)
            break;
        for (ssize_t i = 0; i < n; ++i) {
            if (buffer[i] != 0)
                hash = (hash ^ (static_cast<std::uint64_t>(data + i) * 256 + buffer[i])) *
                       1099511628211u;
        }
        pos = data + n;
    }
    ::close(fd);
    return std::to_string(st.st_size) + "/" + std::to_string(hash);
}

// A recorder disk image in a folder of its own, with its state when written.
struct Disk {
    harness::TempDir dir;
    std::string path = dir.File("recorder.img");
    std::string state;
    explicit Disk(const image::RecorderImage& disk) {
        if (disk.Write(path))
            state = ImageState(path);
    }
};

image::Recording Recording(std::int8_t recordNo, const std::string& clip, int video, int audio) {
    image::Recording rec;
    rec.recordNo = recordNo;
    rec.station = "Tarn TV";
    rec.clip = clip;
    rec.firstVCluster = static_cast<std::int16_t>(video);
    rec.firstACluster = static_cast<std::int16_t>(audio);
    return rec;
}

// Slot 0, "001 - News": video in clusters 7 then 3, MPEG audio in clusters 8
// then 5, both across the boundary. Slot 1, "002 - 10:30 Film/Part 1": AC-3
// in cluster 2, video in cluster 10, the image's last cluster, cut short right
// after the data.
const Disk& RecorderDisk() {
    static const Disk disk([] {
        const Streams& s = Fixtures();
        image::RecorderImage img;
        img.AddRecording(Recording(1, "News", 7, 8));
        img.AddRecording(Recording(2, "10:30 Film/Part 1", 10, 2));
        for (const std::vector<int>& chain : {std::vector<int>{7, 3}, {8, 5}, {2}, {10}})
            img.LinkChain(chain);
        const std::uint64_t video = s.video.packets[kVideoSplitPacket].offset + kVideoSplitByte;
        const std::uint64_t audio = s.mp2.packets[kAudioSplitPacket].offset + kAudioSplitByte;
        img.PlaceChainData({7, 3}, kCluster - video, s.video.bytes);
        img.PlaceChainData({8, 5}, kCluster - audio, s.mp2.bytes);
        img.PlaceChainData({2}, 0, s.ac3.bytes);
        img.PlaceChainData({10}, 0, s.video.bytes);
        return img;
    }());
    return disk;
}

// Slot 0, "001 - News": video in cluster 2, MPEG audio in cluster 1. Slots 1
// to 3 miss a stream: cluster 3 holds video without PES packets, and cluster
// 40 lies beyond the end of the disk.
const Disk& SmallDisk() {
    static const Disk disk([] {
        const Streams& s = Fixtures();
        image::RecorderImage img;
        img.AddRecording(Recording(1, "News", 2, 1));
        img.AddRecording(Recording(3, "Radio", 3, 1));
        img.AddRecording(Recording(4, "Silent", 2, 3));
        img.AddRecording(Recording(5, "Lost", 40, 1));
        for (const std::vector<int>& chain : {std::vector<int>{1}, {2}, {3}, {40}})
            img.LinkChain(chain);
        img.PlaceChainData({1}, 0, s.mp2.bytes);
        img.PlaceChainData({2}, 0, s.video.bytes);
        img.PlaceChainData({3}, 0, Payloads(s.video, 0, 30));
        return img;
    }());
    return disk;
}

// Console and log lines as a terminal shows them: the progress line rewrites
// itself after each carriage return.
std::vector<std::string> Shown(const std::string& text) {
    std::vector<std::string> lines = harness::Lines(text);
    for (std::string& line : lines) {
        while (!line.empty() && line.back() == '\r')
            line.pop_back();
        line.erase(0, line.find_last_of('\r') + 1);
        static const std::regex took(R"(\.\.\. it took \d+ seconds\.\.\.)");
        if (std::regex_match(line, took))
            line = "... it took N seconds...";
    }
    return lines;
}

// Whether `wanted` appears in `lines` in this order (other lines between).
::testing::AssertionResult InOrder(const std::vector<std::string>& lines,
                                   const std::vector<std::string>& wanted) {
    auto at = lines.begin();
    for (const std::string& line : wanted) {
        at = std::find(at, lines.end(), line);
        if (at == lines.end())
            return ::testing::AssertionFailure() << "missing or out of order: \"" << line << "\"";
        ++at;
    }
    return ::testing::AssertionSuccess();
}

// Byte-for-byte equality, telling the sizes and the first difference.
::testing::AssertionResult SameBytes(const std::vector<std::uint8_t>& actual,
                                     const std::vector<std::uint8_t>& expected) {
    const auto diff = std::mismatch(actual.begin(), actual.end(), expected.begin(), expected.end());
    if (diff.first == actual.end() && diff.second == expected.end())
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << actual.size() << " bytes instead of " << expected.size()
           << ", first difference at byte " << (diff.first - actual.begin());
}

std::set<std::string> FilesIn(const std::string& dir) {
    std::set<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* entry = ::readdir(d)) {
            if (entry->d_name[0] != '.')
                names.insert(entry->d_name);
        }
        ::closedir(d);
    }
    return names;
}

// One run of `tarnwell rip IMAGE SLOT LENGTH` in a fresh working folder.
struct RipRun {
    harness::TempDir dir;
    harness::Run run;
    std::string imageStateAfter;
    std::vector<std::uint8_t> Output(const std::string& name) const {
        return harness::ReadFile(dir.File(name));
    }
};

void RunRip(RipRun& r, const Disk& disk, const std::string& slot, const std::string& length) {
    r.run = harness::RunProgram(r.dir.Path(), {"rip", disk.path, slot, length});
    r.imageStateAfter = ImageState(disk.path);
}

// The rips of the recorder disk are shared by the byte and the decode tests.
const RipRun& RecorderRip(const std::string& slot, const std::string& length) {
    static std::map<std::string, std::unique_ptr<RipRun>> runs;
    std::unique_ptr<RipRun>& r = runs[slot + " " + length];
    if (!r) {
        r = std::make_unique<RipRun>();
        RunRip(*r, RecorderDisk(), slot, length);
    }
    return *r;
}

// The cut as the recorder's streams give it: it starts at the video's first
// sequence header and is counted from the earlier of the two first PTS.
struct Cut {
    std::int64_t firstPts;
    std::int64_t maxPts;
};
Cut CutOf(const Fixture& audio, std::uint32_t lengthSeconds) {
    const Fixture& video = Fixtures().video;
    const std::int64_t v = video.packets[FindFirstSequenceHeader(video)].pts;
    return {v, std::min(audio.packets[0].pts, v) + std::int64_t{lengthSeconds} * kTicksPerSecond};
}

// Video: from the first sequence header up to the first packet (in decode
// order) at or beyond the max PTS, closed by 00 00 01 B7.
std::vector<std::uint8_t> ExpectedVideo(const Cut& cut, const Fixture& v = Fixtures().video) {
    std::uint64_t from = 0;
    const std::size_t first = FindFirstSequenceHeader(v, &from);
    std::size_t stop = first + 1;
    while (stop < v.packets.size() && v.packets[stop].pts < cut.maxPts)
        ++stop;
    std::vector<std::uint8_t> out(v.bytes.begin() + static_cast<long>(from),
                                  v.bytes.begin() + static_cast<long>(v.packets[first + 1].offset));
    const std::vector<std::uint8_t> rest = Payloads(v, first + 1, stop);
    out.insert(out.end(), rest.begin(), rest.end());
    out.insert(out.end(), {0x00, 0x00, 0x01, 0xB7});
    return out;
}

// Audio: from the first packet at or after the first PTS, up to the packet at
// or beyond the max PTS; the stream's last packet, which no packet follows, is
// never copied.
std::vector<std::uint8_t> ExpectedAudio(const Fixture& a, const Cut& cut) {
    std::size_t first = 0;
    while (a.packets[first].pts < cut.firstPts)
        ++first;
    std::size_t stop = first + 1;
    while (stop + 1 < a.packets.size() && a.packets[stop].pts < cut.maxPts)
        ++stop;
    return Payloads(a, first, stop);
}

} // namespace

TEST(RipNewsWithMpegAudio, TenSecondsAcrossTheClusterBoundary) {
    const RipRun& r = RecorderRip("0", "10");
    EXPECT_EQ(r.run.exitCode, 0);
    EXPECT_EQ(FilesIn(r.dir.Path()),
              (std::set<std::string>{"001 - News.m2v", "001 - News.mp2", r.run.logName}));

    const Cut cut = CutOf(Fixtures().mp2, 10);
    ASSERT_EQ(cut.maxPts, Fixtures().mp2.packets[0].pts + 10 * kTicksPerSecond);
    const std::vector<std::uint8_t> video = ExpectedVideo(cut);
    ASSERT_LT(Fixtures().video.packets[kVideoSplitPacket].pts, cut.maxPts);
    ASSERT_LT(Fixtures().mp2.packets[kAudioSplitPacket + 1].pts, cut.maxPts);
    EXPECT_TRUE(SameBytes(r.Output("001 - News.m2v"), video));
    EXPECT_TRUE(SameBytes(r.Output("001 - News.mp2"), ExpectedAudio(Fixtures().mp2, cut)));

    const std::string audioPts = std::to_string(Fixtures().mp2.packets[0].pts);
    const std::string firstPts = std::to_string(cut.firstPts);
    const std::string maxPts = std::to_string(cut.maxPts);
    EXPECT_TRUE(InOrder(Shown(r.run.console),
                        {"Clip        =News", "analizing streams...", "Videostream=e0 ",
                         "Audiostream=c0 ", "try to find first pts for Audio...",
                         "Audiostream PTS=" + audioPts, "try to find first pts for Video...",
                         "Videostream PTS=" + firstPts, "First PTS=" + firstPts,
                         "Max   PTS=" + maxPts, "", "now ripping audio", "... it took N seconds...",
                         "now ripping video", "... it took N seconds...", "cleaning up"}));
    const std::vector<std::string> log = Shown(r.run.log);
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[0], "TARNWELL LOG v" TARNWELL_VERSION);
    EXPECT_EQ(log[1], std::string(TARNWELL_EXE) + " rip " + RecorderDisk().path + " 0 10 ");
    EXPECT_TRUE(
        InOrder(log, {"RecordNo    =1", "Videostream=e0 ", "Audiostream=c0 ",
                      "First PTS=" + firstPts, "Max   PTS=" + maxPts, "", "001 - News.mp2",
                      "... it took N seconds...", "001 - News.m2v", "... it took N seconds..."}));
    EXPECT_EQ(r.imageStateAfter, RecorderDisk().state);
}

// The AC-3 recording starts its audio later than its video, so the cut counts
// from the video's first PTS. Its title holds characters a file name cannot.
TEST(RipFilmWithAC3, LengthsZeroLongerThanTheRecordingAndMinusOne) {
    const struct {
        const char* length;
        std::uint32_t seconds;
    } cases[] = {{"0", 0}, {"100", 100}, {"-1", 4294967295u}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("length ") + c.length);
        const RipRun& r = RecorderRip("1", c.length);
        EXPECT_EQ(r.run.exitCode, 0);
        const std::string name = "002 - 10 30 Film Part 1";
        EXPECT_EQ(FilesIn(r.dir.Path()),
                  (std::set<std::string>{name + ".m2v", name + ".ac3", r.run.logName}));
        const Cut cut = CutOf(Fixtures().ac3, c.seconds);
        ASSERT_GT(Fixtures().ac3.packets[0].pts, cut.firstPts);
        EXPECT_TRUE(SameBytes(r.Output(name + ".m2v"), ExpectedVideo(cut)));
        EXPECT_TRUE(SameBytes(r.Output(name + ".ac3"), ExpectedAudio(Fixtures().ac3, cut)));
        EXPECT_TRUE(InOrder(Shown(r.run.console),
                            {"Videostream=e0 ", "Audiostream=bd ",
                             "First PTS=" + std::to_string(cut.firstPts),
                             "Max   PTS=" + std::to_string(cut.maxPts), "", "now ripping audio",
                             "CPVRFile::RipPrivateStream", "now ripping video", "cleaning up"}));
        EXPECT_EQ(r.imageStateAfter, RecorderDisk().state);
    }
}

// ffmpeg decodes what was ripped without a complaint, and the decoded
// duration matches the cut within one GOP.
TEST(RipDecodesWithFfmpeg, VideoMpegAudioAndAC3) {
    if (!FfmpegAvailable())
        GTEST_SKIP() << "ffmpeg is not installed: decode check skipped";
    const struct {
        const char* slot;
        const char* length;
        std::uint32_t seconds;
        std::string file;
        const Fixture& stream;
    } cases[] = {
        {"0", "10", 10, "001 - News.m2v", Fixtures().video},
        {"0", "10", 10, "001 - News.mp2", Fixtures().mp2},
        {"1", "-1", 4294967295u, "002 - 10 30 Film Part 1.m2v", Fixtures().video},
        {"1", "-1", 4294967295u, "002 - 10 30 Film Part 1.ac3", Fixtures().ac3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const RipRun& r = RecorderRip(c.slot, c.length);
        const Fixture& audio = c.slot[0] == '0' ? Fixtures().mp2 : Fixtures().ac3;
        const Cut cut = CutOf(audio, c.seconds);
        // The cut ends at the max PTS or at the stream's highest PTS.
        std::int64_t end = 0;
        for (const PesPacket& p : c.stream.packets)
            end = std::max(end, p.pts);
        const double seconds =
            static_cast<double>(std::min(end, cut.maxPts) - cut.firstPts) / kTicksPerSecond;

        const DecodeResult d = DecodeWithFfmpeg(r.dir.File(c.file));
        ASSERT_TRUE(d.ran);
        EXPECT_EQ(d.exitCode, 0);
        EXPECT_EQ(d.errors, "");
        EXPECT_NEAR(d.durationSeconds, seconds, kGopSeconds);
    }
}

TEST(RipFailure, RecordingWithoutVideoOrAudioStreamCannotGoOn) {
    const struct {
        const char* slot;
        const char* videoLine;
        const char* audioLine;
    } cases[] = {{"1", "Videostream=0 ", "Audiostream=c0 "},
                 {"2", "Videostream=e0 ", "Audiostream=0 "},
                 {"3", "Videostream=0 ", "Audiostream=c0 "}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("slot ") + c.slot);
        RipRun r;
        RunRip(r, SmallDisk(), c.slot, "10");
        EXPECT_EQ(r.run.exitCode, 1);
        EXPECT_EQ(FilesIn(r.dir.Path()), std::set<std::string>{r.run.logName});
        const std::vector<std::string> console = Shown(r.run.console);
        EXPECT_TRUE(
            InOrder(console, {"analizing streams...", c.videoLine, c.audioLine, "can't go on...",
                              "cleaning up", "Tarnwell v" TARNWELL_VERSION}));
        EXPECT_EQ(std::count(console.begin(), console.end(), "now ripping audio"), 0);
        EXPECT_TRUE(InOrder(Shown(r.run.log), {c.videoLine, c.audioLine, "can't go on..."}));
        EXPECT_EQ(r.imageStateAfter, SmallDisk().state);
    }
}

// Longer files of the same names from an earlier rip are replaced whole.
TEST(RipOutput, ExistingFilesAreReplaced) {
    RipRun r;
    const std::vector<std::uint8_t> old(3000000, 0x55);
    for (const char* name : {"001 - News.mp2", "001 - News.m2v"})
        ASSERT_TRUE(harness::WriteFile(r.dir.File(name), old));
    RunRip(r, SmallDisk(), "0", "10");
    EXPECT_EQ(r.run.exitCode, 0);
    const Cut cut = CutOf(Fixtures().mp2, 10);
    EXPECT_TRUE(SameBytes(r.Output("001 - News.m2v"), ExpectedVideo(cut)));
    EXPECT_TRUE(SameBytes(r.Output("001 - News.mp2"), ExpectedAudio(Fixtures().mp2, cut)));
}

// Folders named like the output files stand in their way.
TEST(RipFailure, OutputFilesThatCannotBeCreated) {
    RipRun r;
    for (const char* name : {"001 - News.mp2", "001 - News.m2v"})
        ASSERT_EQ(::mkdir(r.dir.File(name).c_str(), 0700), 0);
    RunRip(r, SmallDisk(), "0", "10");
    EXPECT_EQ(r.run.exitCode, 1);
    const std::vector<std::string> wanted = {"could not create output file 001 - News.mp2",
                                             "could not create output file 001 - News.m2v"};
    EXPECT_TRUE(InOrder(Shown(r.run.console), wanted));
    EXPECT_TRUE(InOrder(Shown(r.run.log), wanted));
    EXPECT_EQ(r.imageStateAfter, SmallDisk().state);
}

// A working folder that cannot be written: no output file and no run log, so
// the console alone says what failed. (/proc takes no new files, not even
// from root.)
TEST(RipFailure, WorkingFolderThatCannotBeWritten) {
    if (!harness::FileExists("/proc/self"))
        GTEST_SKIP() << "/proc is not mounted: no folder that refuses new files";
    const harness::Run run = harness::RunProgram("/proc", {"rip", SmallDisk().path, "0", "10"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.logName, "");
    EXPECT_TRUE(InOrder(Shown(run.console),
                        {"could not create output file 001 - News.mp2",
                         "could not create output file 001 - News.m2v", "cleaning up"}));
    EXPECT_EQ(ImageState(SmallDisk().path), SmallDisk().state);
}

// The video file leads to a device that is always full: every write fails.
TEST(RipFailure, OutputFileThatCannotBeWritten) {
    if (!harness::FileExists("/dev/full"))
        GTEST_SKIP() << "/dev/full is missing: no file that refuses writes";
    RipRun r;
    ASSERT_EQ(::symlink("/dev/full", r.dir.File("001 - News.m2v").c_str()), 0);
    RunRip(r, SmallDisk(), "0", "10");
    EXPECT_EQ(r.run.exitCode, 1);
    const std::string failed = "could not write all of output file 001 - News.m2v";
    EXPECT_TRUE(InOrder(Shown(r.run.console), {"now ripping video", failed, "cleaning up"}));
    EXPECT_TRUE(InOrder(Shown(r.run.log), {"COBits::Flush WriteFile failed!", failed}));
    const Cut cut = CutOf(Fixtures().mp2, 10);
    EXPECT_TRUE(SameBytes(r.Output("001 - News.mp2"), ExpectedAudio(Fixtures().mp2, cut)));
    EXPECT_EQ(r.imageStateAfter, SmallDisk().state);
}

// ---- Unreadable sectors, made by a library preloaded into the program ----

namespace {

// A run of the program on `disk` whose image fails to read in the byte
// ranges "start-end,..." as a disk with bad sectors does.
struct FaultyRun {
    harness::TempDir dir;
    harness::Run run;
    long failedReads = -1;
    long reads = -1; // of the disk, all of them
    std::vector<std::string> console, log;
    FaultyRun(const Disk& disk, std::vector<std::string> args, const std::string& ranges) {
        const harness::TempDir count;
        const char* saved = std::getenv("ASAN_OPTIONS");
        const std::string asan = saved ? saved : "";
        ::setenv("LD_PRELOAD", TARNWELL_BAD_SECTORS_LIB, 1);
        ::setenv("ASAN_OPTIONS", (asan + ":verify_asan_link_order=0").c_str(), 1);
        ::setenv("TARNWELL_BAD_FILE", disk.path.c_str(), 1);
        ::setenv("TARNWELL_BAD_RANGES", ranges.c_str(), 1);
        ::setenv("TARNWELL_BAD_COUNT", count.File("count").c_str(), 1);
        ::setenv("TARNWELL_READ_COUNT", count.File("reads").c_str(), 1);
        args.insert(args.begin() + 1, disk.path);
        run = harness::RunProgram(dir.Path(), args);
        for (const char* name : {"LD_PRELOAD", "TARNWELL_BAD_FILE", "TARNWELL_BAD_RANGES",
                                 "TARNWELL_BAD_COUNT", "TARNWELL_READ_COUNT"})
            ::unsetenv(name);
        saved ? ::setenv("ASAN_OPTIONS", asan.c_str(), 1) : ::unsetenv("ASAN_OPTIONS");
        const auto counted = harness::ReadFile(count.File("count"));
        failedReads = std::atol(std::string(counted.begin(), counted.end()).c_str());
        const auto all = harness::ReadFile(count.File("reads"));
        reads = std::atol(std::string(all.begin(), all.end()).c_str());
        console = Shown(run.console);
        log = Shown(run.log);
    }
    std::vector<std::uint8_t> Output(const std::string& name) const {
        return harness::ReadFile(dir.File(name));
    }
    // Whether both the console and the log hold these lines in this order.
    ::testing::AssertionResult Says(const std::vector<std::string>& lines) const {
        const auto onConsole = InOrder(console, lines);
        return onConsole ? InOrder(log, lines) : onConsole;
    }
};

// Drive offset of byte `at` of a stream laid into a chain from chain byte `start` on.
std::uint64_t DriveOffset(const std::vector<int>& chain, std::uint64_t start, std::uint64_t at) {
    const std::uint64_t c = start + at;
    return image::ClusterOffset(chain[c / kCluster]) + c % kCluster;
}
std::uint64_t SectorOf(std::uint64_t offset) {
    return offset / 512 * 512;
}
std::string Range(std::uint64_t from, std::uint64_t length) {
    return std::to_string(from) + "-" + std::to_string(from + length);
}
std::string Lost(std::uint64_t bytes, std::uint64_t at, const std::string& area) {
    return "cannot read " + std::to_string(bytes) + " bytes at drive offset " + std::to_string(at) +
           " in " + area + ": replaced by zeros";
}
std::string Summary(std::uint64_t bytes, int places) {
    return std::to_string(bytes) + " bytes in " + std::to_string(places) +
           " places could not be read and were replaced by zeros";
}
std::uint64_t VideoStart() {
    return kCluster - (Fixtures().video.packets[kVideoSplitPacket].offset + kVideoSplitByte);
}
std::uint64_t AudioStart() {
    return kCluster - (Fixtures().mp2.packets[kAudioSplitPacket].offset + kAudioSplitByte);
}

} // namespace

// One bad sector in the middle of a video packet's payload: the rip goes on,
// the sector's bytes arrive as zeros in their place and everything after it is
// there, byte for byte.
TEST(UnreadableSectors, InVideoDataTheRestOfTheVideoIsRipped) {
    const std::uint64_t bad = SectorOf(DriveOffset({7, 3}, VideoStart(), 1000000));
    const FaultyRun r(RecorderDisk(), {"rip", "0", "18"}, Range(bad, 512));
    EXPECT_EQ(r.run.exitCode, 2);
    EXPECT_TRUE(r.Says({Lost(512, bad, "cluster 3"), Summary(512, 1)}));

    Fixture damaged = Fixtures().video;
    const std::uint64_t at = bad - image::ClusterOffset(3) + kCluster - VideoStart();
    std::fill_n(damaged.bytes.begin() + static_cast<long>(at), 512, 0);
    EXPECT_TRUE(
        SameBytes(r.Output("001 - News.m2v"), ExpectedVideo(CutOf(Fixtures().mp2, 18), damaged)));
    if (FfmpegAvailable()) {
        const DecodeResult d = DecodeWithFfmpeg(r.dir.File("001 - News.m2v"));
        const Cut cut = CutOf(Fixtures().mp2, 18);
        std::int64_t end = 0;
        for (const PesPacket& p : Fixtures().video.packets)
            end = std::max(end, p.pts);
        EXPECT_NEAR(d.durationSeconds,
                    static_cast<double>(std::min(end, cut.maxPts) - cut.firstPts) / kTicksPerSecond,
                    kGopSeconds);
    }
}

// A bad sector over an audio packet's header: the packets it spoils are
// bridged with repeated audio, and the ripped audio decodes cleanly to the
// length of the cut.
TEST(UnreadableSectors, InAudioDataTheGapIsBridged) {
    const Fixture& mp2 = Fixtures().mp2;
    const std::uint64_t bad = SectorOf(DriveOffset({8, 5}, AudioStart(), mp2.packets[50].offset));
    const FaultyRun r(RecorderDisk(), {"rip", "0", "10"}, Range(bad, 512));
    EXPECT_EQ(r.run.exitCode, 2);
    EXPECT_TRUE(r.Says({Lost(512, bad, "cluster 5"), "error recovery", Summary(512, 1)}));
    if (FfmpegAvailable()) {
        const DecodeResult d = DecodeWithFfmpeg(r.dir.File("001 - News.mp2"));
        EXPECT_EQ(d.errors, "");
        // As long as the undamaged cut, within one frame: the filler
        // covers only the time of the packets lost.
        const double packets = static_cast<double>(ExpectedAudio(mp2, CutOf(mp2, 10)).size()) /
                               static_cast<double>(Payload(mp2, 0).size());
        const double packetSeconds =
            static_cast<double>(mp2.packets[1].pts - mp2.packets[0].pts) / kTicksPerSecond;
        EXPECT_NEAR(d.durationSeconds, packets * packetSeconds, 0.024);
    }
}

// The last sector of cluster 7 and the first of cluster 3, where the video
// chain crosses from one to the other inside a PES header: two places, and
// the video after them is all there.
TEST(UnreadableSectors, AtAClusterBoundary) {
    const std::uint64_t last7 = image::ClusterOffset(8) - 512, first3 = image::ClusterOffset(3);
    const FaultyRun r(RecorderDisk(), {"rip", "0", "18"},
                      Range(last7, 512) + "," + Range(first3, 512));
    EXPECT_EQ(r.run.exitCode, 2);
    EXPECT_TRUE(
        r.Says({Lost(512, last7, "cluster 7"), Lost(512, first3, "cluster 3"), Summary(1024, 2)}));
    const std::vector<std::uint8_t> expected = ExpectedVideo(CutOf(Fixtures().mp2, 18));
    const std::vector<std::uint8_t> video = r.Output("001 - News.m2v");
    const std::size_t tail = expected.size() / 2;
    ASSERT_GE(video.size(), tail);
    EXPECT_TRUE(std::equal(expected.end() - static_cast<long>(tail), expected.end(),
                           video.end() - static_cast<long>(tail)));
}

// The table of contents, the cluster table and a recording header.
TEST(UnreadableSectors, InTheDiskStructures) {
    const std::string path = RecorderDisk().path;
    const struct {
        std::vector<std::string> args;
        std::uint64_t sector;
        int exitCode;
        std::vector<std::string> lines;
    } cases[] = {
        {{"dir"},
         0,
         1,
         {Lost(512, 0, "the table of contents"),
          "cannot read the table of contents of drive " + path}},
        {{"dir"},
         1,
         2,
         {Lost(512, 512, "the cluster table"),
          "the cluster table entries of clusters 1 to 127 of drive " + path +
              " are lost: chains through them end there",
          "VClusters   = 7 0", Summary(512, 1)}},
        {{"dir"},
         11,
         2,
         {Lost(512, 5632, "the recording headers"), "RecordNo    =1",
          "the header of recording slot 1 cannot be read", Summary(512, 1)}},
        {{"rip", "1", "10"},
         11,
         1,
         {"cannot read the header of recording slot 1 of drive " + path}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0] + " with sector " + std::to_string(c.sector) + " unreadable");
        const FaultyRun r(RecorderDisk(), c.args, Range(c.sector * 512, 512));
        EXPECT_EQ(r.run.exitCode, c.exitCode);
        EXPECT_TRUE(InOrder(r.console, c.lines));
        EXPECT_EQ(std::count(r.console.begin(), r.console.end(), "Files=          0") +
                      std::count(r.console.begin(), r.console.end(), "RecordNo    =0"),
                  0);
    }
}

// Eight megabytes that no read gets through, in the middle of a cluster: a
// bounded number of reads, one line for the whole area, and the data after it
// still read.
TEST(UnreadableSectors, ADeadAreaOfMegabytesCostsFewReadsAndOneLine) {
    const std::uint64_t from = image::ClusterOffset(2) + (3 << 20) + 4096,
                        length = (8 << 20) + 8192;
    const FaultyRun r(SmallDisk(), {"rip", "0", "-1"}, Range(from, length));
    EXPECT_EQ(r.run.exitCode, 2);
    EXPECT_TRUE(r.Says({Lost(length, from, "cluster 2"), Summary(length, 1)}));
    EXPECT_EQ(std::count_if(r.console.begin(), r.console.end(),
                            [](const std::string& line) { return line.find("cannot read") == 0; }),
              1);
    EXPECT_LT(r.failedReads, 100); // a sector at a time would be 16400
    EXPECT_TRUE(SameBytes(r.Output("001 - News.mp2"),
                          ExpectedAudio(Fixtures().mp2, CutOf(Fixtures().mp2, 4294967295u))));
}

// Seven sectors in a row that fail are walked past, and the rest of the
// megabyte is read in one piece; the eighth turns the walk back from the end
// of the megabyte, a sector at a time, so that a dead stretch costs no more
// failed reads than that.
TEST(UnreadableSectors, EightFailuresInARowTurnTheWalkBack) {
    const std::uint64_t from = image::ClusterOffset(2) + (3 << 20) + 4096;
    long reads[2] = {};
    for (const std::uint64_t sectors : {7, 8}) {
        SCOPED_TRACE(std::to_string(sectors) + " bad sectors");
        const FaultyRun r(SmallDisk(), {"rip", "0", "-1"}, Range(from, sectors * 512));
        EXPECT_EQ(r.run.exitCode, 2);
        EXPECT_TRUE(r.Says({Lost(sectors * 512, from, "cluster 2")}));
        EXPECT_EQ(r.failedReads, static_cast<long>(sectors) + 1);
        reads[sectors - 7] = r.reads;
    }
    // The megabyte's sectors after the eight, less the few before them.
    EXPECT_GT(reads[1] - reads[0], 2000);
}
