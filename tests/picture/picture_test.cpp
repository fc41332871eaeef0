// The pictures of a recording: against ffmpeg's decode of the same pictures,
// on damaged data, over a long recording, and as PNG files.
#include "picture/image.h"
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

// The picture's PNG as ffmpeg decodes it.
CImage Decoded(const CPictureAt& picture) {
    CImage image;
    harness::TempDir dir;
    const std::string file = dir.File("picture.png");
    if (!FfmpegAvailable() || !harness::WriteFile(file, picture.png))
        return image;
    image.rgb = Output("ffmpeg -nostdin -v error -err_detect crccheck -i " +
                       ShellQuote("file:" + file) + " -f rawvideo -pix_fmt rgb24 pipe:1");
    image.width = picture.width;
    image.height = picture.height;
    return image;
}

// Y, Cb or Cr of a pixel of the image (BT.601, limited range).
double Component(const CImage& image, int c, int x, int y) {
    const std::uint8_t* p = image.rgb.data() + (static_cast<std::size_t>(y) * image.width + x) * 3;
    static const double kRows[3][4] = {{16, 65.481, 128.553, 24.966},
                                       {128, -37.797, -74.203, 112.0},
                                       {128, 112.0, -93.786, -18.214}};
    const double* k = kRows[c];
    return k[0] + (k[1] * p[0] + k[2] * p[1] + k[3] * p[2]) / 255;
}

// The mean of a plane of w x h over what pixel (x, y) of an image of
// width x height covers of it.
double BoxMean(const std::uint8_t* plane, int w, int h, int x, int y, int width, int height) {
    const int x0 = x * w / width, x1 = std::max(x0 + 1, (x + 1) * w / width);
    const int y0 = y * h / height, y1 = std::max(y0 + 1, (y + 1) * h / height);
    double sum = 0;
    for (int i = y0; i < y1; ++i)
        for (int j = x0; j < x1; ++j)
            sum += plane[static_cast<std::size_t>(i) * w + j];
    return sum / ((x1 - x0) * (y1 - y0));
}

bool Grey(const CImage& image, int x, int y) {
    const std::uint8_t* p = image.rgb.data() + (static_cast<std::size_t>(y) * image.width + x) * 3;
    return p[0] == 130 && p[1] == 130 && p[2] == 130;
}

struct Source {
    const char* name;
    const char* ffmpegArgs; // an encoding of testsrc2 by ffmpeg; none: the video fixture
    int width, height;      // of the pictures
    int shownWidth;         // of the small image in its display shape
    int scale;              // pixels of the picture a pixel of the small image spans, down
    const char* chroma;     // ffmpeg's pix_fmt: yuv420p or yuv422p
    int groups;             // groups of pictures, each of which gives one of the six
};

// MPEG-2 progressive (the fixture, a half, shown 4:3), interlaced SD with
// field DCT, alternate scan, table B.15, the non-linear quantiser, 10-bit DC
// and a loaded intra matrix (a quarter), HD (an eighth), and MPEG-1; 4:2:2
// chroma, in HD and in interlaced SD with field DCT and loaded matrices of
// luma and chroma. Those of one or two seconds have fewer than six groups.
const Source kSources[] = {
    {"fixture 352x288", nullptr, 352, 288, 192, 2, "yuv420p", 6},
    {"interlaced 720x576",
     "-vf scale=720:576,tinterlace=mode=interleave_top -t 2 -c:v mpeg2video -flags +ildct+ilme "
     "-top 1 -alternate_scan 1 "
     "-intra_vlc 1 -non_linear_quant 1 -qmax 28 -dc 10 -b:v 4M -g 12 -bf 2 -intra_matrix "
     "8,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,"
     "16,16,20,20,20,20,20,20,20,20,20,20,20,20,20,20,20,20,24,24,24,24,24,24,24,24,24,24,24,24,"
     "24,24,24,24",
     720, 576, 256, 4, "yuv420p", 5},
    {"HD 1920x1080", "-s 1920x1080 -r 25 -t 1 -c:v mpeg2video -b:v 15M -g 12 -bf 2", 1920, 1080,
     240, 8, "yuv420p", 3},
    {"MPEG-1 352x288", "-s 352x288 -r 25 -t 2 -c:v mpeg1video -b:v 1500k -g 12 -bf 2", 352, 288,
     176, 2, "yuv420p", 5},
    {"HD 4:2:2 1920x1080",
     "-s 1920x1080 -r 25 -t 1 -c:v mpeg2video -pix_fmt yuv422p -b:v 25M -g 12 -bf 2", 1920, 1080,
     240, 8, "yuv422p", 3},
    {"interlaced 4:2:2 720x576",
     "-vf scale=720:576,tinterlace=mode=interleave_top -t 2 -c:v mpeg2video -pix_fmt yuv422p "
     "-flags +ildct+ilme -top 1 -b:v 8M -g 12 -bf 2 -intra_matrix "
     "8,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,"
     "16,16,20,20,20,20,20,20,20,20,20,20,20,20,20,20,20,20,24,24,24,24,24,24,24,24,24,24,24,24,"
     "24,24,24,24 -chroma_intra_matrix "
     "8,24,24,24,24,24,24,24,24,24,24,24,24,24,24,24,24,24,24,24,24,24,24,24,24,24,24,24,24,24,"
     "24,24,32,32,32,32,32,32,32,32,32,32,32,32,32,32,32,32,40,40,40,40,40,40,40,40,40,40,40,40,"
     "40,40,40,40",
     720, 576, 256, 4, "yuv422p", 5},
};

void PrintTo(const Source& source, std::ostream* out) {
    *out << source.name;
}

class PictureAgainstFfmpeg : public testing::TestWithParam<Source> {};

// Each picture against ffmpeg's decode of the same picture, averaged over
// the same boxes: PSNR of luminance and of each chroma component of at least
// 28 dB. The time of each
// picture is its place in display order, so ffmpeg's picture there is the
// one. A picture of each group, up to six, in order of time.
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
    ASSERT_EQ(pictures.size(), static_cast<std::size_t>(std::min(source.groups, 6)));

    // The pictures do not depend on where the stream is cut into pieces.
    const std::vector<CPictureAt> whole = PicturesOf(stream, 6, false);
    ASSERT_EQ(whole.size(), pictures.size());
    for (std::size_t i = 0; i < pictures.size(); ++i) {
        EXPECT_EQ(pictures[i].seconds, whole[i].seconds);
        EXPECT_EQ(pictures[i].png, whole[i].png);
        EXPECT_TRUE(i == 0 || pictures[i].seconds > pictures[i - 1].seconds) << i;
    }

    // ffmpeg's pictures, in display order, in their own chroma format.
    const Bytes decoded =
        Output("ffmpeg -nostdin -v error -i " + ShellQuote("file:" + file) +
               " -vsync passthrough -f rawvideo -pix_fmt " + source.chroma + " pipe:1");
    const int width = source.width;
    const int height = source.height;
    const int chromaHeight = std::string(source.chroma) == "yuv422p" ? height : height / 2;
    const std::size_t frameBytes =
        static_cast<std::size_t>(width) * height + static_cast<std::size_t>(width) * chromaHeight;
    for (const CPictureAt& picture : pictures) {
        EXPECT_EQ(picture.width, source.shownWidth);
        EXPECT_EQ(picture.height, height / source.scale);
        const CImage image = Decoded(picture);
        ASSERT_EQ(image.rgb.size(), static_cast<std::size_t>(image.width) * image.height * 3);
        const std::size_t frame = static_cast<std::size_t>(std::lround(picture.seconds * 25));
        ASSERT_LE((frame + 1) * frameBytes, decoded.size()) << picture.seconds;
        const std::uint8_t* planes[3] = {decoded.data() + frame * frameBytes, nullptr, nullptr};
        planes[1] = planes[0] + static_cast<std::size_t>(width) * height;
        planes[2] = planes[1] + static_cast<std::size_t>(width / 2) * chromaHeight;
        for (int c = 0; c < 3; ++c) {
            const int w = c == 0 ? width : width / 2;
            const int h = c == 0 ? height : chromaHeight;
            // A box of the small image's chroma spans two pixels across, and
            // two down in 4:2:0: each is compared whole.
            const int across = c == 0 ? 1 : 2, down = c == 0 || h == height ? 1 : 2;
            const int boxesWide = image.width / across, boxesHigh = image.height / down;
            double squares = 0;
            for (int row = 0; row < boxesHigh; ++row)
                for (int col = 0; col < boxesWide; ++col) {
                    double ours = 0;
                    for (int i = 0; i < down; ++i)
                        for (int j = 0; j < across; ++j)
                            ours += Component(image, c, col * across + j, row * down + i);
                    const double error = BoxMean(planes[c], w, h, col, row, boxesWide, boxesHigh) -
                                         ours / (across * down);
                    squares += error * error;
                }
            const double mse = squares / (boxesWide * boxesHigh);
            const double psnr = 10 * std::log10(255.0 * 255.0 / mse);
            std::printf("PSNR %s, picture at %.2f s, %s: %.1f dB\n", source.name, picture.seconds,
                        c == 0   ? "Y"
                        : c == 1 ? "Cb"
                                 : "Cr",
                        psnr);
            EXPECT_GE(psnr, 28.0) << source.name << " at " << picture.seconds << " s, " << c;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sources, PictureAgainstFfmpeg, testing::ValuesIn(kSources));

// The first intra picture of the fixture alone (its sequence header, GOP and
// picture), damaged in the ways a disk damages a recording: the picture
// stands with grey macroblocks, or none is made, for the reason given.
struct Damage {
    const char* name;
    void (*apply)(Bytes& stream);
    const char* whyNone; // empty: the picture stands, partly grey
};

const Damage kDamages[] = {
    {"the last third cut off", [](Bytes& s) { s.resize(s.size() * 2 / 3); }, ""},
    {"a sector of ones in the middle",
     [](Bytes& s) { std::fill(s.begin() + 6000, s.begin() + 6512, 0xFF); }, ""},
    {"a sector of zeros in the middle",
     [](Bytes& s) { std::fill(s.begin() + 6000, s.begin() + 6512, 0x00); }, ""},
    {"all but the first quarter cut off", [](Bytes& s) { s.resize(s.size() / 4); },
     "the video could not be decoded at 0:00"},
    {"that twice",
     [](Bytes& s) {
         s.resize(s.size() / 4);
         s.insert(s.end(), s.begin(), s.end());
     },
     "no intra-coded picture survived"},
    {"zeros after the headers", [](Bytes& s) { std::fill(s.begin() + 120, s.end(), 0); },
     "the video could not be decoded at 0:00"},
    {"a picture of 4095 x 4095", [](Bytes& s) { s[4] = s[5] = s[6] = 0xFF; },
     "its pictures of 4095x4095 are too large to decode"},
    {"slices of random bytes",
     [](Bytes& s) {
         std::uint32_t x = 1;
         for (std::size_t i = 200; i < s.size(); ++i)
             s[i] = static_cast<std::uint8_t>((x = x * 1103515245 + 12345) >> 16);
     },
     "the video could not be decoded at 0:00"},
    {"no sequence header", [](Bytes& s) { s[3] = 0xB2; },
     "no sequence header was found in the video"},
    {"nothing", [](Bytes& s) { s.clear(); }, "the recording has no video"},
};

void PrintTo(const Damage& damage, std::ostream* out) {
    *out << damage.name;
}

class DamagedPicture : public testing::TestWithParam<Damage> {};

TEST_P(DamagedPicture, LeavesGreyOrNoPicture) {
    const Fixture video = LoadFixture("video_e0");
    Bytes stream = Payload(video, 0);
    const std::vector<CPictureAt> clean = PicturesOf(stream, 1);
    ASSERT_EQ(clean.size(), 1u);
    GetParam().apply(stream);
    CPictureGrabber grabber;
    grabber.Feed(stream.data(), stream.size());
    const std::vector<CPictureAt> pictures = grabber.Pictures(1);
    EXPECT_EQ(grabber.WhyNone(), GetParam().whyNone);
    if (*GetParam().whyNone) {
        EXPECT_TRUE(pictures.empty());
        return;
    }
    ASSERT_EQ(pictures.size(), 1u);
    EXPECT_NE(pictures[0].png, clean[0].png);
    if (!FfmpegAvailable())
        GTEST_SKIP() << "ffmpeg is not installed";
    const CImage image = Decoded(pictures[0]);
    ASSERT_EQ(image.rgb.size(), static_cast<std::size_t>(image.width) * image.height * 3);
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
            EXPECT_FALSE(pictures[i].png.empty());
            // Each near its sixth of the hour, its spacing at most 512 s.
            EXPECT_NEAR(pictures[i].seconds, 300 + 600 * static_cast<double>(i), 256) << i;
        }
    }
}

// The PNG file decodes to the image's own pixels: an image of smooth runs,
// edges and noise, on which each of the five filters is the best of some
// rows.
TEST(Png, DecodesToTheImage) {
    CImage image;
    image.width = 176;
    image.height = 144;
    std::uint32_t noise = 1;
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x)
            for (int c = 0; c < 3; ++c)
                image.rgb.push_back(
                    static_cast<std::uint8_t>(y < 36    ? x * c
                                              : y < 72  ? (x / 16 + y / 16) % 2 * 200
                                              : y < 108 ? (noise = noise * 1103515245 + 12345) >> 24
                                                        : x + y * c));
    CPictureAt picture;
    picture.png = EncodePng(image);
    picture.width = image.width;
    picture.height = image.height;
    ASSERT_GT(picture.png.size(), 8u);
    EXPECT_TRUE(EncodePng(CImage{}).empty());
    if (!FfmpegAvailable())
        GTEST_SKIP() << "ffmpeg is not installed";
    // ffmpeg checks the CRCs and stops at a bad one.
    EXPECT_EQ(Decoded(picture).rgb, image.rgb);
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
