// The disks command end to end, on the build with small clusters, on loop
// devices attached read-only: a recorder disk, the same with its first 256
// sectors zeroed, an ext4 file system and a disk of zeros, each of 1 GiB
// (sparse files). Each line says what its disk holds, no image changes, and
// no more than 8 MiB of any is read; without root's rights each says it
// cannot be opened, and one line says how to get them.
#include "image/recorder_image.h"
#include "support/fixtures.h"
#include "support/harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <unistd.h>

namespace {

constexpr std::uint64_t kCluster = TARNWELL_SMALL_CLUSTER_BYTES;
constexpr std::uint64_t kDiskBytes = std::uint64_t{1} << 30;

// The output of a shell command, its last line end taken off.
std::string Shell(const std::string& command) {
    std::string out;
    if (FILE* p = ::popen(command.c_str(), "r")) {
        char buffer[512];
        while (std::fgets(buffer, sizeof buffer, p))
            out += buffer;
        ::pclose(p);
    }
    if (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out;
}

// An image attached read-only as a loop device, detached when it goes.
struct Loop {
    std::string device;
    explicit Loop(const std::string& image)
        : device(Shell("losetup -r -f --show '" + image + "' 2>/dev/null")) {}
    ~Loop() {
        if (!device.empty())
            Shell("losetup -d " + device);
    }
};

// A hash of the data extents and the size (the holes read as nothing).
std::string Contents(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    const std::uint64_t hash = harness::SparseDataHash(fd);
    const off_t size = fd >= 0 ? ::lseek(fd, 0, SEEK_END) : -1;
    ::close(fd);
    return std::to_string(size) + " " + std::to_string(hash);
}

// One recording: its video in clusters 1 to 9 and its sound in 10 and 11,
// where the sample of a disk of 1151 clusters looks (clusters 1 and 10).
image::RecorderImage RecorderDisk() {
    const Fixture video = LoadFixture("video_e0"), audio = LoadFixture("audio_c0");
    image::RecorderImage img;
    img.clusterBytes = kCluster;
    image::Recording rec;
    rec.clip = "News";
    rec.year = 2026;
    rec.month = 12;
    rec.day = 7;
    rec.firstVCluster = 1;
    rec.firstACluster = 10;
    img.AddRecording(rec);
    img.LinkChain({1, 2, 3, 4, 5, 6, 7, 8, 9});
    img.LinkChain({10, 11});
    img.PlaceChainData({1, 2, 3, 4, 5, 6, 7, 8, 9}, 0, video.bytes);
    img.PlaceChainData({10, 11}, 0, audio.bytes);
    img.SetSize(kDiskBytes);
    return img;
}

// The line of a device in the list, "" when there is none.
std::string LineOf(const std::string& console, const std::string& device) {
    for (const std::string& line : harness::Lines(console)) {
        if (line.rfind(device + " ", 0) == 0)
            return line;
    }
    return "";
}

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

} // namespace

TEST(Disks, TellsEachLoopDeviceWhatItHoldsAndReadsLittleOfIt) {
    harness::TempDir dir;
    const std::string recorder = dir.File("recorder.img"), lost = dir.File("lost.img"),
                      ext = dir.File("ext4.img"), zeros = dir.File("zeros.img");
    image::RecorderImage img = RecorderDisk();
    ASSERT_TRUE(img.Write(recorder));
    img.PlaceBytes(0, std::vector<std::uint8_t>(kDataStartSector * kSectorSize, 0));
    ASSERT_TRUE(img.Write(lost));
    for (const std::string& path : {ext, zeros})
        ASSERT_EQ(Shell("truncate -s 1G '" + path + "' && echo ok"), "ok");
    if (Shell("mkfs.ext4 -q -F '" + ext + "' >/dev/null 2>&1 && echo ok") != "ok")
        GTEST_SKIP() << "mkfs.ext4 is missing (e2fsprogs)";
    const std::vector<std::string> images = {recorder, lost, ext, zeros};
    // Written out first: the hash follows the files' data extents, which the
    // system's write-back of what mkfs left in the cache would change later.
    Shell("sync");
    std::map<std::string, std::string> before;
    for (const std::string& path : images)
        before[path] = Contents(path);
    std::vector<std::unique_ptr<Loop>> loops;
    for (const std::string& path : images) {
        loops.push_back(std::make_unique<Loop>(path));
        if (loops.back()->device.empty())
            GTEST_SKIP() << "loop devices cannot be attached here (losetup -r needs root)";
    }
    const std::string& recorderDev = loops[0]->device;
    const std::string& lostDev = loops[1]->device;

    harness::Run run;
    {
        const harness::Preload preload({{"TARNWELL_READS_BY_FILE", dir.File("reads")}});
        run = harness::RunProgramAs({TARNWELL_SMALL_EXE}, dir.Path(), {"disks"});
    }
    EXPECT_EQ(run.exitCode, 0);
    const std::string holds[] = {
        "recorder disk, 1 recording (2026-12-07 to 2026-12-07)",
        "recorder disk, directory lost: its clusters hold recordings, try tarnwell recover " +
            lostDev,
        "not a recorder disk", "not a recorder disk"};
    std::map<std::string, long> reads;
    std::ifstream in(dir.File("reads"));
    for (std::string line; std::getline(in, line);)
        reads[line.substr(0, line.rfind(' '))] = std::atol(line.c_str() + line.rfind(' '));
    for (std::size_t i = 0; i < images.size(); ++i) {
        SCOPED_TRACE(images[i]);
        const std::string line = LineOf(run.console, loops[i]->device);
        EXPECT_NE(line.find("  loop device of " + images[i] + "  "), std::string::npos) << line;
        EXPECT_TRUE(EndsWith(line, "  " + holds[i])) << line;
        EXPECT_EQ(Contents(images[i]), before[images[i]]);
        EXPECT_GT(reads[loops[i]->device], 0);
        EXPECT_LE(reads[loops[i]->device], 8 << 20);
    }
    const std::vector<std::string> lines = harness::Lines(run.console);
    for (const std::string& command : {"    tarnwell rescue " + recorderDev + " -o DIR",
                                       "    tarnwell recover " + lostDev + " -o DIR"})
        EXPECT_NE(std::find(lines.begin(), lines.end(), command), lines.end()) << command;

    // Without root's rights. The program must be within reach of nobody.
    if (Shell("setpriv --reuid=nobody --regid=nogroup --clear-groups test -x " TARNWELL_SMALL_EXE
              " && echo ok") != "ok")
        GTEST_SKIP() << "the program cannot be run as nobody here";
    const harness::Run user = harness::RunProgramAs(
        {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", TARNWELL_SMALL_EXE},
        dir.Path(), {"disks"});
    EXPECT_EQ(user.exitCode, 0);
    for (const auto& loop : loops)
        EXPECT_TRUE(
            EndsWith(LineOf(user.console, loop->device), "  cannot be opened: Permission denied"));
    const std::vector<std::string> userLines = harness::Lines(user.console);
    EXPECT_EQ(std::count(userLines.begin(), userLines.end(),
                         "opening a disk needs root's rights: run sudo tarnwell disks"),
              1);
}
