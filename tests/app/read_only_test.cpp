// The disk is only ever read. dir and rip, on intact and damaged images, with
// unreadable sectors and in rips that fail, leave a read-only image's bytes,
// size and times as they were, and never open it for writing: a preloaded
// library counts such opens, since root writes to a file of mode 0444 anyway.
// The Windows backend, which cannot run here, is checked in its source.
#include "image/recorder_image.h"
#include "support/fixtures.h"
#include "support/harness.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <fstream>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Size, modification and change times, and a hash of the data extents (the
// holes of the sparse image are skipped; bytes written into one would show).
std::string FileState(const std::string& path) {
    struct stat st {};
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0 || ::fstat(fd, &st) != 0)
        return "unreadable";
    const std::uint64_t hash = harness::SparseDataHash(fd);
    ::close(fd);
    std::ostringstream state;
    state << st.st_size << " " << st.st_mtim.tv_sec << "." << st.st_mtim.tv_nsec << " "
          << st.st_ctim.tv_sec << "." << st.st_ctim.tv_nsec << " " << hash;
    return state.str();
}

// Slot 0, "001 - News": four seconds of MPEG audio in cluster 1 and the first
// GOPs of the video in cluster 2. The damaged disk promises a third recording
// whose header is zeros, has a cluster that links to itself, a slot 1 whose
// video chain lies beyond the end of the image and a video packet overwritten.
image::RecorderImage Disk(bool damaged) {
    static const Fixture video = LoadFixture("video_e0");
    static const Fixture audio = LoadFixture("audio_c0");
    image::RecorderImage img;
    image::Recording rec;
    rec.recordNo = 1;
    rec.clip = "News";
    rec.firstVCluster = 2;
    rec.firstACluster = 1;
    img.AddRecording(rec);
    img.LinkChain({1});
    img.LinkChain({2});
    std::vector<std::uint8_t> videoBytes = PacketBytes(video, 0, 30);
    if (damaged) {
        rec.firstVCluster = 40;
        img.AddRecording(rec);
        img.fileCount = 3;
        img.SetNext(1, 1);
        std::fill_n(videoBytes.begin() + 40000, 3000, 0xB3);
    }
    img.PlaceChainData({1}, 0, PacketBytes(audio, 0, 35));
    img.PlaceChainData({2}, 0, videoBytes);
    return img;
}

struct Case {
    const char* name;
    bool damaged;
    std::vector<std::string> args; // after the command, the image's path is put in
    const char* badRanges;         // unreadable byte ranges of the image
    int exitCode;
};

const std::uint64_t kVideo = image::ClusterOffset(2);
const std::string kVideoBad = std::to_string(kVideo + 50176) + "-" + std::to_string(kVideo + 51200);

const Case kCases[] = {
    {"dir", false, {"dir"}, "", 0},
    {"rip", false, {"rip", "0", "1"}, "", 0},
    {"rip of a slot that is not there", false, {"rip", "7", "1"}, "", 1},
    {"dir of a damaged disk", true, {"dir"}, "", 0},
    {"rip of a damaged recording", true, {"rip", "0", "2"}, "", 0},
    {"rip that cannot go on", true, {"rip", "1", "1"}, "", 1},
    {"dir with the table of contents unreadable", false, {"dir"}, "0-512", 1},
    {"rip with unreadable video sectors", false, {"rip", "0", "1"}, kVideoBad.c_str(), 2},
};

std::string ReadText(const std::string& path) {
    std::ifstream in(path);
    std::string text;
    std::getline(in, text);
    return text;
}

} // namespace

TEST(ReadOnlyDisk, IsNeitherChangedNorOpenedForWriting) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        const harness::TempDir disk, work, counts;
        const std::string path = disk.File("recorder.img");
        ASSERT_TRUE(Disk(c.damaged).Write(path));
        ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
        const std::string before = FileState(path);

        const char* saved = std::getenv("ASAN_OPTIONS");
        const std::string asan = saved ? saved : "";
        ::setenv("LD_PRELOAD", TARNWELL_BAD_SECTORS_LIB, 1);
        ::setenv("ASAN_OPTIONS", (asan + ":verify_asan_link_order=0").c_str(), 1);
        ::setenv("TARNWELL_BAD_FILE", path.c_str(), 1);
        ::setenv("TARNWELL_BAD_RANGES", c.badRanges, 1);
        ::setenv("TARNWELL_WRITE_OPENS", counts.File("opens").c_str(), 1);
        std::vector<std::string> args = c.args;
        args.insert(args.begin() + 1, path);
        const harness::Run run = harness::RunProgram(work.Path(), args);
        for (const char* name :
             {"LD_PRELOAD", "TARNWELL_BAD_FILE", "TARNWELL_BAD_RANGES", "TARNWELL_WRITE_OPENS"})
            ::unsetenv(name);
        saved ? ::setenv("ASAN_OPTIONS", asan.c_str(), 1) : ::unsetenv("ASAN_OPTIONS");

        EXPECT_EQ(run.exitCode, c.exitCode);
        EXPECT_EQ(ReadText(counts.File("opens")), "0");
        EXPECT_EQ(FileState(path), before);
    }
}

// The drive is opened with CreateFileW for reading only, shared with other
// readers only, and never created, a disk past the system's cache; no file
// of the disk's side of the program calls the platform's write functions.
TEST(ReadOnlyDisk, Win32BackendOpensTheDriveForReadingOnly) {
    std::ifstream in(std::string(TARNWELL_SOURCE_DIR) + "/platform/win32.cpp");
    std::stringstream source;
    source << in.rdbuf();
    const std::string text = source.str();
    EXPECT_TRUE(std::regex_search(
        text,
        std::regex(
            R"(bool PlatOpenRead\([^)]*\) \{[^}]*OpenForReading\(path, FILE_SHARE_READ\);)")));
    std::smatch opener;
    ASSERT_TRUE(std::regex_search(text, opener,
                                  std::regex(R"(HANDLE OpenForReading\([^)]*\) \{([^]*?)\n\})")));
    const std::string body = opener[1];
    std::smatch open;
    ASSERT_TRUE(std::regex_search(body, open, std::regex(R"(CreateFileW\(([^;]*)\);)")));
    const std::string call = std::regex_replace(std::string(open[1]), std::regex(R"(\s+)"), " ");
    // Access, sharing (FILE_SHARE_READ from PlatOpenRead) and disposition;
    // the flags are the disk's or the file's.
    EXPECT_EQ(call, "name.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, flags, nullptr");
    EXPECT_EQ(body.find("CreateFileW"), body.rfind("CreateFileW"));
    EXPECT_NE(body.find("open(FILE_FLAG_NO_BUFFERING)"), std::string::npos);
    for (const char* file : {"drive/cluster_table.cpp", "drive/pvr_drive.cpp", "drive/pvr_file.cpp",
                             "drive/unreadable.cpp", "reader/cluster_reader.cpp"}) {
        std::ifstream part(std::string(TARNWELL_SOURCE_DIR) + "/" + file);
        std::stringstream code;
        code << part.rdbuf();
        EXPECT_FALSE(code.str().empty()) << file;
        EXPECT_EQ(code.str().find("PlatCreateWrite"), std::string::npos) << file;
        EXPECT_EQ(code.str().find("PlatWrite"), std::string::npos) << file;
    }
}
