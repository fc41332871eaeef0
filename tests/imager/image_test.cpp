// tarnwell image against GNU ddrescue and a failing disk (the preloaded
// bad-sector library): what the map records, what a second run, an
// interrupted run and ddrescue make of it, and what rip then says.
#include "drive/drive.h"
#include "image/recorder_image.h"
#include "imager/imager.h"
#include "support/fixtures.h"
#include "support/harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr std::uint64_t kMiB = 1 << 20;
const std::uint64_t kAudio = image::ClusterOffset(2), kVideo = image::ClusterOffset(3);
const std::uint64_t kWanted = 131072 + 2 * 104857600; // structures, audio and video cluster
// What the program reads of the structures besides imaging them: the table
// of contents, the cluster table and the one header.
constexpr long kStructureReads = 512 + 4608 + 512;
// A run that goes on with an image reads the directory once more (the table
// of contents, the cluster table and the headers), and up to 16 blocks of
// 4 KiB that its map marks copied: they tell whether the disk is the one the
// image was begun with. A map of GNU ddrescue's own notes no disk: the
// blocks are not read again.
constexpr long kIdentityReads = 256 * 512;
constexpr long kSpotReads = 16 * 4096;
// Each failed read after good data has a sector read fine before read again,
// to tell a bad sector from a disk that stopped answering.
constexpr long kWitnessRead = 512;

// Slot 0, "001 - News": MPEG audio in cluster 2, video in cluster 3; clusters
// 1 and 4 are free, and the disk ends with cluster 4.
// Another recorder's disk of the same size has the video in another cluster.
// Another of the same model may differ in a header only (clip), or in the
// data alone (fill: a byte that fills the rest of the audio cluster).
struct Disk {
    harness::TempDir dir;
    std::string path = dir.File("recorder.img");
    explicit Disk(std::int16_t video = 3, const std::string& clip = "News", int fill = 0) {
        image::RecorderImage img;
        image::Recording rec;
        rec.recordNo = 1;
        rec.clip = clip;
        rec.firstVCluster = video;
        rec.firstACluster = 2;
        img.AddRecording(rec);
        img.LinkChain({2});
        img.LinkChain({video});
        const std::vector<std::uint8_t> audio = LoadFixture("audio_c0").bytes;
        img.PlaceChainData({2}, 0, audio);
        if (fill != 0)
            img.PlaceChainData({2}, audio.size(),
                               std::vector<std::uint8_t>(104857600 - audio.size(),
                                                         static_cast<std::uint8_t>(fill)));
        img.PlaceChainData({video}, 0, LoadFixture("video_e0").bytes);
        img.SetSize(image::ClusterOffset(5));
        img.Write(path);
    }
};

std::string Range(std::uint64_t from, std::uint64_t length) {
    return std::to_string(from) + "-" + std::to_string(from + length);
}

long Number(const std::string& file) {
    const auto text = harness::ReadFile(file);
    return text.empty() ? -1 : std::atol(std::string(text.begin(), text.end()).c_str());
}

// A run of program (tarnwell when empty) in dir, with the drive failing in
// the byte ranges, or killed when a read reaches killAt, each read waiting
// delayMs first.
struct Faulty {
    harness::Run run;
    long bytesRead = -1, writeOpens = -1, failedReads = -1;
    Faulty(const std::string& dir, const std::string& drive, const std::vector<std::string>& args,
           const std::string& ranges = "", const std::string& killAt = "",
           const std::vector<std::string>& program = {}, const std::string& delayMs = "") {
        const harness::TempDir counts;
        const char* saved = std::getenv("ASAN_OPTIONS");
        const std::string asan = saved ? saved : "";
        ::setenv("LD_PRELOAD", TARNWELL_BAD_SECTORS_LIB, 1);
        ::setenv("ASAN_OPTIONS", (asan + ":verify_asan_link_order=0").c_str(), 1);
        const std::pair<const char*, std::string> env[] = {
            {"TARNWELL_BAD_FILE", drive},
            {"TARNWELL_BAD_RANGES", ranges},
            {"TARNWELL_KILL_AT", killAt},
            {"TARNWELL_READ_DELAY", delayMs},
            {"TARNWELL_READ_BYTES", counts.File("read")},
            {"TARNWELL_BAD_COUNT", counts.File("failed")},
            {"TARNWELL_WRITE_OPENS", counts.File("opens")}};
        for (const auto& [name, value] : env)
            value.empty() ? ::unsetenv(name) : ::setenv(name, value.c_str(), 1);
        run = program.empty() ? harness::RunProgram(dir, args)
                              : harness::RunProgramAs(program, dir, args);
        ::unsetenv("LD_PRELOAD");
        for (const auto& variable : env)
            ::unsetenv(variable.first);
        saved ? ::setenv("ASAN_OPTIONS", asan.c_str(), 1) : ::unsetenv("ASAN_OPTIONS");
        bytesRead = Number(counts.File("read"));
        writeOpens = Number(counts.File("opens"));
        failedReads = Number(counts.File("failed"));
    }
    bool Says(const std::string& line) const {
        for (const std::string& shown : harness::Lines(run.console))
            if (shown == line)
                return true;
        return false;
    }
};

// The drive stops answering once it has delivered `after` bytes, every read
// then failing with the error (EIO when 0), while this lives.
struct DropOut {
    DropOut(long after, int error = 0) {
        ::setenv("TARNWELL_GONE_AFTER", std::to_string(after).c_str(), 1);
        if (error != 0)
            ::setenv("TARNWELL_GONE_ERRNO", std::to_string(error).c_str(), 1);
    }
    ~DropOut() {
        ::unsetenv("TARNWELL_GONE_AFTER");
        ::unsetenv("TARNWELL_GONE_ERRNO");
    }
    DropOut(const DropOut&) = delete;
    DropOut& operator=(const DropOut&) = delete;
};

bool SaysStopped(const harness::Run& run) {
    int lines = 0;
    for (const std::string& line : harness::Lines(run.console))
        lines += line.rfind("the disk stopped answering at byte ", 0) == 0 &&
                 line.find(": reconnect it") != std::string::npos;
    return lines == 1 && run.log.find("the disk stopped answering at byte ") != std::string::npos;
}

harness::Run Tool(const std::string& dir, const std::vector<std::string>& command) {
    return harness::RunProgramAs({command[0]}, dir,
                                 std::vector<std::string>(command.begin() + 1, command.end()));
}

// The areas of the map that GNU ddrescue's own reader lists with a status,
// in 512-byte sectors.
std::string Sectors(const std::string& dir, const std::string& map, char status) {
    return Tool(dir, {"ddrescuelog", std::string("--list-blocks=") + status, "-b512", map}).console;
}

std::string Lost(std::uint64_t bytes, std::uint64_t at, const std::string& area) {
    return "cannot read " + std::to_string(bytes) + " bytes at drive offset " + std::to_string(at) +
           " in " + area + ": replaced by zeros";
}

std::vector<std::string> WithoutMapLine(const std::string& console) {
    std::vector<std::string> lines = harness::Lines(console);
    if (!lines.empty() && lines[0].rfind("following the rescue map ", 0) == 0)
        lines.erase(lines.begin());
    return lines;
}

// The hash of a sparse image's data.
std::uint64_t DataHash(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    const std::uint64_t hash = harness::SparseDataHash(fd);
    ::close(fd);
    return hash;
}

// The run's dir and rip, console and outputs, are those of the drive.
void ExpectSameAsDrive(const Disk& disk, const std::string& image) {
    const harness::TempDir a, b;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"dir"}, {"rip", "0", "-1"}}) {
        std::vector<std::string> onDrive = args, onImage = args;
        onDrive.insert(onDrive.begin() + 1, disk.path);
        onImage.insert(onImage.begin() + 1, image);
        const harness::Run d = harness::RunProgram(a.Path(), onDrive);
        const harness::Run i = harness::RunProgram(b.Path(), onImage);
        EXPECT_EQ(i.exitCode, 0);
        if (args[0] == "dir") {
            EXPECT_EQ(WithoutMapLine(i.console), harness::Lines(d.console));
        }
    }
    for (const char* name : {"001 - News.m2v", "001 - News.mp2"})
        EXPECT_TRUE(harness::ReadFile(a.File(name)) == harness::ReadFile(b.File(name))) << name;
}

} // namespace

// A failing drive: the map marks exactly its bad sectors '-' and the free
// clusters '?'; rip of the image names the lost sectors; a second run with
// the faults gone reads those sectors and the structures, nothing else, and
// the image is then the drive for dir and rip.
TEST(ImageCommand, FailingDriveThenASecondRun) {
    const Disk disk;
    const harness::TempDir work;
    const std::string img = work.File("copy.img"), bad = Range(kVideo + 3 * kMiB + 1024, 1536);
    const Faulty first(work.Path(), disk.path, {"image", disk.path, img},
                       bad + "," + Range(5632, 512));
    EXPECT_EQ(first.run.exitCode, 2);
    EXPECT_EQ(first.writeOpens, 0);
    // Each of the two bad places fails three times: in copying, trimming
    // and retrying.
    EXPECT_EQ(first.bytesRead,
              static_cast<long>(kWanted) - 2048 + kStructureReads + 6 * kWitnessRead);
    EXPECT_TRUE(first.Says(Lost(1536, kVideo + 3 * kMiB + 1024, "cluster 3")));
    EXPECT_TRUE(first.Says("slot 0 (001 - News): 209715200 bytes, 1536 of them could not be read"));
    const std::uint64_t video = (kVideo + 3 * kMiB + 1024) / 512;
    EXPECT_EQ(Sectors(work.Path(), img + ".map", '-'), "11\n" + std::to_string(video) + "\n" +
                                                           std::to_string(video + 1) + "\n" +
                                                           std::to_string(video + 2) + "\n");
    EXPECT_EQ(Sectors(work.Path(), img + ".domain.map", '?'),
              Sectors(work.Path(), img + ".map", '?'));

    const harness::Run rip = harness::RunProgram(work.Path(), {"rip", img, "0", "-1"});
    EXPECT_EQ(rip.exitCode, 2);
    EXPECT_NE(rip.console.find(Lost(1536, kVideo + 3 * kMiB + 1024, "cluster 3")),
              std::string::npos);

    const Faulty second(work.Path(), disk.path, {"image", disk.path, img});
    EXPECT_EQ(second.run.exitCode, 0);
    EXPECT_LE(second.bytesRead, 1536 + 512 + kStructureReads + kIdentityReads + kSpotReads);
    EXPECT_GT(second.bytesRead, 1536 + 512 + kStructureReads + kIdentityReads + kSpotReads - 4096);
    ExpectSameAsDrive(disk, img);
}

// GNU ddrescue retries the bad sectors from Tarnwell's map within the
// domain; Tarnwell then goes on from the map ddrescue updated.
TEST(ImageCommand, GnuDdrescueGoesOnFromItsMap) {
    const Disk disk;
    const harness::TempDir work;
    const std::string img = work.File("copy.img");
    const Faulty first(work.Path(), disk.path, {"image", disk.path, img},
                       Range(kAudio + 4096, 512));
    ASSERT_EQ(first.run.exitCode, 2);
    const harness::Run retry =
        Tool(work.Path(), {"ddrescue", "-q", "--domain-mapfile=" + img + ".domain.map", "-r3",
                           disk.path, img, img + ".map"});
    EXPECT_EQ(retry.exitCode, 0) << retry.console;
    EXPECT_EQ(Sectors(work.Path(), img + ".map", '-'), "");
    const Faulty again(work.Path(), disk.path, {"image", disk.path, img});
    EXPECT_EQ(again.run.exitCode, 0);
    EXPECT_EQ(again.bytesRead, kStructureReads + kIdentityReads);
    ExpectSameAsDrive(disk, img);
}

// An image and map that GNU ddrescue made of the failing drive, under both
// names a map goes by, and a map that is no map.
TEST(ImageCommand, MapsBesideAnImageMadeByGnuDdrescue) {
    const Disk disk;
    const std::uint64_t at = kVideo + 7 * kMiB;
    const struct {
        const char* map;
        int exitCode;
        std::string line;
    } cases[] = {
        {"made.img.map", 2, Lost(4096, at, "cluster 3")},
        {"made.map", 2, Lost(4096, at, "cluster 3")},
        {"made.img.map", 0,
         "the rescue map made.img.map cannot be parsed (line 1 is not a "
         "status line): it is ignored"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.map);
        const harness::TempDir work;
        const Faulty made(work.Path(), disk.path, {"-q", "--sparse", disk.path, "made.img", c.map},
                          Range(at, 4096), "", {"ddrescue"});
        ASSERT_EQ(made.run.exitCode, 0) << made.run.console;
        if (c.exitCode == 0)
            harness::WriteFile(work.File(c.map), {'x', '\n'});
        const harness::Run rip = harness::RunProgram(work.Path(), {"rip", "made.img", "0", "-1"});
        EXPECT_EQ(rip.exitCode, c.exitCode);
        EXPECT_EQ(harness::Lines(rip.console)[0],
                  c.exitCode ? "following the rescue map " + std::string(c.map) +
                                   ": what it does not mark as copied counts as unreadable"
                             : c.line);
        EXPECT_NE(rip.console.find(c.line), std::string::npos);
    }
}

// Killed in the middle of the video cluster: the next run completes the
// image, reading again at most the 64 MiB since the map was last saved.
TEST(ImageCommand, InterruptedRunCompletesWithoutReadingMuchTwice) {
    const Disk disk;
    const harness::TempDir work;
    const std::string img = work.File("copy.img");
    const std::uint64_t killAt = kVideo + 50 * kMiB;
    const Faulty killed(work.Path(), disk.path, {"image", disk.path, img}, "",
                        std::to_string(killAt));
    ASSERT_EQ(killed.run.exitCode, -1);
    const std::vector<std::uint8_t> saved = harness::ReadFile(img + ".map");
    CRescueMap map;
    std::string fault;
    ASSERT_TRUE(map.Parse(std::string(saved.begin(), saved.end()), fault)) << fault;
    const Faulty resumed(work.Path(), disk.path, {"image", disk.path, img});
    EXPECT_EQ(resumed.run.exitCode, 0);
    const long readBefore = static_cast<long>(killAt - kAudio) + 131072;
    EXPECT_LE(resumed.bytesRead + readBefore,
              static_cast<long>(kWanted + 64 * kMiB) + kStructureReads);
    EXPECT_LT(resumed.bytesRead, static_cast<long>(kWanted - killAt + kVideo + 64 * kMiB));
    ExpectSameAsDrive(disk, img);
}

// A drive that has slowed down, as a failing one does while it retries: each
// megabyte takes at least 250 ms, so 64 MiB takes 16 s. Killed after 24 MiB
// of the recording (7 s), the map on disk lacks at most what the last 5 s
// read: 20 MiB, however busy the machine, as a busy one reads less in 5 s.
TEST(ImageCommand, SlowDriveKilledLosesAtMostFiveSeconds) {
    const Disk disk;
    const harness::TempDir work;
    const std::string img = work.File("copy.img");
    const std::uint64_t killAt = kAudio + 24 * kMiB;
    const Faulty killed(work.Path(), disk.path, {"image", disk.path, img}, "",
                        std::to_string(killAt), {}, "250");
    ASSERT_EQ(killed.run.exitCode, -1);
    const std::vector<std::uint8_t> saved = harness::ReadFile(img + ".map");
    CRescueMap map;
    std::string fault;
    ASSERT_TRUE(map.Parse(std::string(saved.begin(), saved.end()), fault)) << fault;
    EXPECT_LE(map.NotCopied(kAudio, killAt - kAudio), 20 * kMiB)
        << std::string(saved.begin(), saved.end());
}

// Refused, with the drive and anything that was there left as they were:
// the drive itself by its name and through a link, an image that Tarnwell
// did not make, and a map whose image is gone.
TEST(ImageCommand, Refusals) {
    const Disk disk;
    const struct {
        const char* name;
        const char* image;
        std::vector<const char*> present;
        const char* ranges;
        std::string line;
    } cases[] = {
        {"drive itself",
         "",
         {},
         "",
         disk.path + " is drive " + disk.path + " itself: the image must be another file"},
        {"link to drive",
         "link.img",
         {},
         "",
         "link.img is drive " + disk.path + " itself: the image must be another file"},
        {"no map",
         "old.img",
         {"old.img"},
         "",
         "old.img exists and has no rescue map beside it, so Tarnwell did not make it: it is left "
         "as it is"},
        {"no image",
         "old.img",
         {"old.img.map"},
         "",
         "the rescue map old.img.map is there, but not its image old.img: remove the map to start "
         "a new image"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const harness::TempDir work;
        ASSERT_EQ(::symlink(disk.path.c_str(), work.File("link.img").c_str()), 0);
        for (const char* name : c.present)
            harness::WriteFile(work.File(name), {'o', 'l', 'd'});
        const std::string image = *c.image ? c.image : disk.path;
        const Faulty run(work.Path(), disk.path, {"image", disk.path, image}, c.ranges);
        EXPECT_EQ(run.run.exitCode, 1);
        EXPECT_TRUE(run.Says(c.line)) << run.run.console;
        EXPECT_LE(run.writeOpens, 0); // -1: not opened at all
        for (const char* name : c.present)
            EXPECT_EQ(harness::ReadFile(work.File(name)),
                      (std::vector<std::uint8_t>{'o', 'l', 'd'}));
    }
}

// Every command that reads the drive stops with status 3 when it stops
// answering, whether the system says it is gone or reads just fail, after
// at most three failed reads, and says so once.
TEST(DropOut, EveryCommandStopsWithStatusThree) {
    const Disk disk;
    const struct {
        std::vector<std::string> args;
        long after;
        int error;
    } cases[] = {
        {{"dir"}, 4608, 0},
        {{"rip", "0", "-1"}, 3 << 20, 0},
        {{"rip", "0", "-1"}, 3 << 20, ENODEV},
        {{"image", "copy.img"}, 50 << 20, 0},
        {{"image", "copy.img"}, 50 << 20, ENXIO},
        {{"rescue"}, 1 << 20, 0},
        {{"recover"}, 1 << 20, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + std::to_string(c.error));
        const harness::TempDir work;
        std::vector<std::string> args = c.args;
        args.insert(args.begin() + 1, disk.path);
        const DropOut gone(c.after, c.error);
        const Faulty run(work.Path(), disk.path, args);
        EXPECT_EQ(run.run.exitCode, 3);
        EXPECT_TRUE(SaysStopped(run.run)) << run.run.console;
        EXPECT_LE(run.failedReads, c.error ? 1 : 3);
    }
}

// A drive (an image file) that ends inside its last sector is imaged to its
// last byte, none of it taken for unreadable.
TEST(ImageCommand, ImageEndingInsideASectorIsCopiedWhole) {
    const Disk disk(4); // the video in the last cluster
    const auto size = static_cast<off_t>(image::ClusterOffset(5) - 288);
    ASSERT_EQ(::truncate(disk.path.c_str(), size), 0);
    const harness::TempDir work;
    const Faulty run(work.Path(), disk.path, {"image", disk.path, work.File("copy.img")});
    EXPECT_EQ(run.run.exitCode, 0) << run.run.console;
    ExpectSameAsDrive(disk, work.File("copy.img"));
}

// A rescue that the drop-out cut short leaves no file under the recording's
// name, and recover says to image the disk first; reconnected, the same
// rescue writes the file that a healthy disk gives.
TEST(DropOut, RescueGoesOnAfterTheReconnect) {
    const Disk disk;
    const harness::TempDir work, healthy;
    {
        const DropOut gone(1 << 20);
        const Faulty cut(work.Path(), disk.path, {"rescue", disk.path});
        EXPECT_EQ(cut.run.exitCode, 3);
        EXPECT_FALSE(harness::FileExists(work.File("001 - News.mpg")));
        const Faulty survey(work.Path(), disk.path, {"recover", disk.path});
        EXPECT_NE(survey.run.console.find("image it first: tarnwell image"), std::string::npos)
            << survey.run.console;
    }
    const Faulty again(work.Path(), disk.path, {"rescue", disk.path});
    EXPECT_EQ(again.run.exitCode, 0);
    harness::RunProgram(healthy.Path(), {"rescue", disk.path});
    EXPECT_FALSE(harness::ReadFile(work.File("001 - News.mpg")).empty());
    EXPECT_EQ(harness::ReadFile(work.File("001 - News.mpg")),
              harness::ReadFile(healthy.File("001 - News.mpg")));
}

// Stopped part-way, the map marks nothing bad that was never really tried;
// reconnected, the same command goes on from the map and reads only what
// the first run did not copy (and the sectors that tell the disk).
TEST(ImageCommand, DropOutThenTheSameCommandGoesOn) {
    const Disk disk;
    const harness::TempDir work;
    const std::string img = work.File("copy.img");
    const long after = 120 << 20;
    {
        const DropOut gone(after);
        const Faulty first(work.Path(), disk.path, {"image", disk.path, img});
        EXPECT_EQ(first.run.exitCode, 3);
        EXPECT_TRUE(SaysStopped(first.run));
    }
    EXPECT_EQ(Sectors(work.Path(), img + ".map", '-'), "");
    EXPECT_NE(Sectors(work.Path(), img + ".map", '?'), "");
    const Faulty second(work.Path(), disk.path, {"image", disk.path, img});
    EXPECT_EQ(second.run.exitCode, 0);
    EXPECT_LE(second.bytesRead, static_cast<long>(kWanted) - after + 64 * static_cast<long>(kMiB));
    ExpectSameAsDrive(disk, img);
}

// An image begun with one disk is not gone on with another of the same size
// (the other recorder's, the cable moved): not with one whose cluster table
// differs, nor one that differs in a header only, nor one whose directory is
// the same and whose data differs. Both disks are named, the status is 1, and
// the image and its map stay as they were, a map GNU ddrescue reads. The
// same disk goes on from the map of an earlier version, which notes the
// digest of the first ten sectors.
TEST(ImageCommand, AnotherDiskIsRefused) {
    const Disk disk(3, "News", 0x5a);
    const Disk otherTable(4, "News", 0x5a), otherHeader(3, "Weather", 0x5a),
        otherData(3, "News", 0xa5);
    const struct {
        const Disk& drive;
        std::string says; // "": goes on
    } cases[] = {
        {otherTable, "was begun with another disk (a disk of 419561472 bytes, directory "},
        {otherHeader, "was begun with another disk (a disk of 419561472 bytes, directory "},
        {otherData, "was begun with another disk, or with this one before its data changed: "},
        {disk, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.says);
        const harness::TempDir work;
        const std::string img = work.File("copy.img");
        {
            const DropOut gone(150 << 20);
            ASSERT_EQ(Faulty(work.Path(), disk.path, {"image", disk.path, img}).run.exitCode, 3);
        }
        if (c.says.empty()) {
            // The map as an earlier version wrote it.
            const auto bytes = harness::ReadFile(img + ".map");
            std::string text(bytes.begin(), bytes.end());
            const auto first = harness::ReadFile(disk.path);
            const std::size_t at = text.find("directory ");
            text.replace(at, text.find(',', at) - at,
                         "first sectors " + DigestOf(first.data(), 10 * 512));
            harness::WriteFile(img + ".map", std::vector<std::uint8_t>(text.begin(), text.end()));
        }
        const auto map = harness::ReadFile(img + ".map");
        const std::uint64_t image = DataHash(img);
        const Faulty run(work.Path(), c.drive.path, {"image", c.drive.path, img});
        if (c.says.empty()) {
            EXPECT_EQ(run.run.exitCode, 0) << run.run.console;
            continue;
        }
        EXPECT_EQ(run.run.exitCode, 1);
        EXPECT_NE(run.run.console.find("the image " + img + " " + c.says), std::string::npos)
            << run.run.console;
        EXPECT_TRUE(harness::ReadFile(img + ".map") == map);
        EXPECT_EQ(DataHash(img), image);
        EXPECT_NE(Sectors(work.Path(), img + ".map", '+'), "");
    }
}

// A disk whose first sectors are zeros: image surveys its clusters, and
// recover then finds in the image what it finds on the disk; a second run
// reads nothing again but the directory's sectors.
TEST(ImageCommand, LostDirectoryIsSurveyed) {
    const Disk disk;
    {
        std::vector<std::uint8_t> bytes = harness::ReadFile(disk.path);
        std::fill(bytes.begin(), bytes.begin() + 131072, 0);
        harness::WriteFile(disk.path, bytes);
    }
    const harness::TempDir work, fromDrive, fromImage;
    const std::string img = work.File("copy.img");
    const Faulty first(work.Path(), disk.path, {"image", disk.path, img});
    EXPECT_EQ(first.run.exitCode, 0) << first.run.console;
    EXPECT_TRUE(first.Says("the directory is lost: imaging the clusters that the survey finds to "
                           "hold recordings"));
    const Faulty second(work.Path(), disk.path, {"image", disk.path, img});
    EXPECT_EQ(second.run.exitCode, 0);
    EXPECT_EQ(second.bytesRead, kIdentityReads + kSpotReads + 512 + 4608);
    for (const auto& [from, out] : {std::pair{disk.path, &fromDrive}, {img, &fromImage}})
        EXPECT_EQ(
            harness::RunProgram(out->Path(), {"recover", from, "-o", "out", "--no-index"}).exitCode,
            0);
    const std::string name = "out/recovered 01 (cluster 3).mpg";
    EXPECT_FALSE(harness::ReadFile(fromDrive.File(name)).empty());
    EXPECT_TRUE(harness::ReadFile(fromDrive.File(name)) == harness::ReadFile(fromImage.File(name)));
}
