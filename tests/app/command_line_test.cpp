// The command line, the run log and the exit status, run on the real program.
#include "app/app.h"
#include "image/recorder_image.h"
#include "support/harness.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <regex>

namespace {

const std::vector<std::string> kUsage = {
    "Usage:",
    "tarnwell dir drivename",
    "to get a directory listing",
    "example:",
    "tarnwell dir g:",
    "OR",
    "tarnwell rip drivename recordno length_in_seconds",
    "to rip a file",
    "example:",
    "tarnwell rip g: 1 600",
    "rips record number 1 from drive g: with a length of 600 seconds",
};
const std::vector<std::string> kBanner = {"Tarnwell v" TARNWELL_VERSION, "", "enjoy using it", "",
                                          "\a"};

bool Has(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

bool StartsWith(const std::vector<std::string>& lines, const std::vector<std::string>& head) {
    return lines.size() >= head.size() && std::equal(head.begin(), head.end(), lines.begin());
}

bool EndsWith(const std::vector<std::string>& lines, const std::vector<std::string>& tail) {
    return lines.size() >= tail.size() && std::equal(tail.rbegin(), tail.rend(), lines.rbegin());
}

// Two recordings, numbered 41 and 42, without any recording data.
std::string TwoRecordings(const harness::TempDir& dir, const std::string& name = "disk.img") {
    image::RecorderImage img;
    image::Recording rec;
    rec.recordNo = 41;
    img.AddRecording(rec);
    rec.recordNo = 42;
    img.AddRecording(rec);
    EXPECT_TRUE(img.Write(dir.File(name)));
    return dir.File(name);
}

TEST(CommandLine, UsageTextListingAndExitStatusForEachForm) {
    const harness::TempDir dir;
    const std::string disk = TwoRecordings(dir);
    struct Case {
        std::vector<std::string> args;
        bool usage, listing;
    };
    const Case cases[] = {
        {{}, true, false},
        {{"dir"}, true, false},
        {{"RIP", disk, "0", "600"}, true, false},
        {{"rip", disk, "0"}, true, false},
        {{"rip", disk, "0", "600", "9"}, true, false},
        {{"Dir", disk}, true, false},
        {{"dir", disk, "extra"}, true, true},
        {{"dir", disk}, false, true},
        {{"help", "dir"}, true, false},
        {{"HELP"}, true, false},
        {{"-h"}, true, false},
    };
    for (const Case& c : cases) {
        std::string what;
        for (const std::string& arg : c.args)
            what += arg + " ";
        const harness::Run run = harness::RunProgram(dir.Path(), c.args);
        const auto console = harness::Lines(run.console);
        EXPECT_EQ(run.exitCode, 0) << what;
        EXPECT_EQ(StartsWith(console, kUsage), c.usage) << what;
        EXPECT_EQ(Has(console, "TOC shows "), c.listing) << what;
        EXPECT_EQ(run.log.find("CPVRDrive::CPVRDrive") != std::string::npos, c.listing) << what;
        EXPECT_EQ(std::count(console.begin(), console.end(), "RecordNo    =42"), c.listing ? 1 : 0)
            << what;
        EXPECT_TRUE(EndsWith(console, kBanner)) << what;
        if (!c.listing) {
            EXPECT_EQ(console.size(), kUsage.size() + kBanner.size()) << what;
        }
    }
}

TEST(CommandLine, HelpListsEveryCommandThatTheProgramRuns) {
    const harness::TempDir dir;
    for (const std::string word : {"--help", "help"}) {
        const harness::Run run = harness::RunProgram(dir.Path(), {word});
        const auto console = harness::Lines(run.console);
        EXPECT_EQ(run.exitCode, 0) << word;
        EXPECT_TRUE(StartsWith(console, {"Usage:", "tarnwell COMMAND ..., the commands being:"}));
        EXPECT_TRUE(EndsWith(console, kBanner)) << word;
        std::vector<std::string> commands;
        for (const std::string& line : console)
            if (line.rfind("  ", 0) == 0)
                commands.push_back(line.substr(2, line.find(' ', 2) - 2));
        EXPECT_EQ(commands, (std::vector<std::string>{"disks", "rescue", "recover", "dir", "rip",
                                                      "image", "help"}))
            << word;
    }
    // Each command that the help sends to its --help has a usage of its own.
    for (const std::string command : {"disks", "rescue", "recover", "image"}) {
        const harness::Run run = harness::RunProgram(dir.Path(), {command, "--help"});
        const auto console = harness::Lines(run.console);
        ASSERT_GE(console.size(), 2u) << command;
        EXPECT_EQ(console[0], "Usage:") << command;
        EXPECT_EQ(console[1].substr(0, console[1].find(' ', 9)), "tarnwell " + command);
    }
}

TEST(CommandLine, FailuresAreReportedOnConsoleAndLogWithExitStatus1) {
    const harness::TempDir dir;
    const std::string disk = TwoRecordings(dir);
    image::RecorderImage shortTable;
    shortTable.SetSize(1000);
    ASSERT_TRUE(shortTable.Write(dir.File("short.img")));
    const std::string missing = dir.File("missing.img");
    struct Case {
        std::vector<std::string> args;
        std::string message;
        bool tocRead;
    };
    const Case cases[] = {
        {{"dir", ""}, "cannot open drive ", false},
        {{"dir", missing}, "cannot open drive " + missing, false},
        {{"rip", missing, "0", "60"}, "cannot open drive " + missing, false},
        {{"dir", dir.File("short.img")},
         "cannot read the cluster table of drive " + dir.File("short.img"),
         false},
        {{"dir", dir.Path()}, "cannot read the cluster table of drive " + dir.Path(), false},
        {{"rip", disk, "2", "60"},
         "there is no recording in slot 2, the drive holds 2 recordings",
         true},
        {{"rip", disk, "-1", "60"},
         "there is no recording in slot -1, the drive holds 2 recordings",
         true},
        {{"rip", disk, "4294967295", "60"},
         "there is no recording in slot -1, the drive holds 2 recordings",
         true},
    };
    for (const Case& c : cases) {
        const harness::Run run = harness::RunProgram(dir.Path(), c.args);
        const auto console = harness::Lines(run.console);
        EXPECT_EQ(run.exitCode, 1) << c.message;
        EXPECT_TRUE(Has(console, c.message)) << c.message;
        EXPECT_TRUE(Has(harness::Lines(run.log), c.message)) << c.message;
        EXPECT_EQ(Has(console, "TOC shows "), c.tocRead) << c.message;
        EXPECT_FALSE(Has(console, "Usage:")) << c.message;
        EXPECT_TRUE(EndsWith(console, kBanner)) << c.message;
    }
}

TEST(CommandLine, RecordNumberIsConvertedUpToTheFirstNonDigit) {
    const harness::TempDir dir;
    const std::string disk = TwoRecordings(dir);
    const std::pair<std::string, std::string> cases[] = {{"1x", "RecordNo    =42"},
                                                         {"abc", "RecordNo    =41"}};
    for (const auto& [slot, recordLine] : cases) {
        const harness::Run run = harness::RunProgram(dir.Path(), {"rip", disk, slot, "600"});
        const auto console = harness::Lines(run.console);
        EXPECT_TRUE(Has(console, recordLine)) << slot;
        EXPECT_TRUE(Has(console, "can't go on...")) << slot; // the recording holds no streams
        EXPECT_EQ(run.exitCode, 1) << slot;
    }
}

TEST(NumberConversion, SignDigitsAndWrapModulo2To32) {
    const std::pair<const char*, std::int32_t> cases[] = {
        {"1x", 1},
        {"abc", 0},
        {"10min", 10},
        {"-1", -1},
        {" \t42", 42},
        {"+7", 7},
        {"-", 0},
        {"", 0},
        {"- 3", 0},
        {"007", 7},
        {"4294967295", -1},
        {"4294967296", 0},
        {"2147483648", INT32_MIN},
        {"99999999999", 1215752191},
    };
    for (const auto& [text, value] : cases)
        EXPECT_EQ(ParseNumber(text), value) << '"' << text << '"';
}

TEST(DrivePathRule, OnlyAnArgumentEndingInAColonGetsTheRawVolumePrefix) {
    const std::pair<std::string, std::string> cases[] = {
        {"g:", "\\\\.\\g:"},
        {"G:", "\\\\.\\G:"},
        {"x:\\", "x:\\"},
        {"image.bin", "image.bin"},
        {"/dev/sdb", "/dev/sdb"},
        {"", ""},
        {"\\\\.\\PhysicalDrive1", "\\\\.\\PhysicalDrive1"},
    };
    for (const auto& [argument, path] : cases)
        EXPECT_EQ(DrivePath(argument), path) << argument;
}

TEST(DrivePathRule, DriveLetterOpensTheRawVolumeNotAFileOfThatName) {
    if (harness::FileExists("/dev/sdg"))
        GTEST_SKIP() << "this machine has a disk /dev/sdg";
    const harness::TempDir dir;
    TwoRecordings(dir, "g:");
    TwoRecordings(dir, "x:\\");
    const harness::Run letter = harness::RunProgram(dir.Path(), {"dir", "g:"});
    EXPECT_EQ(letter.exitCode, 1);
    EXPECT_TRUE(Has(harness::Lines(letter.console), "cannot open drive \\\\.\\g:"));
    const harness::Run extra = harness::RunProgram(dir.Path(), {"dir", "g:", "extra"});
    const auto console = harness::Lines(extra.console);
    EXPECT_TRUE(StartsWith(console, kUsage));
    ASSERT_GT(console.size(), kUsage.size());
    EXPECT_EQ(console[kUsage.size()], "cannot open drive \\\\.\\g:");
    const harness::Run image = harness::RunProgram(dir.Path(), {"dir", "x:\\"});
    EXPECT_EQ(image.exitCode, 0);
    EXPECT_TRUE(Has(harness::Lines(image.console), "RecordNo    =42"));
}

TEST(RunLog, RunWithoutArgumentsWritesFourLinesUnderTheStartTime) {
    const harness::TempDir dir;
    const std::time_t before = std::time(nullptr);
    const harness::Run run = harness::RunProgram(dir.Path(), {});
    const std::time_t after = std::time(nullptr);
    std::tm from{}, to{};
    localtime_r(&before, &from);
    localtime_r(&after, &to);
    EXPECT_TRUE(std::regex_match(run.logName, std::regex("[0-9]{14}\\.log"))) << run.logName;
    EXPECT_GE(run.logName, LogFileName(from));
    EXPECT_LE(run.logName, LogFileName(to));
    EXPECT_EQ(run.log, std::string("TARNWELL LOG v" TARNWELL_VERSION "\n") + TARNWELL_EXE +
                           " \nTarnwell v" TARNWELL_VERSION "\n\n");
}

TEST(RunLog, CommandLineEchoEndsWithABlank) {
    const harness::TempDir dir;
    const harness::Run run = harness::RunProgram(dir.Path(), {"rip", "a b", "1"});
    const auto log = harness::Lines(run.log);
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[1], std::string(TARNWELL_EXE) + " rip a b 1 ");
}

TEST(RunLog, NameIsZeroPaddedLocalTime) {
    const auto name = [](int year, int month, int day, int hour, int minute, int second) {
        std::tm t{};
        t.tm_year = year - 1900;
        t.tm_mon = month - 1;
        t.tm_mday = day;
        t.tm_hour = hour;
        t.tm_min = minute;
        t.tm_sec = second;
        return LogFileName(t);
    };
    EXPECT_EQ(name(2001, 12, 24, 20, 5, 9), "20011224200509.log");
    EXPECT_EQ(name(987, 1, 1, 0, 0, 0), "09870101000000.log");
}

} // namespace
