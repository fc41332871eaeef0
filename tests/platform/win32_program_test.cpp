// The Windows program against the Linux one. Each dir and rip run below is
// made by both programs in folders of their own: the files they write must be
// the same byte for byte, and the console and the run log the same line by
// line, with CR LF line ends on Windows. Runs when TARNWELL_WIN32_EXE names
// tarnwell.exe and TARNWELL_WIN32_RUNNER what runs it here (wine), as
// make test-win32 sets them.
#include "image/recorder_image.h"
#include "support/fixtures.h"
#include "support/harness.h"
#include "text/broadcast_titles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>

namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kCluster = 104857600;

std::vector<std::string> WindowsProgram() {
    const char* exe = std::getenv("TARNWELL_WIN32_EXE");
    const char* runner = std::getenv("TARNWELL_WIN32_RUNNER");
    if (exe == nullptr || *exe == '\0')
        return {};
    if (runner == nullptr || *runner == '\0')
        return {exe};
    return {runner, exe};
}

image::Recording Recording(std::int8_t recordNo, const std::string& clip, int video, int audio) {
    image::Recording rec;
    rec.recordNo = recordNo;
    rec.station = "Tarn TV";
    rec.clip = clip;
    rec.year = 2026;
    rec.month = 12;
    rec.day = 7;
    rec.lengthSeconds = 18;
    rec.firstVCluster = static_cast<std::int16_t>(video);
    rec.firstACluster = static_cast<std::int16_t>(audio);
    return rec;
}

// Two read-only images, as a write-protected copy of a disk would be.
// near.img: slot 0 has MPEG audio in cluster 6 and its video in clusters 9
// then 4, across the boundary; slot 1 has AC-3 in clusters 11 then 7, video
// in 2, and a title with every character a file name cannot hold. far.img:
// the chains lie where byte offsets need more than 32 bits, the video in
// clusters 1150 then 45, the audio in 1151, the last cluster there is.
// titles.img: a recording for each of the broadcast titles.
struct Images {
    harness::TempDir dir;
    std::string nearDisk = dir.File("near.img");
    std::string farDisk = dir.File("far.img");
    std::string titlesDisk = dir.File("titles.img");
    std::string missing = dir.File("missing.img");
    bool written = false;

    Images() {
        const Fixture video = LoadFixture("video_e0");
        const Fixture mp2 = LoadFixture("audio_c0");
        const Fixture ac3 = LoadFixture("audio_bd");
        image::RecorderImage nearImg;
        nearImg.AddRecording(Recording(1, "News", 9, 6));
        nearImg.AddRecording(Recording(2, "Film ?\\*\"<>|/: Part 1", 2, 11));
        for (const std::vector<int>& chain : {std::vector<int>{9, 4}, {6}, {2}, {11, 7}})
            nearImg.LinkChain(chain);
        nearImg.PlaceChainData({9, 4}, kCluster - 1000003, video.bytes);
        nearImg.PlaceChainData({6}, 0, mp2.bytes);
        nearImg.PlaceChainData({2}, 0, video.bytes);
        nearImg.PlaceChainData({11, 7}, kCluster - 500001, ac3.bytes);

        image::RecorderImage farImg;
        farImg.AddRecording(Recording(3, "Far out", 1150, 1151));
        farImg.LinkChain({1150, 45});
        farImg.LinkChain({1151});
        farImg.PlaceChainData({1150, 45}, kCluster - 700001, video.bytes);
        farImg.PlaceChainData({1151}, 0, mp2.bytes);

        written = nearImg.Write(nearDisk) && farImg.Write(farDisk) &&
                  WriteTitlesImage(titlesDisk, BroadcastTitles());
        for (const std::string& path : {nearDisk, farDisk, titlesDisk})
            fs::permissions(path,
                            fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    }
};

// Lines as a terminal shows them, the rip's timing and the progress lines of
// rescue, recover and its survey (as many as their speed gives) left out. Windows lines
// must end in CR LF: the CR is taken off, and a line without one is marked.
std::vector<std::string> Shown(const std::string& text, bool crlf) {
    static const std::regex took(R"(\.\.\. it took \d+ seconds\.\.\.)");
    static const std::regex progress(R"((slot|no\.) \d+ .*: +\d+%.*|survey: .*)");
    std::vector<std::string> lines = harness::Lines(text);
    for (std::string& line : lines) {
        if (crlf && (line.empty() || line.back() != '\r'))
            line += " <no CR>";
        else if (crlf)
            line.pop_back();
        if (std::regex_match(line, took))
            line = "... it took N seconds...";
    }
    lines.erase(
        std::remove_if(lines.begin(), lines.end(),
                       [](const std::string& line) { return std::regex_match(line, progress); }),
        lines.end());
    return lines;
}

// The log's second line echoes the command line, which starts with the
// program's own path; only the arguments after it are compared.
std::vector<std::string> LogShown(const std::string& log, bool crlf,
                                  const std::vector<std::string>& args) {
    std::vector<std::string> lines = Shown(log, crlf);
    std::string echo;
    for (const std::string& arg : args)
        echo += " " + arg;
    echo += " ";
    if (lines.size() > 1 && lines[1].size() >= echo.size() &&
        lines[1].compare(lines[1].size() - echo.size(), echo.size(), echo) == 0)
        lines[1] = "PROGRAM" + echo;
    return lines;
}

// The files a run wrote, by name, without its run log.
std::map<std::string, std::vector<std::uint8_t>> Outputs(const std::string& dir,
                                                         const harness::Run& run) {
    std::map<std::string, std::vector<std::uint8_t>> files;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name != run.logName)
            files[name] = harness::ReadFile(entry.path().string());
    }
    return files;
}

// Runs the same command with both programs, each in a folder of its own, and
// expects the same files, console and log. With preload, the Linux program
// runs with that library preloaded.
void ExpectSameRuns(const std::vector<std::string>& windows, const std::vector<std::string>& args,
                    const std::string& input, int status, const char* preload = nullptr) {
    std::string what;
    for (const std::string& arg : args)
        what += arg + " ";
    SCOPED_TRACE(what);
    const harness::TempDir linuxDir, windowsDir;
    if (preload != nullptr)
        ::setenv("LD_PRELOAD", preload, 1);
    const harness::Run onLinux = harness::RunProgram(linuxDir.Path(), args, input);
    ::unsetenv("LD_PRELOAD");
    const harness::Run onWindows = harness::RunProgramAs(windows, windowsDir.Path(), args, input);
    EXPECT_EQ(onLinux.exitCode, status);
    EXPECT_EQ(onWindows.exitCode, status);
    EXPECT_EQ(Shown(onWindows.console, true), Shown(onLinux.console, false));
    ASSERT_NE(onWindows.logName, "");
    EXPECT_EQ(LogShown(onWindows.log, true, args), LogShown(onLinux.log, false, args));
    const auto linuxFiles = Outputs(linuxDir.Path(), onLinux);
    const auto winFiles = Outputs(windowsDir.Path(), onWindows);
    EXPECT_EQ(winFiles.size(), linuxFiles.size());
    // report.json gives the program's command line and when it ran, the
    // page the minute it ran: the two runs may lie on either side of one.
    auto same = [](const std::string& name, const std::vector<std::uint8_t>& bytes) {
        const std::regex report("  \"(command_line|started|ended)\": [^\n]*\n");
        const std::regex page("<p>[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}</p>");
        const std::string text(bytes.begin(), bytes.end());
        const std::string shown = name == "report.json"  ? std::regex_replace(text, report, "")
                                  : name == "index.html" ? std::regex_replace(text, page, "")
                                                         : text;
        return std::vector<std::uint8_t>(shown.begin(), shown.end());
    };
    for (const auto& [name, bytes] : linuxFiles) {
        ASSERT_EQ(winFiles.count(name), 1u) << name;
        EXPECT_TRUE(same(name, winFiles.at(name)) == same(name, bytes))
            << name << ": " << winFiles.at(name).size() << " bytes instead of " << bytes.size();
    }
}

TEST(WindowsProgram, SameFilesConsoleAndLogAsTheLinuxProgram) {
    const std::vector<std::string> windows = WindowsProgram();
    if (windows.empty())
        GTEST_SKIP() << "TARNWELL_WIN32_EXE is not set: make test-win32 runs this";
    static const Images images;
    ASSERT_TRUE(images.written);
    const bool driveQ = harness::FileExists("/dev/sdq");
    const struct {
        std::vector<std::string> args;
        std::string input;
        int status;
    } cases[] = {
        {{}, "", 0},
        // The key wait after each recording, with standard input at its end
        // and with a key for each.
        {{"dir", images.nearDisk}, "", 0},
        {{"dir", images.nearDisk}, "\n\n", 0},
        {{"dir", images.farDisk}, "", 0},
        {{"rip", images.nearDisk, "0", "10"}, "", 0},
        {{"rip", images.nearDisk, "1", "-1"}, "", 0},
        {{"rip", images.nearDisk, "1", "0"}, "", 0},
        {{"rip", images.farDisk, "0", "-1"}, "", 0},
        {{"rip", images.farDisk, "0", "7"}, "", 0},
        {{"rip", images.nearDisk, "2", "10"}, "", 1},
        {{"rescue", images.nearDisk}, "", 0},
        {{"rescue", images.farDisk}, "", 0},
        {{"rescue", images.nearDisk, "1", "5"}, "", 1},
        {{"rescue"}, "", 0},
        {{"rescue", images.nearDisk, "--list"}, "", 0},
        {{"rescue", "--split", "1M", images.nearDisk}, "", 0},
        {{"recover", images.nearDisk}, "", 0},
        {{"recover", images.farDisk, "--list"}, "", 0},
        {{"recover", "--help"}, "", 0},
        // Titles in every script the broadcasts use, whatever the code page.
        {{"rescue", images.titlesDisk, "--list"}, "", 0},
        {{"rescue", images.titlesDisk, "--no-index"}, "", 0},
        {{"rescue", images.titlesDisk, "--charset", "latin9", "0", "--list"}, "", 0},
        {{"dir", images.missing}, "", 1},
        {{"rip", images.missing, "0", "10"}, "", 1},
        // A drive letter opens the raw volume (here \\.\q:, standing for
        // /dev/sdq on Linux); a physical drive path is opened as it stands.
        {{"dir", driveQ ? images.missing : "q:"}, "", 1},
        {{"dir", "\\\\.\\PhysicalDrive9"}, "", 1},
    };
    for (const auto& c : cases)
        ExpectSameRuns(windows, c.args, c.input, c.status);
}

// The Windows program's test build, which fails the reads that the fault
// variables name; none where make test-win32 did not give it.
std::vector<std::string> FaultyWindowsProgram() {
    const char* faulty = std::getenv("TARNWELL_WIN32_FAULTY_EXE");
    std::vector<std::string> windows = WindowsProgram();
    if (windows.empty() || faulty == nullptr)
        return {};
    windows.back() = faulty;
    return windows;
}

// The same failing disk for both: unreadable sectors in the video data, in a
// recording header, and a dead megabyte in the AC-3 chain. The Windows program
// is a test build that fails reads there with ERROR_CRC, the Linux one gets
// EIO from the preloaded library; both must rescue and report the same.
TEST(WindowsProgram, UnreadableSectorsTakeTheSamePathAsOnLinux) {
    const std::vector<std::string> windows = FaultyWindowsProgram();
    if (windows.empty())
        GTEST_SKIP() << "TARNWELL_WIN32_FAULTY_EXE is not set: make test-win32 runs this";
    static const Images images;
    ASSERT_TRUE(images.written);
    const std::uint64_t video = image::ClusterOffset(9) + kCluster - 1000003 + 500224;
    const std::uint64_t ac3 = image::ClusterOffset(7) + (3 << 20);
    const struct {
        std::vector<std::string> args;
        std::string ranges;
    } cases[] = {
        {{"rip", images.nearDisk, "0", "10"},
         std::to_string(video) + "-" + std::to_string(video + 512)},
        {{"dir", images.nearDisk}, "5632-6144"},
        {{"rip", images.nearDisk, "1", "-1"},
         std::to_string(ac3) + "-" + std::to_string(ac3 + (1 << 20))},
    };
    ::setenv("TARNWELL_BAD_FILE", images.nearDisk.c_str(), 1);
    for (const auto& c : cases) {
        ::setenv("TARNWELL_BAD_RANGES", c.ranges.c_str(), 1);
        ExpectSameRuns(windows, c.args, "", 2, TARNWELL_BAD_SECTORS_LIB);
    }
    ::unsetenv("TARNWELL_BAD_FILE");
    ::unsetenv("TARNWELL_BAD_RANGES");
}

// A disk that the system says is gone stops each command as on Linux, at the
// same byte with the same words and status 3: ENODEV there, and
// ERROR_DEVICE_NOT_CONNECTED or ERROR_NOT_READY here.
TEST(WindowsProgram, DiskThatIsGoneStopsAsOnLinux) {
    const std::vector<std::string> windows = FaultyWindowsProgram();
    if (windows.empty())
        GTEST_SKIP() << "TARNWELL_WIN32_FAULTY_EXE is not set: make test-win32 runs this";
    static const Images images;
    ASSERT_TRUE(images.written);
    const harness::TempDir flag;
    ASSERT_TRUE(harness::WriteFile(flag.File("gone"), {1}));
    ::setenv("TARNWELL_BAD_FILE", images.nearDisk.c_str(), 1);
    ::setenv("TARNWELL_GONE_FILE", flag.File("gone").c_str(), 1);
    ::setenv("TARNWELL_GONE_AFTER", "0", 1);
    ::setenv("TARNWELL_GONE_ERRNO", "19", 1); // ENODEV
    for (const char* error : {"1167", "21"}) {
        ::setenv("TARNWELL_GONE_ERROR", error, 1);
        ExpectSameRuns(windows, {"dir", images.nearDisk}, "", 3, TARNWELL_BAD_SECTORS_LIB);
    }
    for (const char* name : {"TARNWELL_BAD_FILE", "TARNWELL_GONE_FILE", "TARNWELL_GONE_AFTER",
                             "TARNWELL_GONE_ERRNO", "TARNWELL_GONE_ERROR"})
        ::unsetenv(name);
}

// A disk that stops answering part-way through a command stops it with
// status 3 and says so, and no recording is left under its name: whether its
// reads then fail as a bad sector's do (ERROR_CRC), a sector read fine before
// failing too when it is read again, or the system says it is gone
// (ERROR_DEVICE_NOT_CONNECTED). The test build stops it once it has
// delivered the bytes given, as the preloaded library does on Linux.
TEST(WindowsProgram, DiskThatStopsAnsweringMidRunStopsTheCommand) {
    const std::vector<std::string> windows = FaultyWindowsProgram();
    if (windows.empty())
        GTEST_SKIP() << "TARNWELL_WIN32_FAULTY_EXE is not set: make test-win32 runs this";
    static const Images images;
    ASSERT_TRUE(images.written);
    // Each stops where a healthy disk has more to give: dir at the recording
    // headers, image in cluster 2, rescue in slot 0's audio, recover in its
    // survey of cluster 1.
    const struct {
        std::vector<std::string> args;
        long after;
    } cases[] = {
        {{"dir", images.nearDisk}, 5632},
        {{"image", images.nearDisk, "copy.img"}, 50 << 20},
        {{"rescue", images.nearDisk}, 1 << 20},
        {{"recover", images.nearDisk}, 1 << 20},
    };
    ::setenv("TARNWELL_BAD_FILE", images.nearDisk.c_str(), 1);
    for (const char* error : {"23", "1167"}) {
        ::setenv("TARNWELL_GONE_ERROR", error, 1);
        for (const auto& c : cases) {
            SCOPED_TRACE(c.args[0] + " " + error);
            ::setenv("TARNWELL_GONE_AFTER", std::to_string(c.after).c_str(), 1);
            const harness::TempDir dir;
            const harness::Run run = harness::RunProgramAs(windows, dir.Path(), c.args);
            EXPECT_EQ(run.exitCode, 3);
            EXPECT_NE(run.console.find("stopped answering"), std::string::npos) << run.console;
            for (const fs::directory_entry& entry : fs::directory_iterator(dir.Path()))
                EXPECT_NE(entry.path().extension(), ".mpg") << entry.path();
        }
    }
    for (const char* name : {"TARNWELL_BAD_FILE", "TARNWELL_GONE_AFTER", "TARNWELL_GONE_ERROR"})
        ::unsetenv(name);
}

} // namespace

// tarnwell.exe images a recorder image: the same console (progress lines
// aside), the same maps byte for byte, and an image from which the Linux
// program rips what it rips from the disk.
TEST(WindowsProgram, ImagesARecorderImage) {
    const std::vector<std::string> windows = WindowsProgram();
    if (windows.empty())
        GTEST_SKIP() << "TARNWELL_WIN32_EXE is not set: make test-win32 runs this";
    static const Images images;
    ASSERT_TRUE(images.written);
    const std::vector<std::string> args = {"image", images.nearDisk, "copy.img"};
    const harness::TempDir linuxDir, windowsDir;
    const harness::Run onLinux = harness::RunProgram(linuxDir.Path(), args);
    const harness::Run onWindows = harness::RunProgramAs(windows, windowsDir.Path(), args);
    EXPECT_EQ(onLinux.exitCode, 0);
    EXPECT_EQ(onWindows.exitCode, 0);
    const std::regex progress(R"([0-9.]+ of [0-9.]+ MB copied, .* left, \d+ bytes unreadable)");
    // The progress lines follow the passes, and a read that the loaded
    // machine made slow sends its area to a later pass: they are left out.
    auto withoutRates = [&](const std::vector<std::string>& lines) {
        std::vector<std::string> kept;
        for (const std::string& line : lines)
            if (!std::regex_search(line, progress))
                kept.push_back(line);
        return kept;
    };
    EXPECT_EQ(withoutRates(Shown(onWindows.console, true)),
              withoutRates(Shown(onLinux.console, false)));
    for (const char* map : {"copy.img.map", "copy.img.domain.map"}) {
        EXPECT_TRUE(harness::ReadFile(windowsDir.File(map)) ==
                    harness::ReadFile(linuxDir.File(map)))
            << map;
    }
    EXPECT_EQ(fs::file_size(windowsDir.File("copy.img")), fs::file_size(images.nearDisk));
    for (const char* slot : {"0", "1"}) {
        const harness::TempDir fromDisk, fromImage;
        harness::RunProgram(fromDisk.Path(), {"rip", images.nearDisk, slot, "-1"});
        const harness::Run rip =
            harness::RunProgram(fromImage.Path(), {"rip", windowsDir.File("copy.img"), slot, "-1"});
        EXPECT_EQ(rip.exitCode, 0) << slot;
        for (const fs::directory_entry& entry : fs::directory_iterator(fromDisk.Path())) {
            const std::string name = entry.path().filename().string();
            if (entry.path().extension() != ".log") {
                EXPECT_TRUE(harness::ReadFile(fromImage.File(name)) ==
                            harness::ReadFile(entry.path().string()))
                    << name;
            }
        }
    }
}

// tarnwell.exe disks lists what wine offers as physical drives, each with
// what it holds or why it cannot be opened, and ends as every run does.
TEST(WindowsProgram, ListsTheDisksWineOffers) {
    const std::vector<std::string> windows = WindowsProgram();
    if (windows.empty())
        GTEST_SKIP() << "TARNWELL_WIN32_EXE is not set: make test-win32 runs this";
    const harness::TempDir dir;
    const harness::Run run = harness::RunProgramAs(windows, dir.Path(), {"disks"});
    EXPECT_TRUE(run.exitCode == 0 || run.exitCode == 1) << run.exitCode;
    const std::vector<std::string> lines = Shown(run.console, true);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Tarnwell v" TARNWELL_VERSION), lines.end());
    const std::regex disk(R"(\\\\\.\\PhysicalDrive\d+( \([A-Z]:( [A-Z]:)*\))? +\S+( [GM]B)? +.*  )"
                          R"((recorder disk, .*|not a recorder disk|cannot be opened: .*))");
    for (const std::string& line : lines) {
        if (line.rfind("\\\\.\\PhysicalDrive", 0) == 0) {
            EXPECT_TRUE(std::regex_match(line, disk)) << line;
        }
    }
}
