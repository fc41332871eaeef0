// The report of a run end to end: a recording with an unreadable sector and
// a run of zeros in its video, rescued by the real program; report.json
// against its schema, its hashes against sha256sum, its damage at the times
// of the stream, its drive ranges against the disk, and the page's time line
// in headless Chromium.
#include "image/recorder_image.h"
#include "support/ffmpeg_check.h"
#include "support/fixtures.h"
#include "support/harness.h"
#include "support/page_check.h"
#include "support/ps_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <regex>

namespace {

constexpr uint64_t kZeros = 4 << 20;                // before video packet 200
constexpr std::size_t kZerosAt = 200, kBadAt = 300; // the bad sector in video packet 300

std::string Shell(const std::string& command) {
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe))
            out.append(buffer, n);
        ::pclose(pipe);
    }
    return out;
}

// The payloads of the PES packets of stream `id` in bytes, in order: a
// packet without a length runs to the next start code of the stream.
std::vector<uint8_t> PesPayloads(const std::vector<uint8_t>& bytes, uint8_t id) {
    const std::vector<uint8_t> code = {0, 0, 1, id};
    std::vector<uint8_t> out;
    auto at = std::search(bytes.begin(), bytes.end(), code.begin(), code.end());
    while (at != bytes.end() && bytes.end() - at >= 9) {
        const std::size_t length = std::size_t{at[4]} << 8 | at[5];
        const auto payload = at + 9 + at[8];
        auto end = length > 0 ? std::min(bytes.end(), at + 6 + static_cast<long>(length))
                              : std::search(payload, bytes.end(), code.begin(), code.end());
        if (payload < end)
            out.insert(out.end(), payload, end);
        at = std::search(std::max(end, at + 1), bytes.end(), code.begin(), code.end());
    }
    return out;
}

bool Holds(const std::vector<uint8_t>& haystack, std::vector<uint8_t> needle) {
    return !needle.empty() && std::search(haystack.begin(), haystack.end(), needle.begin(),
                                          needle.end()) != haystack.end();
}

} // namespace

TEST(Report, HashesDamageAtItsTimesAndTheDriveRangesOfARecording) {
    const Fixture video = LoadFixture("video_e0"), audio = LoadFixture("audio_c0");
    std::vector<uint8_t> v = PacketBytes(video, 0, video.packets.size());
    v.insert(v.begin() + static_cast<long>(video.packets[kZerosAt].offset), kZeros, 0);
    image::RecorderImage img;
    image::Recording rec;
    rec.recordNo = 1;
    rec.clip = "Damaged";
    rec.lengthSeconds = 18;
    rec.firstACluster = 1;
    rec.firstVCluster = 2;
    img.AddRecording(rec);
    img.LinkChain({1});
    img.LinkChain({2});
    img.PlaceChainData({1}, 0, audio.bytes);
    img.PlaceChainData({2}, 0, v);
    img.SetSize(image::ClusterOffset(3));
    harness::TempDir dir;
    const std::string disk = dir.File("recorder.img");
    ASSERT_TRUE(img.Write(disk));
    const uint64_t bad =
        (image::ClusterOffset(2) + video.packets[kBadAt].offset + kZeros + 1024) / 512 * 512;
    harness::Run run;
    {
        const harness::Preload faults(
            {{"TARNWELL_BAD_FILE", disk},
             {"TARNWELL_BAD_RANGES", std::to_string(bad) + "-" + std::to_string(bad + 512)}});
        run = harness::RunProgram(dir.Path(), {"rescue", disk});
    }
    ASSERT_EQ(run.exitCode, 2) << run.console;
    const std::string report = dir.File("report.json");

    // The schema, and each hash as sha256sum gives it.
    if (Shell("/usr/bin/python3 -c 'import jsonschema' 2>&1").empty()) {
        EXPECT_EQ(Shell("/usr/bin/python3 -c 'import json, jsonschema, sys; "
                        "jsonschema.validate(json.load(open(sys.argv[1])), "
                        "json.load(open(sys.argv[2])))' '" +
                        report + "' '" TARNWELL_SOURCE_DIR "/docs/report.schema.json' 2>&1"),
                  "");
    }
    const std::vector<uint8_t> text = harness::ReadFile(report);
    const std::string json(text.begin(), text.end());
    const std::string sum = Shell("cd '" + dir.Path() + "' && sha256sum '001 - Damaged.mpg'");
    ASSERT_GE(sum.size(), 64u);
    EXPECT_NE(json.find("\"sha256\": \"" + sum.substr(0, 64) + "\""), std::string::npos);

    // The damage at the times of the stream, within a second, in the report,
    // the run log and the page.
    auto seconds = [&video](std::size_t k) {
        return static_cast<double>(video.packets[k].pts - video.packets[0].pts) / kTimestampClock;
    };
    std::smatch m;
    ASSERT_TRUE(
        std::regex_search(json, m,
                          std::regex("\"kind\": \"unreadable\",\\s*\"stream\": \"video\",\\s*"
                                     "\"drive_from\": (\\d+),\\s*\"drive_to\": (\\d+),\\s*"
                                     "\"from_seconds\": ([0-9.]+)")));
    EXPECT_EQ(std::stoull(m[1]), bad);
    EXPECT_EQ(std::stoull(m[2]), bad + 512);
    EXPECT_NEAR(std::stod(m[3]), seconds(kBadAt), 1.0);
    ASSERT_TRUE(std::regex_search(json, m,
                                  std::regex("\"kind\": \"zeros left out\",[^}]*"
                                             "\"from_seconds\": ([0-9.]+)")));
    EXPECT_NEAR(std::stod(m[1]), seconds(kZerosAt), 1.0);
    const std::string words = "512 bytes could not be read (video, drive bytes " +
                              std::to_string(bad) + " to " + std::to_string(bad + 512) + ")";
    EXPECT_NE(run.log.find(words), std::string::npos);
    const std::vector<uint8_t> page = harness::ReadFile(dir.File("index.html"));
    const std::string html(page.begin(), page.end());
    EXPECT_NE(html.find(words), std::string::npos);
    EXPECT_NE(html.find("<span class=\"unreadable\" style=\"left: "), std::string::npos);
    EXPECT_NE(html.find("<span class=\"zeros\" style=\"left: "), std::string::npos);
    if (ChromiumAvailable() && FfmpegAvailable()) {
        EXPECT_EQ(ScreenshotProblems(dir.File("index.html"), dir.File("page.png")), "");
    }

    // The drive ranges, read in order (the unreadable sector as the file has
    // it, zeros), hold the file's streams.
    const std::vector<uint8_t> drive = harness::ReadFile(disk);
    const ps::Program file = ps::Read(dir.File("001 - Damaged.mpg"));
    ASSERT_EQ(file.error, "");
    const std::regex range("\\[(\\d+), (\\d+)\\]");
    const std::size_t audioAt = json.find("\"stream\": \"audio\",\n          \"drive_ranges\"");
    ASSERT_NE(audioAt, std::string::npos);
    for (const bool isVideo : {true, false}) {
        const std::size_t from = json.find("\"drive_ranges\"", isVideo ? 0 : audioAt);
        const std::string ranges = json.substr(from, json.find(']', json.find("]]", from)) - from);
        std::vector<uint8_t> bytes;
        for (auto it = std::sregex_iterator(ranges.begin(), ranges.end(), range);
             it != std::sregex_iterator(); ++it) {
            const uint64_t a = std::stoull((*it)[1]), b = std::stoull((*it)[2]);
            ASSERT_LE(b, drive.size());
            bytes.insert(bytes.end(), drive.begin() + static_cast<long>(a),
                         drive.begin() + static_cast<long>(b));
            if (bad >= a && bad + 512 <= b)
                std::fill_n(bytes.end() - static_cast<long>(b - bad), 512, 0);
        }
        std::vector<uint8_t> es = file.streams.at(isVideo ? 0xE0 : 0xC0).payload;
        if (isVideo)
            es.resize(es.size() - 4); // the sequence end code the file closes with
        EXPECT_TRUE(Holds(ZeroRunsLeftOut(PesPayloads(bytes, isVideo ? 0xE0 : 0xC0)), es))
            << (isVideo ? "video" : "audio");
    }
}

// report.json is valid UTF-8 whatever bytes a path holds: an output folder
// named with a surrogate's bytes (ED A0 80) and a stray continuation byte.
TEST(Report, StaysValidUtf8ForAnyBytesOfAPath) {
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
    const harness::TempDir dir;
    ASSERT_TRUE(img.Write(dir.File("recorder.img")));
    const std::string folder = "out \xED\xA0\x80 \x80";
    const harness::Run run =
        harness::RunProgram(dir.Path(), {"rescue", "recorder.img", "-o", folder});
    ASSERT_EQ(run.exitCode, 0) << run.console;
    EXPECT_EQ(
        Shell("/usr/bin/python3 -c 'import json, sys; "
              "json.loads(open(sys.argv[1], \"rb\").read().decode(\"utf-8\", \"strict\"))' '" +
              dir.File(folder + "/report.json") + "' 2>&1"),
        "");
}
