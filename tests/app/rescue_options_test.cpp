// Everyday use of rescue and recover on the demo disk: an output folder, the
// recordings' dates on their files, a list to choose from, the room on the
// output disk, and files in parts, asked for or on FAT32 (whose answers come
// from the preloaded library).
#include "image/recorder_image.h"
#include "support/ffmpeg_check.h"
#include "support/harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <sys/stat.h>

namespace {

const std::string kMp2 = "001 - Test pattern  MPEG audio", kAc3 = "002 - Test pattern  AC-3";

// The demo disk in a folder of its own.
struct Demo {
    harness::TempDir dir;
    std::string image = dir.File("recorder.img");
    Demo() {
        harness::RunProgramAs({TARNWELL_MKIMAGE}, TARNWELL_SOURCE_DIR "/tools/demo",
                              {"recorder.txt", image});
    }
};

std::time_t ModificationTime(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mtime : 0;
}

std::time_t LocalTime(int year, int month, int day, int hour, int minute) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_isdst = -1;
    return std::mktime(&t);
}

bool Has(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

} // namespace

// The files and the log go into a new nested folder, dated as the headers
// say; a folder that cannot be made stops the run before the disk is read.
TEST(RescueOptions, OutputFolderAndDates) {
    const Demo demo;
    harness::TempDir cwd;
    const std::string out = cwd.File("Recordings/2026");
    const harness::Run run = harness::RunProgram(cwd.Path(), {"rescue", demo.image, "-o", out});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(ModificationTime(out + "/" + kMp2 + ".mpg"), LocalTime(2026, 12, 7, 20, 15));
    EXPECT_EQ(ModificationTime(out + "/" + kAc3 + ".mpg"), LocalTime(2026, 12, 7, 21, 0));
    EXPECT_EQ(run.logName, ""); // not in the current folder, but in the output folder:
    bool logged = false;
    for (const auto& entry : std::filesystem::directory_iterator(out))
        logged = logged || entry.path().extension() == ".log";
    EXPECT_TRUE(logged);

    ASSERT_TRUE(harness::WriteFile(cwd.File("a file"), {1}));
    const harness::Run refused =
        harness::RunProgram(cwd.Path(), {"recover", "--output", cwd.File("a file/x"), demo.image});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_TRUE(Has(harness::Lines(refused.console),
                    "tarnwell recover: cannot make the output folder " + cwd.File("a file/x")));
    EXPECT_EQ(refused.log.find("survey"), std::string::npos);

    // A header whose date is no date leaves the file dated by its writing.
    harness::TempDir odd;
    image::RecorderImage img;
    image::Recording rec;
    rec.recordNo = 1;
    rec.clip = "Odd";
    rec.month = 13;
    rec.firstACluster = 1;
    rec.firstVCluster = 2;
    img.AddRecording(rec);
    img.LinkChain({1});
    img.LinkChain({2});
    img.PlaceChainData({1}, 0, harness::ReadFile(TARNWELL_FIXTURE_DIR "/audio_c0.pes"));
    img.PlaceChainData({2}, 0, harness::ReadFile(TARNWELL_FIXTURE_DIR "/video_e0.pes"));
    ASSERT_TRUE(img.Write(odd.File("odd.img")));
    const std::time_t before = std::time(nullptr);
    harness::RunProgram(odd.Path(), {"rescue", odd.File("odd.img")});
    EXPECT_GE(ModificationTime(odd.File("001 - Odd.mpg")), before - 1);
}

// --list shows each recording with the name of its file and writes nothing.
TEST(RescueOptions, ListOfTheDemoDisk) {
    const Demo demo;
    harness::TempDir cwd;
    const harness::Run run = harness::RunProgram(cwd.Path(), {"rescue", "--list", demo.image});
    EXPECT_EQ(run.exitCode, 0);
    const std::vector<std::string> lines = harness::Lines(run.console);
    const std::vector<std::string> expected = {
        "slot  rec  station      title                     date               length     "
        "chains  file",
        "   0    1  Tarnwell TV  Test pattern: MPEG audio  2026-12-07 20:15  0:00:18   314.6 MB  " +
            kMp2 + ".mpg",
        "   1    2  Tarnwell TV  Test pattern: AC-3        2026-12-07 21:00  0:00:18   314.6 MB  " +
            kAc3 + ".mpg"};
    const auto at = std::find(lines.begin(), lines.end(), expected[0]);
    ASSERT_NE(at, lines.end()) << run.console;
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), at));
    EXPECT_FALSE(harness::FileExists(cwd.File(kMp2 + ".mpg")));
    const harness::Run one = harness::RunProgram(cwd.Path(), {"rescue", demo.image, "1", "--list"});
    EXPECT_TRUE(Has(harness::Lines(one.console), "   1    2  Tarnwell TV  Test pattern: AC-3  "
                                                 "2026-12-07 21:00  0:00:18   314.6 MB  " +
                                                     kAc3 + ".mpg"))
        << one.console;
    EXPECT_EQ(one.console.find(kMp2), std::string::npos);
    for (const char* command : {"rescue", "recover"}) {
        const harness::Run help = harness::RunProgram(cwd.Path(), {command, "--help"});
        EXPECT_EQ(help.exitCode, 0);
        EXPECT_TRUE(Has(harness::Lines(help.console),
                        "  -o DIR, --output DIR  the files and the run log go into DIR, made if "
                        "it is missing"));
    }
}

// Too little room is said before the run, which goes on; parts of 1 MiB each
// begin with a pack and the system header, ffprobe reads each, joined they
// are the file unsplit, and a second run keeps them; on FAT32 the run says
// that it writes parts.
TEST(RescueOptions, RoomPartsAndFat32) {
    const Demo demo;
    harness::TempDir whole, parts, fat;
    {
        const harness::Preload small(
            harness::Preload::Variables{{"TARNWELL_FREE_BYTES", "1000000"}});
        const harness::Run run = harness::RunProgram(whole.Path(), {"rescue", demo.image});
        EXPECT_TRUE(Has(harness::Lines(run.console),
                        "the recordings' chains hold 629 MB and the output folder has 1 MB free: "
                        "the run stops when that disk is full"))
            << run.console;
    }
    const harness::Run split =
        harness::RunProgram(parts.Path(), {"rescue", demo.image, "--split", "1M"});
    EXPECT_EQ(split.exitCode, 0);
    std::vector<std::uint8_t> joined;
    for (int part = 1; part <= 3; ++part) {
        const std::string name =
            kMp2 + (part == 1 ? "" : " (part " + std::to_string(part) + ")") + ".mpg";
        SCOPED_TRACE(name);
        const std::vector<std::uint8_t> bytes = harness::ReadFile(parts.File(name));
        ASSERT_GT(bytes.size(), 32u);
        EXPECT_LE(bytes.size(), 1u << 20);
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + 4,
                               std::vector<std::uint8_t>{0, 0, 1, 0xBA}.begin()));
        EXPECT_TRUE(std::equal(bytes.begin() + 14, bytes.begin() + 18,
                               std::vector<std::uint8_t>{0, 0, 1, 0xBB}.begin()));
        if (FfmpegAvailable()) {
            EXPECT_GT(ProbeDuration(parts.File(name)), 0);
        }
        joined.insert(joined.end(), bytes.begin(), bytes.end());
    }
    EXPECT_TRUE(joined == harness::ReadFile(whole.File(kMp2 + ".mpg")));
    const harness::Run again =
        harness::RunProgram(parts.Path(), {"rescue", demo.image, "--split=1M"});
    EXPECT_TRUE(Has(harness::Lines(again.console), kMp2 + ".mpg is complete already: kept"));

    const harness::Preload fat32(harness::Preload::Variables{{"TARNWELL_FS_TYPE", "0x4d44"}});
    const harness::Run onFat = harness::RunProgram(fat.Path(), {"rescue", demo.image});
    EXPECT_TRUE(Has(harness::Lines(onFat.console),
                    "the output folder's file system holds no file of 4 GiB or more: each file "
                    "is written in parts of at most 4095 MiB"));
    EXPECT_TRUE(harness::ReadFile(fat.File(kMp2 + ".mpg")) ==
                harness::ReadFile(whole.File(kMp2 + ".mpg")));
}
