// tarnwell image against GNU ddrescue and a failing disk (the preloaded
// bad-sector library): what the map records, what a second run, an
// interrupted run and ddrescue make of it, and what rip then says.
#include "drive/drive.h"
#include "image/recorder_image.h"
#include "support/fixtures.h"
#include "support/harness.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <unistd.h>

namespace {

constexpr std::uint64_t kMiB = 1 << 20;
const std::uint64_t kAudio = image::ClusterOffset(2), kVideo = image::ClusterOffset(3);
const std::uint64_t kWanted = 131072 + 2 * 104857600; // structures, audio and video cluster
// What the program reads of the structures besides imaging them: the table
// of contents, the cluster table and the one header.
constexpr long kStructureReads = 512 + 4608 + 512;
// A run that goes on with an image reads the table of contents and the
// cluster table once more: they tell whether the disk is the one the image
// was begun with.
constexpr long kIdentityReads = 10 * 512;
// Each failed read after good data has a sector read fine before read again,
// to tell a bad sector from a disk that stopped answering.
constexpr long kWitnessRead = 512;

// Slot 0, "001 - News": MPEG audio in cluster 2, video in cluster 3; clusters
// 1 and 4 are free, and the disk ends with cluster 4.
struct Disk {
    harness::TempDir dir;
    std::string path = dir.File("recorder.img");
    Disk() {
        image::RecorderImage img;
        image::Recording rec;
        rec.recordNo = 1;
        rec.clip = "News";
        rec.firstVCluster = 3;
        rec.firstACluster = 2;
        img.AddRecording(rec);
        img.LinkChain({2});
        img.LinkChain({3});
        img.PlaceChainData({2}, 0, LoadFixture("audio_c0").bytes);
        img.PlaceChainData({3}, 0, LoadFixture("video_e0").bytes);
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
    long bytesRead = -1, writeOpens = -1;
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
    }
    bool Says(const std::string& line) const {
        for (const std::string& shown : harness::Lines(run.console))
            if (shown == line)
                return true;
        return false;
    }
};

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
    EXPECT_EQ(second.bytesRead, 1536 + 512 + kStructureReads + kIdentityReads);
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
