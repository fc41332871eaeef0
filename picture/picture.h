// Small pictures of a recording, made from the intra-coded pictures of its
// MPEG-2 (or MPEG-1) video elementary stream, and PNG files of them. This
// subsystem knows MPEG video syntax and nothing of disks or program streams:
// it is handed the video bytes as they are copied. This header is what the
// other subsystems may use of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// One picture of a recording: its time from the recording's first picture,
// and a PNG file of it (8-bit RGB) in the shape it is shown in, its display
// aspect at its own height: a 4:3 picture stored 176 wide is 192 wide.
struct CPictureAt {
    double seconds = 0;
    std::vector<std::uint8_t> png; // empty for a place without a picture
    int width = 0, height = 0;     // of the PNG
};

// Takes pictures from a video elementary stream while it goes by. The stream
// is fed in pieces of any size, as it is copied; start codes may straddle two
// pieces. It follows the sequence headers and extensions and the picture
// headers, counts the pictures to know the time (pictures seen times the frame
// period; it knows no time stamps), and decodes only the intra pictures it
// keeps: one every few seconds (or a twelfth of the length expected), the
// spacing doubling whenever more than a dozen are kept, so that a recording
// of any length costs a few dozen pictures' decoding. The first six groups
// of pictures each give one, so that a short recording has a picture of
// each of its groups. Fed only the bytes it wants, it scans little more than
// those pictures' groups. Each kept picture is a small image, a quarter of
// the picture's size (an eighth for HD, a half below 400 pixels wide), made
// from each block's own coefficients of 4:2:0, 4:2:2 or 4:4:4 chroma, and
// kept as PNG from the moment it is made: a grabber holds at most a dozen
// small PNG files and one picture being decoded, a few hundred kilobytes.
// Damaged data leaves the slices it hits grey; a picture of which less than
// half could be decoded is left out, and the next intra picture taken.
class CPictureGrabber {
  public:
    CPictureGrabber();
    ~CPictureGrabber();
    CPictureGrabber(const CPictureGrabber&) = delete;
    CPictureGrabber& operator=(const CPictureGrabber&) = delete;

    // The next bytes of the stream.
    void Feed(const std::uint8_t* data, std::size_t size);

    // The recording is expected to last about this long (from its header):
    // the first pictures are kept that far apart that a dozen cover it.
    void Expect(double seconds);
    // Whether the bytes of the stream at `seconds` from its first picture
    // (as its time stamps tell) are wanted: not while the next picture to
    // keep is more than a group of pictures ahead. Bytes that are not wanted
    // need not be fed; tell Skipped where the feed goes on.
    bool Wants(double seconds) const;
    // Bytes were left out: those fed next are the stream's at `seconds`,
    // from anywhere in it (the grabber waits for its next start code).
    void Skipped(double seconds);

    // At most `count` of the kept pictures, spread over the length of what
    // was fed, in order of time, each of its own group of pictures: fewer
    // when fewer were kept, none when none could be made. Ends the picture
    // being decoded, so call it once all the stream is fed.
    std::vector<CPictureAt> Pictures(std::size_t count);
    // Why no picture could be made, in one line ("no intra-coded picture
    // survived"); empty when one was. Call it after Pictures.
    std::string WhyNone() const;

    // The length of what was fed so far, in seconds.
    double Seconds() const;

  private:
    class CState;
    std::unique_ptr<CState> State;
};

// A time in the recording as the pictures and the page give it: m:ss, or
// h:mm:ss from an hour on.
std::string TimeText(double seconds);
