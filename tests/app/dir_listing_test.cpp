// The dir command end to end: the table-of-contents summary and every
// recording's listing, compared line by line, on recorder images.
#include "image/recorder_image.h"
#include "support/harness.h"

#include <algorithm>
#include <gtest/gtest.h>

namespace {

// Three recordings: skip entries used and unused, negative 8- and 16-bit
// fields, texts that fill their whole field, chains in hexadecimal that end
// by 0xFFFF, by a loop and by 0, and a first cluster stored as 0xFFFF.
image::RecorderImage ThreeRecordings() {
    image::RecorderImage img;
    img.usedClusters = 65535;
    img.freeClusters = 12;
    img.LinkChain({3, 0x1a, 0x1b});
    img.SetNext(4, 0xFFFF);
    img.SetNext(0x20, 0x21);
    img.SetNext(0x21, 0x20);
    img.SetNext(7, 0);

    image::Recording news;
    news.recordNo = 1;
    news.station = "ARD";
    news.clip = "Tagesschau";
    news.year = 2001;
    news.month = 12;
    news.day = 24;
    news.hour = 20;
    news.minute = 5;
    news.second = 9;
    news.lengthHours = 1;
    news.lengthMinutes = 30;
    news.vClusters = 3;
    news.aClusters = 1;
    news.firstVCluster = 3;
    news.firstACluster = 4;
    news.skip[0] = {0, 0};
    news.skip[1] = {-1, 100};
    news.skip[2] = {120, 300};
    news.skip[3] = {200, -1};
    img.AddRecording(news);

    image::Recording odd;
    odd.recordNo = -1;
    odd.station = "ABCDEFGHIJKLMN";
    odd.clip = "0123456789012345678901234567890123456789X";
    odd.year = 1999;
    odd.month = 12;
    odd.day = 31;
    odd.hour = -1;
    odd.minute = 59;
    odd.second = -128;
    odd.lengthHours = -1;
    odd.lengthSeconds = 5;
    odd.vClusters = -2;
    odd.firstVCluster = -1;
    odd.firstACluster = 0;
    img.AddRecording(odd);

    image::Recording big;
    big.recordNo = 127;
    big.year = -1;
    big.month = 0;
    big.day = 0;
    big.lengthHours = big.lengthMinutes = big.lengthSeconds = 127;
    big.vClusters = 32767;
    big.aClusters = -32768;
    big.firstVCluster = 0x20;
    big.firstACluster = 7;
    big.skip[9] = {-32768, 32767};
    img.AddRecording(big);
    return img;
}

const std::string kListing = R"(TOC shows 
Files=          3
Used clusters=  65535
Free clusters=  12

RecordNo    =1
Station     =ARD
Clip        =Tagesschau
Date        =24.12.2001 20:5:9
Length      =1:30:0
Length in s =5400
SkipIndex   =
start=0 stop=0
start=120 stop=300
VClusters   =3 means max 300 MByte
AClusters   =1 means max 100 MByte
VClusters   = 3 1a 1b
AClusters   = 4

RecordNo    =-1
Station     =ABCDEFGHIJKLMN
Clip        =0123456789012345678901234567890123456789X
Date        =31.12.1999 -1:59:-128
Length      =-1:0:5
Length in s =-3595
SkipIndex   =
VClusters   =-2 means max -200 MByte
AClusters   =0 means max 0 MByte
VClusters   = ffffffff
AClusters   = 0

RecordNo    =127
Station     =
Clip        =
Date        =0.0.-1 0:0:0
Length      =127:127:127
Length in s =464947
SkipIndex   =
start=-32768 stop=32767
VClusters   =32767 means max 3276700 MByte
AClusters   =-32768 means max -3276800 MByte
VClusters   = 20 21
AClusters   = 7 0

)"
                             "Tarnwell v" TARNWELL_VERSION "\n\nenjoy using it\n\n\a\n";

const char* const kBanner = "Tarnwell v" TARNWELL_VERSION "\n\nenjoy using it\n\n\a\n";

TEST(DirListing, ThreeRecordingsPrintExactlyTheListingAndLeaveTheImageUntouched) {
    const harness::TempDir dir;
    const std::string disk = dir.File("disk.img");
    ASSERT_TRUE(ThreeRecordings().Write(disk));
    const auto before = harness::ReadFile(disk);

    const harness::Run run = harness::RunProgram(dir.Path(), {"dir", disk});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(harness::Lines(run.console), harness::Lines(kListing));
    EXPECT_EQ(run.console, kListing);
    const std::string ctor = "CPVRFile::CPVRFile(char *Drivename, int FileNo)";
    EXPECT_EQ(
        harness::Lines(run.log),
        (std::vector<std::string>{
            "TARNWELL LOG v" TARNWELL_VERSION, std::string(TARNWELL_EXE) + " dir " + disk + " ",
            "CPVRDrive::CPVRDrive", "reading file 0", ctor, "reading file 1", ctor,
            "reading file 2", ctor, "CPVRDrive::~CPVRDrive()", "CPVRFile::~CPVRFile() for 127",
            "CPVRFile::~CPVRFile() for -1", "CPVRFile::~CPVRFile() for 1",
            "Tarnwell v" TARNWELL_VERSION, ""}));
    EXPECT_EQ(harness::ReadFile(disk), before);
}

TEST(DirListing, WorkingFolderWhereNoLogCanBeCreatedStillListsEverything) {
    const harness::TempDir dir;
    const std::string disk = dir.File("disk.img");
    ASSERT_TRUE(ThreeRecordings().Write(disk));
    const harness::Run run = harness::RunProgram("/proc", {"dir", disk});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.console, kListing);
    EXPECT_EQ(run.logName, "");
}

TEST(DirListing, FileCountZeroAnd255) {
    const harness::TempDir dir;
    image::RecorderImage img;
    image::Recording rec;
    rec.recordNo = 9;
    img.AddRecording(rec);

    img.fileCount = 0;
    ASSERT_TRUE(img.Write(dir.File("none.img")));
    const harness::Run none = harness::RunProgram(dir.Path(), {"dir", dir.File("none.img")});
    EXPECT_EQ(none.exitCode, 0);
    EXPECT_EQ(none.console, std::string("TOC shows \nFiles=          0\nUsed clusters=  0\n"
                                        "Free clusters=  0\n\n") +
                                kBanner);
    EXPECT_EQ(none.log.find("reading file"), std::string::npos);

    img.fileCount = 255;
    ASSERT_TRUE(img.Write(dir.File("full.img")));
    const harness::Run full = harness::RunProgram(dir.Path(), {"dir", dir.File("full.img")});
    const auto lines = harness::Lines(full.console);
    EXPECT_EQ(full.exitCode, 0);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.rfind("RecordNo    =", 0) == 0; }),
              255);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "RecordNo    =9"), 1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Date        =0.0.0 0:0:0"), 254);
}

} // namespace
