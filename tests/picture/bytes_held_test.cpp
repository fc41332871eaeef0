// What the pictures of a recording hold in memory, counted by the program's
// own operator new: the bytes held at most while an hour is fed, and what
// six pictures hold once the grabber is gone.
#include "picture/picture.h"

#include "support/fixtures.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

// Each block carries its size in front of it, in a header that keeps the
// alignment new gives.
constexpr std::size_t kHeader = alignof(std::max_align_t);
std::atomic<std::size_t> gHeld{0};
std::atomic<std::size_t> gMostHeld{0};

void* Allocate(std::size_t size) {
    void* block = std::malloc(size + kHeader);
    if (!block)
        throw std::bad_alloc();
    *static_cast<std::size_t*>(block) = size;
    const std::size_t held = gHeld += size;
    for (std::size_t most = gMostHeld; held > most && !gMostHeld.compare_exchange_weak(most, held);)
        ;
    return static_cast<char*>(block) + kHeader;
}

void Free(void* p) {
    if (!p)
        return;
    void* block = static_cast<char*>(p) - kHeader;
    gHeld -= *static_cast<std::size_t*>(block);
    std::free(block);
}

} // namespace

void* operator new(std::size_t size) {
    return Allocate(size);
}
void* operator new[](std::size_t size) {
    return Allocate(size);
}
void operator delete(void* p) noexcept {
    Free(p);
}
void operator delete[](void* p) noexcept {
    Free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    Free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    Free(p);
}

namespace {

// The most bytes held while `repeats` times the fixture's 18 s of 352x288
// video is fed whole, and the bytes its six pictures hold after the grabber
// is gone.
struct Held {
    std::size_t most, pictures;
};

Held HeldFor(const std::vector<std::uint8_t>& stream, int repeats) {
    const std::size_t before = gHeld;
    std::vector<CPictureAt> pictures;
    gMostHeld = before;
    {
        CPictureGrabber grabber;
        for (int i = 0; i < repeats; ++i)
            grabber.Feed(stream.data(), stream.size());
        pictures = grabber.Pictures(6);
    }
    EXPECT_EQ(pictures.size(), 6u);
    return {gMostHeld - before, gHeld - before};
}

// An hour holds no more than three minutes: at most thirteen small
// pictures, the one being decoded and what the decoder needs, about a MiB,
// whatever the length. Only the six pictures shown become PNG: kept after
// the grabber, they hold less than half the 6 x 192 x 144 x 3 bytes of their
// pixels.
TEST(PictureGrabber, HoldsNoMoreForAnHourThanForMinutes) {
    const std::vector<std::uint8_t> stream = ElementaryStream(LoadFixture("video_e0"));
    const Held minutes = HeldFor(stream, 10);
    const Held hour = HeldFor(stream, 200);
    std::printf("held at most %zu bytes over 3 minutes, %zu over an hour; six pictures hold %zu\n",
                minutes.most, hour.most, hour.pictures);
    EXPECT_LE(hour.most, minutes.most + (std::size_t{64} << 10));
    EXPECT_LT(hour.most, std::size_t{3} << 19);
    EXPECT_LT(hour.pictures, std::size_t{6} * 192 * 144 * 3 / 2);
}

} // namespace
