// The pictures of a recording: against ffmpeg's decode of the same pictures,
// on damaged data, over a long recording, and as PNG files.
#include "picture/mpeg_tables.h"
#include "picture/picture.h"

#include "support/ffmpeg_check.h"
#include "support/fixtures.h"
#include "support/harness.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>

namespace {

using Bytes = std::vector<std::uint8_t>;

// What a command writes to its standard output.
Bytes Output(const std::string& command) {
    Bytes out;
#ifndef _WIN32
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return out;
    std::uint8_t buffer[1 << 16];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        out.insert(out.end(), buffer, buffer + n);
    pclose(pipe);
#else
    (void)command;
#endif
    return out;
}

// The stream fed in pieces of 1 to 997 bytes, so that start codes fall
// across pieces everywhere.
std::vector<CPictureAt> PicturesOf(const Bytes& stream, std::size_t count, bool inPieces = true) {
    CPictureGrabber grabber;
    for (std::size_t at = 0, step = 1; at < stream.size(); at += step, step = step * 7 % 997 + 1) {
        if (!inPieces)
            step = stream.size();
        grabber.Feed(stream.data() + at, std::min(step, stream.size() - at));
    }
    return grabber.Pictures(count);
}

// The luminance of a pixel of the image (BT.601, limited range).
double Luma(const CImage& image, int x, int y) {
    const std::uint8_t* p = image.rgb.data() + (static_cast<std::size_t>(y) * image.width + x) * 3;
    return 16 + (65.481 * p[0] + 128.553 * p[1] + 24.966 * p[2]) / 255;
}

bool Grey(const CImage& image, int x, int y) {
    const std::uint8_t* p = image.rgb.data() + (static_cast<std::size_t>(y) * image.width + x) * 3;
    return p[0] == 130 && p[1] == 130 && p[2] == 130;
}

struct Source {
    const char* name;
    const char* ffmpegArgs; // an encoding of testsrc2 by ffmpeg; none: the video fixture
    int width, height;      // of the pictures
    int scale;              // pixels of the picture a pixel of the small image spans, each way
    int made;               // pictures made of the six: one a second at first
};

// MPEG-2 progressive (the fixture, a half), interlaced SD with field DCT,
// alternate scan, table B.15, the non-linear quantiser, 10-bit DC and a
// loaded intra matrix (a quarter), HD (an eighth), and MPEG-1.
const Source kSources[] = {
    {"fixture 352x288", nullptr, 352, 288, 2, 6},
    {"interlaced 720x576",
     "-vf scale=720:576,tinterlace=mode=interleave_top -t 2 -c:v mpeg2video -flags +ildct+ilme "
     "-top 1 -alternate_scan 1 "
     "-intra_vlc 1 -non_linear_quant 1 -qmax 28 -dc 10 -b:v 4M -g 12 -bf 2 -intra_matrix "
     "8,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,"
     "16,16,20,20,20,20,20,20,20,20,20,20,20,20,20,20,20,20,24,24,24,24,24,24,24,24,24,24,24,24,"
     "24,24,24,24",
     720, 576, 4, 2},
    {"HD 1920x1080", "-s 1920x1080 -r 25 -t 1 -c:v mpeg2video -b:v 15M -g 12 -bf 2", 1920, 1080, 8,
     1},
    {"MPEG-1 352x288", "-s 352x288 -r 25 -t 2 -c:v mpeg1video -b:v 1500k -g 12 -bf 2", 352, 288, 2,
     2},
};

void PrintTo(const Source& source, std::ostream* out) {
    *out << source.name;
}

class PictureAgainstFfmpeg : public testing::TestWithParam<Source> {};

// Each picture against ffmpeg's decode of the same picture, averaged over
// the same boxes: PSNR of the luminance of at least 28 dB. The time of each
// picture is its place in display order, so ffmpeg's picture there is the one.
TEST_P(PictureAgainstFfmpeg, LooksLikeTheDecodedPicture) {
    if (!FfmpegAvailable())
        GTEST_SKIP() << "ffmpeg is not installed";
    const Source& source = GetParam();
    harness::TempDir dir;
    const std::string file = dir.File("video.m2v");
    Bytes stream;
    if (source.ffmpegArgs) {
        Output("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=s=1920x1080:r=50 " +
               std::string(source.ffmpegArgs) + " -f mpeg2video " + ShellQuote(file));
        stream = harness::ReadFile(file);
    } else {
        stream = ElementaryStream(LoadFixture("video_e0"));
        harness::WriteFile(file, stream);
    }
    ASSERT_FALSE(stream.empty());
    const std::vector<CPictureAt> pictures = PicturesOf(stream, 6);
    ASSERT_EQ(pictures.size(), 6u);

    // The pictures do not depend on where the stream is cut into pieces.
    const std::vector<CPictureAt> whole = PicturesOf(stream, 6, false);
    for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(pictures[i].seconds, whole[i].seconds);
        EXPECT_EQ(pictures[i].image.rgb, whole[i].image.rgb);
    }

    // ffmpeg's pictures, in display order, as planar 4:2:0.
    const Bytes decoded = Output("ffmpeg -nostdin -v error -i " + ShellQuote("file:" + file) +
                                 " -vsync passthrough -f rawvideo -pix_fmt yuv420p pipe:1");
    const CImage& first = pictures[0].image;
    ASSERT_FALSE(first.Empty());
    const int scale = source.scale;
    const int width = source.width;
    const int height = source.height;
    EXPECT_EQ(first.width, width / scale);
    EXPECT_EQ(first.height, height / scale);
    const std::size_t frameBytes = static_cast<std::size_t>(width) * height * 3 / 2;
    int made = 0;
    for (const CPictureAt& picture : pictures) {
        if (picture.image.Empty())
            continue;
        ++made;
        const std::size_t frame = static_cast<std::size_t>(std::lround(picture.seconds * 25));
        ASSERT_LE((frame + 1) * frameBytes, decoded.size()) << picture.seconds;
        const std::uint8_t* y = decoded.data() + frame * frameBytes;
        double squares = 0;
        for (int row = 0; row < picture.image.height; ++row)
            for (int col = 0; col < picture.image.width; ++col) {
                double sum = 0;
                for (int i = 0; i < scale; ++i)
                    for (int j = 0; j < scale; ++j)
                        sum +=
                            y[static_cast<std::size_t>(row * scale + i) * width + col * scale + j];
                const double error = sum / (scale * scale) - Luma(picture.image, col, row);
                squares += error * error;
            }
        const double mse = squares / (picture.image.width * picture.image.height);
        const double psnr = 10 * std::log10(255.0 * 255.0 / mse);
        std::printf("PSNR %s, picture at %.2f s: %.1f dB\n", source.name, picture.seconds, psnr);
        EXPECT_GE(psnr, 28.0) << source.name << " at " << picture.seconds << " s";
    }
    EXPECT_EQ(made, source.made);
}

INSTANTIATE_TEST_SUITE_P(Sources, PictureAgainstFfmpeg, testing::ValuesIn(kSources));

// The first intra picture of the fixture alone (its sequence header, GOP and
// picture), damaged in the ways a disk damages a recording.
struct Damage {
    const char* name;
    void (*apply)(Bytes& stream);
    bool partlyGrey; // the picture stands with grey macroblocks; otherwise none is made
};

const Damage kDamages[] = {
    {"the last third cut off", [](Bytes& s) { s.resize(s.size() * 2 / 3); }, true},
    {"a sector of ones in the middle",
     [](Bytes& s) { std::fill(s.begin() + 6000, s.begin() + 6512, 0xFF); }, true},
    {"a sector of zeros in the middle",
     [](Bytes& s) { std::fill(s.begin() + 6000, s.begin() + 6512, 0x00); }, true},
    {"all but the first quarter cut off", [](Bytes& s) { s.resize(s.size() / 4); }, false},
    {"zeros after the headers", [](Bytes& s) { std::fill(s.begin() + 120, s.end(), 0); }, false},
    {"a picture of 4095 x 4095", [](Bytes& s) { s[4] = s[5] = s[6] = 0xFF; }, false},
    {"slices of random bytes",
     [](Bytes& s) {
         std::uint32_t x = 1;
         for (std::size_t i = 200; i < s.size(); ++i)
             s[i] = static_cast<std::uint8_t>((x = x * 1103515245 + 12345) >> 16);
     },
     false},
};

void PrintTo(const Damage& damage, std::ostream* out) {
    *out << damage.name;
}

class DamagedPicture : public testing::TestWithParam<Damage> {};

TEST_P(DamagedPicture, LeavesGreyOrNoPicture) {
    const Fixture video = LoadFixture("video_e0");
    Bytes stream = Payload(video, 0);
    const CImage clean = PicturesOf(stream, 1)[0].image;
    ASSERT_FALSE(clean.Empty());
    GetParam().apply(stream);
    const std::vector<CPictureAt> pictures = PicturesOf(stream, 1);
    ASSERT_EQ(pictures.size(), 1u);
    const CImage& image = pictures[0].image;
    if (!GetParam().partlyGrey) {
        EXPECT_TRUE(image.Empty());
        return;
    }
    ASSERT_FALSE(image.Empty());
    EXPECT_NE(image.rgb, clean.rgb);
    EXPECT_FALSE(Grey(image, 0, 0));
    bool grey = false;
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x)
            grey = grey || Grey(image, x, y);
    EXPECT_TRUE(grey);
}

INSTANTIATE_TEST_SUITE_P(Damages, DamagedPicture, testing::ValuesIn(kDamages));

// An hour of the fixture over and over: six pictures spread over the hour,
// as the spacing of the kept ones doubles; or, with the hour expected and
// only the bytes it wants fed (at the time of their place), from a tenth of
// the stream.
TEST(PictureGrabber, SpreadsSixPicturesOverAnHour) {
    const Bytes stream = ElementaryStream(LoadFixture("video_e0"));
    for (const bool wanted : {false, true}) {
        SCOPED_TRACE(wanted ? "fed what it wants" : "fed all");
        CPictureGrabber grabber;
        std::size_t fed = 0;
        bool skipped = false;
        if (wanted)
            grabber.Expect(3600);
        for (int i = 0; i < 200; ++i) {
            for (std::size_t at = 0; at < stream.size(); at += 65536) {
                const std::size_t n = std::min<std::size_t>(65536, stream.size() - at);
                const double now =
                    18.0 * (i + static_cast<double>(at) / static_cast<double>(stream.size()));
                if (wanted && !grabber.Wants(now)) {
                    skipped = true;
                    continue;
                }
                if (skipped)
                    grabber.Skipped(now);
                skipped = false;
                grabber.Feed(stream.data() + at, n);
                fed += n;
            }
        }
        if (wanted) {
            grabber.Skipped(3600);
            EXPECT_LT(fed, stream.size() * 20);
        }
        EXPECT_NEAR(grabber.Seconds(), 3600, 1e-6);
        const std::vector<CPictureAt> pictures = grabber.Pictures(6);
        ASSERT_EQ(pictures.size(), 6u);
        for (std::size_t i = 0; i < 6; ++i) {
            EXPECT_FALSE(pictures[i].image.Empty());
            // Each near its sixth of the hour, its spacing at most 512 s.
            EXPECT_NEAR(pictures[i].seconds, 300 + 600 * static_cast<double>(i), 256) << i;
        }
    }
    // With none to show, the places keep their times.
    CPictureGrabber empty;
    const std::vector<CPictureAt> none = empty.Pictures(2);
    EXPECT_TRUE(none[0].image.Empty() && none[1].image.Empty());
}

// The PNG file decodes to the image's own pixels.
TEST(Png, DecodesToTheImage) {
    const std::vector<CPictureAt> pictures = PicturesOf(Payload(LoadFixture("video_e0"), 0), 1);
    const CImage& image = pictures[0].image;
    const Bytes png = EncodePng(image);
    ASSERT_GT(png.size(), 8u);
    EXPECT_TRUE(EncodePng(CImage{}).empty());
    if (!FfmpegAvailable())
        GTEST_SKIP() << "ffmpeg is not installed";
    harness::TempDir dir;
    const std::string file = dir.File("picture.png");
    ASSERT_TRUE(harness::WriteFile(file, png));
    // ffmpeg checks the CRCs and stops at a bad one.
    const Bytes size = Output("ffprobe -v error -show_entries stream=width,height -of csv=p=0 " +
                              ShellQuote("file:" + file));
    EXPECT_EQ(std::string(size.begin(), size.end()), "176,144\n");
    EXPECT_EQ(Output("ffmpeg -nostdin -v error -err_detect crccheck -i " +
                     ShellQuote("file:" + file) + " -f rawvideo -pix_fmt rgb24 pipe:1"),
              image.rgb);
}

// Every table is prefix-free: no code is the front of another.
TEST(MpegTables, NoCodeBeginsAnother) {
    const CVlcTable* tables[] = {
        &kMacroblockAddressIncrement, &kMacroblockTypeI,      &kMotionCode,
        &kDctDcSizeLuminance,         &kDctDcSizeChrominance, &kDctCoefficientsZero,
        &kDctCoefficientsOne};
    for (const CVlcTable* table : tables) {
        std::vector<std::string> codes;
        for (const VlcCode& code : *table) {
            codes.emplace_back(code.bits);
            codes.back().erase(std::remove(codes.back().begin(), codes.back().end(), ' '),
                               codes.back().end());
        }
        for (const std::string& a : codes)
            for (const std::string& b : codes)
                EXPECT_TRUE(&a == &b || b.compare(0, a.size(), a) != 0) << a << " " << b;
    }
}

} // namespace
