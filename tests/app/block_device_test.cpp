// A disk that dies while image, rescue and recover read it, as the system
// shows a disk on USB or SATA: an image served by nbdkit as a failing disk,
// read both as the file nbdfuse mounts and as a read-only loop device over
// that file. Each command stops within seconds with status 3, leaves only
// whole files and a map that marks nothing bad it never tried; reconnected,
// the same command finishes with what a healthy disk gives.
#include "image/recorder_image.h"
#include "support/fixtures.h"
#include "support/harness.h"
#include "support/served_disk.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>

namespace {

namespace fs = std::filesystem;

using Files = std::map<std::string, std::vector<std::uint8_t>>;

// Slot 0 "001 - News" (audio in cluster 2, video in 3) and slot 1
// "002 - Film" (audio in 5, video in 6), on a disk of 7 clusters.
struct TwoRecordings {
    harness::TempDir dir;
    std::string path = dir.File("recorder.img");
    TwoRecordings() {
        image::RecorderImage img;
        for (const auto& [no, clip, audio, video] :
             {std::tuple{1, "News", 2, 3}, std::tuple{2, "Film", 5, 6}}) {
            image::Recording rec;
            rec.recordNo = static_cast<std::int8_t>(no);
            rec.clip = clip;
            rec.firstACluster = static_cast<std::int16_t>(audio);
            rec.firstVCluster = static_cast<std::int16_t>(video);
            img.AddRecording(rec);
            img.LinkChain({audio});
            img.LinkChain({video});
            img.PlaceChainData({audio}, 0, LoadFixture("audio_c0").bytes);
            img.PlaceChainData({video}, 0, LoadFixture("video_e0").bytes);
        }
        img.SetSize(image::ClusterOffset(8));
        img.Write(path);
    }
};

// The files a run left in the folder, its logs, page and report aside.
Files Written(const std::string& dir) {
    Files files;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        const std::string name = fs::relative(entry.path(), dir).string();
        const std::string ext = entry.path().extension().string();
        if (entry.is_regular_file() && ext != ".log" && ext != ".html" && ext != ".json" &&
            name.find("index.") == std::string::npos)
            files[name] = harness::ReadFile(entry.path().string());
    }
    return files;
}

// The sectors a map marks with the status, as ddrescuelog lists them.
std::string Sectors(const std::string& dir, const std::string& map, char status) {
    return harness::RunProgramAs({"ddrescuelog"}, dir,
                                 {std::string("--list-blocks=") + status, "-b512", map})
        .console;
}

std::string SectorList(std::uint64_t from, std::uint64_t length) {
    std::string list;
    for (std::uint64_t sector = from / 512; sector < (from + length) / 512; ++sector)
        list += std::to_string(sector) + "\n";
    return list;
}

bool SaysStopped(const harness::Run& run) {
    return run.console.find("the disk stopped answering at byte ") != std::string::npos;
}

} // namespace

TEST(DyingDisk, EveryCommandStopsAndGoesOnAfterTheReconnect) {
    const TwoRecordings disk;
    const std::uint64_t bad = image::ClusterOffset(3) + (1 << 20), badBytes = 8192;
    const std::string faults = "bad=" + std::to_string(bad) + "-" + std::to_string(bad + badBytes) +
                               " bad-delay=0.02 slow=" + std::to_string(image::ClusterOffset(2)) +
                               "-" + std::to_string(image::ClusterOffset(2) + (4 << 20)) +
                               " slow-rate=8000000";
    const struct {
        std::vector<std::string> args;
        std::uint64_t dieAt;    // the first byte whose read finds the disk dead
        int healthyStatus;      // of a run on the disk that does not die
        int rerunStatus;        // of the run after the reconnect
        std::size_t keptOnStop; // files left by the run that stopped
    } cases[] = {
        // Imaging the second recording's video.
        {{"image", "DRIVE", "copy.img"}, image::ClusterOffset(6) + (20 << 20), 2, 2, 0},
        // Rescuing the second recording: the first one's file is whole.
        {{"rescue", "DRIVE", "-o", "out", "--no-index"},
         image::ClusterOffset(6) + (1 << 20),
         2,
         0,
         1},
        // Surveying the clusters: nothing is rescued from a survey cut short.
        {{"recover", "DRIVE", "-o", "out", "--no-index"}, image::ClusterOffset(5), 2, 2, 0},
    };
    for (const auto& c : cases) {
        // The same disk, bad area and all, that does not die.
        const harness::TempDir healthy;
        {
            const harness::ServedDisk sound(disk.path, faults, false);
            if (!sound.up)
                GTEST_SKIP() << sound.why;
            std::vector<std::string> args = c.args;
            args[1] = sound.path;
            ASSERT_EQ(harness::RunProgram(healthy.Path(), args).exitCode, c.healthyStatus);
        }
        for (const bool asBlockDevice : {false, true}) {
            SCOPED_TRACE(c.args[0] + (asBlockDevice ? " on a loop device" : " on the file"));
            const harness::TempDir work;
            std::vector<std::string> args = c.args;
            {
                const harness::ServedDisk dying(
                    disk.path, faults + " die-at=" + std::to_string(c.dieAt), asBlockDevice);
                if (!dying.up)
                    GTEST_SKIP() << dying.why;
                args[1] = dying.path;
                const auto start = std::chrono::steady_clock::now();
                const harness::Run run = harness::RunProgram(work.Path(), args);
                EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
                EXPECT_EQ(run.exitCode, 3) << run.console;
                EXPECT_TRUE(SaysStopped(run)) << run.console;
                if (c.args[0] == "image") {
                    const std::string tried = Sectors(work.Path(), "copy.img.map", '-');
                    EXPECT_EQ(SectorList(bad, badBytes).find(tried), 0u) << tried;
                } else {
                    const Files kept = Written(work.Path());
                    EXPECT_EQ(kept.size(), c.keptOnStop);
                    for (const auto& [name, bytes] : kept)
                        EXPECT_TRUE(bytes == harness::ReadFile(healthy.File(name))) << name;
                }
            }
            const harness::ServedDisk again(disk.path, faults, asBlockDevice);
            ASSERT_TRUE(again.up) << again.why;
            args[1] = again.path;
            const harness::Run rerun = harness::RunProgram(work.Path(), args);
            EXPECT_EQ(rerun.exitCode, c.rerunStatus) << rerun.console;
            if (c.args[0] == "image") {
                EXPECT_EQ(Sectors(work.Path(), "copy.img.map", '-'), SectorList(bad, badBytes));
                EXPECT_EQ(harness::RunProgramAs(
                              {"cmp", "-s", work.File("copy.img"), healthy.File("copy.img")},
                              work.Path(), {})
                              .exitCode,
                          0);
            } else {
                EXPECT_EQ(Written(work.Path()), Written(healthy.Path()));
            }
        }
    }
}
