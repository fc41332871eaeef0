// The audio of the recording, read back from the file the rescue ripped it
// into, frame by frame, for the program-stream writer.
#include "rip/rescue_parts.h"

#include <algorithm>

namespace {

constexpr std::uint32_t kReadBytes = 1 << 16;

} // namespace

CAudioFeeder::CAudioFeeder(const std::string& name, const AudioFormat& format)
    : Format(format), Buffer(kReadBytes) {
    PlatOpenRead(name, Handle);
    Refill();
}

CAudioFeeder::~CAudioFeeder() {
    PlatClose(Handle);
}

std::uint32_t CAudioFeeder::BitRate() const {
    AudioFrameInfo frame;
    if (!Format.parse(Buffer.data(), End, frame) || frame.samples == 0)
        return 0;
    return static_cast<std::uint32_t>(std::uint64_t{frame.bytes} * 8 * frame.sampleRate /
                                      frame.samples);
}

void CAudioFeeder::FeedUntil(CProgramStreamWriter& writer, std::int64_t first, std::int64_t until) {
    while (!Ended) {
        if (End - Pos < Format.headerBytes)
            Refill();
        if (Pos == End) {
            writer.End(CProgramStreamWriter::kAudio);
            Ended = true;
            return;
        }
        if (Offset == NextFrame) {
            AudioFrameInfo frame;
            if (Format.parse(&Buffer[Pos], End - Pos, frame) && frame.sampleRate != 0) {
                if (frame.sampleRate != Rate) {
                    Before += Since * kPtsPerSecond / std::max<std::uint32_t>(Rate, 1);
                    Since = 0;
                    Rate = frame.sampleRate;
                }
                const std::int64_t pts = first + Before + Since * kPtsPerSecond / Rate;
                if (pts >= until)
                    return;
                writer.Stamp(CProgramStreamWriter::kAudio, Offset, pts, pts);
                Last = pts;
                Since += frame.samples;
                NextFrame = Offset + frame.bytes;
            } else {
                NextFrame = Offset + 1; // no frame here: look at the next byte
            }
        }
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(End - Pos, NextFrame - Offset));
        writer.Write(CProgramStreamWriter::kAudio, &Buffer[Pos], n);
        Pos += n;
        Offset += n;
    }
}

void CAudioFeeder::Refill() {
    std::copy(Buffer.begin() + static_cast<long>(Pos), Buffer.begin() + static_cast<long>(End),
              Buffer.begin());
    End -= Pos;
    Pos = 0;
    std::uint32_t got = 0;
    if (PlatRead(Handle, &Buffer[End], static_cast<std::uint32_t>(Buffer.size() - End), got) ==
        ReadOutcome::Ok)
        End += got;
}
