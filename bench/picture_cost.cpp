// The cost of the pictures: a video elementary stream fed to the picture
// grabber in pieces of 64 KiB, as the rescue copies it, against a plain
// memcpy of the same pieces; the stream is repeated to make a long recording.
// The grabber makes each kept picture's PNG as it goes, so Feed's time holds
// the PNG files' too.
//
//   picture_cost STREAM.m2v [REPEATS]      (default 100)
#include "picture/picture.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

constexpr std::size_t kPiece = 1 << 16;

template <typename F> double Seconds(F&& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: picture_cost STREAM.m2v [REPEATS]\n");
        return 1;
    }
    std::ifstream in(argv[1], std::ios::binary);
    const std::vector<std::uint8_t> stream((std::istreambuf_iterator<char>(in)),
                                           std::istreambuf_iterator<char>());
    const int repeats = argc > 2 ? std::atoi(argv[2]) : 100;
    if (stream.empty() || repeats < 1) {
        std::fprintf(stderr, "picture_cost: no stream in %s\n", argv[1]);
        return 1;
    }
    const double bytes = static_cast<double>(stream.size()) * repeats;

    std::vector<std::uint8_t> copy(kPiece);
    unsigned sum = 0;
    const double copyTime = Seconds([&] {
        for (int r = 0; r < repeats; ++r)
            for (std::size_t at = 0; at < stream.size(); at += kPiece) {
                const std::size_t n = std::min(kPiece, stream.size() - at);
                std::memcpy(copy.data(), stream.data() + at, n);
                sum += copy[n - 1];
            }
    });
    CPictureGrabber grabber;
    std::vector<CPictureAt> pictures;
    const double feedTime = Seconds([&] {
        for (int r = 0; r < repeats; ++r)
            for (std::size_t at = 0; at < stream.size(); at += kPiece)
                grabber.Feed(stream.data() + at, std::min(kPiece, stream.size() - at));
        pictures = grabber.Pictures(6);
    });
    std::size_t pngBytes = 0;
    for (const CPictureAt& picture : pictures)
        pngBytes += picture.png.size();

    std::printf("stream: %.0f MB, %.0f s of video\n", bytes / 1e6, grabber.Seconds());
    std::printf("memcpy: %.3f s, %.0f MB/s (checksum %u)\n", copyTime, bytes / 1e6 / copyTime,
                sum & 1);
    std::printf("Feed:   %.3f s, %.0f MB/s, %.2f times memcpy\n", feedTime, bytes / 1e6 / feedTime,
                feedTime / copyTime);
    std::printf("pictures: %zu, %zu bytes of PNG (made in Feed)\n", pictures.size(), pngBytes);
    return 0;
}
