// The table of contents, the recording headers and the record listing.
#include "drive/drive.h"
#include "image/recorder_image.h"
#include "platform/runlog.h"
#include "support/harness.h"
#include "support/opened_drive.h"

#include <algorithm>
#include <cstdio>
#include <gtest/gtest.h>
#include <sstream>

namespace {

std::string WriteImage(const image::RecorderImage& img, const harness::TempDir& dir) {
    const std::string path = dir.File("disk.img");
    EXPECT_TRUE(img.Write(path));
    return path;
}

std::ptrdiff_t CountLines(const std::vector<std::string>& lines, const std::string& line) {
    return std::count(lines.begin(), lines.end(), line);
}

TEST(TableOfContents, FileCount255ReadsHeadersUpToSector264InReverseTeardown) {
    image::RecorderImage img;
    image::Recording first, last;
    first.recordNo = 5;
    last.recordNo = 77;
    last.clip = "Slot 254";
    img.AddRecording(first);
    img.PlaceBytes(264 * 512, [&] {
        const auto s = image::HeaderSector(last);
        return std::vector<std::uint8_t>(s.begin(), s.end());
    }());
    img.fileCount = 255;
    img.usedClusters = 65535;
    const harness::TempDir dir;
    const harness::Capture capture;
    {
        harness::OpenedDrive disk(WriteImage(img, dir));
        CPVRDrive drive(disk);
        ASSERT_EQ(drive.FileCount(), 255);
        EXPECT_EQ(drive.GetFile(0)->RecordNo(), 5);
        EXPECT_EQ(drive.GetFile(1)->RecordNo(), 0); // a sector of zeros
        EXPECT_EQ(drive.GetFile(254)->Clip(), "Slot 254");
        EXPECT_EQ(drive.GetFile(255), nullptr);
        EXPECT_EQ(drive.GetFile(-1), nullptr);
    }
    const auto console = capture.ConsoleLines();
    EXPECT_EQ(console,
              (std::vector<std::string>{"TOC shows ", "Files=          255",
                                        "Used clusters=  65535", "Free clusters=  0", ""}));
    const auto log = capture.LogLines();
    ASSERT_EQ(log.size(), 1u + 2 * 255 + 1 + 255);
    EXPECT_EQ(log[0], "CPVRDrive::CPVRDrive");
    EXPECT_EQ(log[1], "reading file 0");
    EXPECT_EQ(log[2], "CPVRFile::CPVRFile(char *Drivename, int FileNo)");
    EXPECT_EQ(log[509], "reading file 254");
    EXPECT_EQ(log[511], "CPVRDrive::~CPVRDrive()");
    EXPECT_EQ(log[512], "CPVRFile::~CPVRFile() for 77");
    EXPECT_EQ(log.back(), "CPVRFile::~CPVRFile() for 5");
    EXPECT_EQ(CountLines(log, "CPVRFile::CPVRFile(char *Drivename, int FileNo)"), 255);
}

TEST(TableOfContents, FileCountZeroBuildsNoRecording) {
    image::RecorderImage img;
    img.AddRecording(image::Recording{}); // a header that the count does not announce
    img.fileCount = 0;
    const harness::TempDir dir;
    const harness::Capture capture;
    {
        harness::OpenedDrive disk(WriteImage(img, dir));
        CPVRDrive drive(disk);
    }
    EXPECT_EQ(capture.ConsoleLines()[1], "Files=          0");
    EXPECT_EQ(capture.LogLines(),
              (std::vector<std::string>{"CPVRDrive::CPVRDrive", "CPVRDrive::~CPVRDrive()"}));
}

TEST(TableOfContents, ShortOrMissingSectorIsZeroFilledBeyondTheBytesRead) {
    image::RecorderImage img;
    img.usedClusters = 7;
    img.freeClusters = 0x0109;
    img.fileCount = 2;
    img.SetSize(0x0D); // the free count loses its high byte, the file count is gone
    const harness::TempDir dir;
    const harness::Capture capture;
    {
        harness::OpenedDrive shortDisk(WriteImage(img, dir)), noDisk(dir.File("missing.img"));
        const CPVRDrive shortToc(shortDisk);
        EXPECT_EQ(shortToc.FileCount(), 0);
        const CPVRDrive missing(noDisk);
        EXPECT_EQ(missing.FileCount(), 0);
    }
    EXPECT_EQ(capture.ConsoleLines(),
              (std::vector<std::string>{"TOC shows ", "Files=          0", "Used clusters=  7",
                                        "Free clusters=  9", "", "TOC shows ", "Files=          0",
                                        "Used clusters=  0", "Free clusters=  0", ""}));
}

TEST(RecordingHeader, CutOffHeaderIsZeroFilledBeyondTheBytesRead) {
    image::RecorderImage img;
    image::Recording rec;
    rec.recordNo = 12;
    rec.station = "ZDF";
    rec.second = 42;
    rec.lengthHours = 3;
    rec.firstVCluster = 9;
    img.AddRecording(rec);
    img.SetSize(10 * 512 + 0x40); // the header ends before its length fields
    const harness::TempDir dir;
    const harness::Capture capture;
    harness::OpenedDrive disk(WriteImage(img, dir));
    const CPVRFile file(disk, 0);
    EXPECT_EQ(file.RecordNo(), 12);
    EXPECT_EQ(file.Station(), "ZDF");
    EXPECT_EQ(file.Second(), 42);
    EXPECT_EQ(file.LengthHours(), 0);
    EXPECT_EQ(file.FirstVCluster(), 0);
}

TEST(RecordingHeader, UnopenableDriveIsLoggedAndLeavesAZeroHeader) {
    const harness::TempDir dir;
    const harness::Capture capture;
    harness::OpenedDrive missing(dir.File("missing.img"));
    const CPVRFile file(missing, 3);
    EXPECT_EQ(file.RecordNo(), 0);
    EXPECT_EQ(file.Clip(), "");
    EXPECT_EQ(capture.LogLines(),
              (std::vector<std::string>{"CPVRFile::CPVRFile(char *Drivename, int FileNo)",
                                        "could not open drive " + dir.File("missing.img") +
                                            " for file 3"}));
}

TEST(RecordingHeader, DestructorLineShowedTheRecordNumberInHexOnAHexLog) {
    image::RecorderImage img;
    image::Recording rec;
    rec.recordNo = 26;
    img.AddRecording(rec);
    const harness::TempDir dir;
    const harness::Capture capture;
    harness::OpenedDrive disk(WriteImage(img, dir));
    auto* file = new CPVRFile(disk, 0);
    *g_Log << std::hex; // as after a rip that could not go on
    delete file;
    EXPECT_EQ(capture.LogLines().back(), "CPVRFile::~CPVRFile() for 26");
}

TEST(RecordListing, FullTextFieldsEndAtTheFieldAndNumbersAreDecimalOnAHexStream) {
    image::RecorderImage img;
    image::Recording rec;
    rec.recordNo = 42;
    rec.station = "ABCDEFGHIJKLMN";                          // 14 bytes, no zero byte
    rec.clip = "The quick brown fox jumps over a lazy dog!"; // 42 bytes: cut to 41
    rec.year = 0x2020;                                       // would follow the clip as "  "
    rec.day = 10;
    rec.month = 11;
    rec.hour = -1;
    rec.vClusters = 12;
    rec.aClusters = -3;
    rec.firstVCluster = 3;
    rec.firstACluster = -1;
    rec.skip[9] = {0, 0};
    rec.skip[4] = {-1, 100};
    rec.skip[5] = {100, -1};
    img.AddRecording(rec);
    img.LinkChain({3, 0x1a});
    const harness::TempDir dir;
    const std::string path = WriteImage(img, dir);
    const harness::Capture capture;
    harness::OpenedDrive disk(path);
    disk.LoadClusterTable();
    const CPVRFile file(disk, 0);
    std::ostringstream os;
    os << std::hex;
    file.PrintInfo(os, false);
    EXPECT_EQ(os.str(), "RecordNo    =42\n"
                        "Station     =ABCDEFGHIJKLMN\n"
                        "Clip        =The quick brown fox jumps over a lazy dog\n"
                        "Date        =10.11.8224 -1:0:0\n"
                        "Length      =0:0:0\n"
                        "Length in s =0\n"
                        "SkipIndex   =\n"
                        "start=0 stop=0\n"
                        "VClusters   =12 means max 1200 MByte\n"
                        "AClusters   =-3 means max -300 MByte\n"
                        "VClusters   = 3 1a\n"
                        "AClusters   = ffffffff\n"
                        "\n");
}

TEST(RecordListing, ListFilesTakesOneKeyAfterEachRecording) {
    image::RecorderImage img;
    for (int i = 0; i < 3; ++i)
        img.AddRecording(image::Recording{});
    const harness::TempDir dir;
    const std::string path = WriteImage(img, dir);
    ASSERT_TRUE(harness::WriteFile(dir.File("keys"), {'a', 'b', 'c', 'd', 'e'}));
    ASSERT_NE(std::freopen(dir.File("keys").c_str(), "r", stdin), nullptr);
    const harness::Capture capture;
    harness::OpenedDrive disk(path);
    disk.LoadClusterTable();
    {
        CPVRDrive drive(disk);
        drive.ListFiles();
    }
    EXPECT_EQ(std::ftell(stdin), 3);
    EXPECT_NE(std::freopen("/dev/null", "r", stdin), nullptr);
    const auto lines = capture.ConsoleLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "RecordNo    =0"), 3);
}

} // namespace
