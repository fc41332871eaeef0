// Copying an MPEG audio or AC-3 stream between two time stamps, bridging lost
// packets with repeated audio and following wraps of the time stamp.
#include "drive/drive.h"
#include "extract/extract.h"
#include "output/output.h"
#include "platform/runlog.h"
#include "reader/reader.h"

#include <algorithm>
#include <iostream>

namespace {

// The payload follows the header: PES_packet_length counts the two flag bytes
// and the header-data-length byte as well as the header data. Worked out in
// 32 bits unsigned, as is its length in bits.
std::uint32_t PayloadLength(const CPESHeader& header) {
    return static_cast<std::uint32_t>(header.GetPacketLength() - header.GetHeaderDataLength() - 3);
}

std::uint64_t PacketEnd(std::uint64_t payloadPos, std::uint32_t payloadLength) {
    return payloadPos + static_cast<std::uint32_t>(payloadLength * 8u);
}

// Where a whole frame lies in a payload.
struct FrameSpan {
    std::size_t offset;
    std::size_t bytes;
};

// The frames of a payload: the whole ones in order, and how many begin in it
// (a last frame cut short by the end of the payload counts as begun).
struct PayloadFrames {
    std::vector<FrameSpan> whole;
    std::int64_t begun = 0;
    AudioFrameInfo first;
};

// Whether a frame fits at pos, followed by the end of the payload, by too
// few bytes to tell, or by another frame: a sync word inside audio data
// seldom describes a frame that ends on the next one.
bool IsFrameAt(const std::vector<std::uint8_t>& bytes, std::size_t pos, const AudioFormat& format) {
    AudioFrameInfo frame, next;
    if (!format.parse(&bytes[pos], bytes.size() - pos, frame))
        return false;
    const std::size_t after = pos + frame.bytes;
    return after + format.headerBytes > bytes.size() ||
           format.parse(&bytes[after], bytes.size() - after, next);
}

// Walks from the first frame header of the payload from header to header,
// each frame's length taken from its own header, until a header does not
// parse or a frame runs past the end.
PayloadFrames FindFrames(const std::vector<std::uint8_t>& bytes, const AudioFormat& format) {
    PayloadFrames frames;
    std::size_t pos = 0;
    while (pos < bytes.size() && !IsFrameAt(bytes, pos, format))
        ++pos;
    AudioFrameInfo frame;
    while (pos < bytes.size() && format.parse(&bytes[pos], bytes.size() - pos, frame)) {
        if (frames.begun++ == 0)
            frames.first = frame;
        if (frame.bytes > bytes.size() - pos)
            break;
        frames.whole.push_back({pos, frame.bytes});
        pos += frame.bytes;
    }
    return frames;
}

// round-half-up(ptsDiff / frame duration), the duration being the frame's
// samples at its sampling frequency in 90 kHz ticks; in whole numbers, as
// 44.1 kHz frames last no whole number of ticks. Nothing for no difference.
std::int64_t FramesIn(std::int32_t ptsDiff, const AudioFrameInfo& frame) {
    if (ptsDiff <= 0)
        return 0;
    const std::int64_t frameTicks = std::int64_t{frame.samples} * kPtsPerSecond;
    return (2 * std::int64_t{ptsDiff} * frame.sampleRate + frameTicks) / (2 * frameTicks);
}

} // namespace

bool CPVRFile::EndsAfter(CClusterReader& reader, const CPESHeader& header, int streamId) {
    if (EndRule == nullptr)
        return false;
    const std::uint64_t payloadPos = reader.GetBitPos();
    const std::uint64_t end = PacketEnd(payloadPos, PayloadLength(header));
    reader.SeekBit(end);
    const bool ends =
        !IsPESPacketAt(reader, streamId) && EndRule->EndsAt(reader, end / 8, streamId);
    reader.SeekBit(payloadPos);
    return ends;
}

void CPVRFile::RipPrivateStream(CClusterReader& reader, COBits& out, int streamId,
                                std::int64_t startPTS, std::int64_t maxPTS) {
    RipAudio(reader, out, streamId, startPTS, maxPTS, true);
}

void CPVRFile::RipAudioStream(CClusterReader& reader, COBits& out, int streamId,
                              std::int64_t startPTS, std::int64_t maxPTS) {
    RipAudio(reader, out, streamId, startPTS, maxPTS, false);
}

void CPVRFile::RipAudio(CClusterReader& reader, COBits& out, int streamId, std::int64_t startPTS,
                        std::int64_t maxPTS, bool ac3) {
    std::ostream& log = *g_Log;
    std::ostream& con = m_Drive.Console();
    const std::uint32_t startCode = PesStartCode(streamId);

    ConsoleAndLog(con, ac3 ? "CPVRFile::RipPrivateStream" : "CPVRFile::RipAudioStream");
    log << "Try to rewind...";
    con << "Try to rewind...";
    if (!reader.Rewind()) {
        ConsoleAndLog(con, " failed!");
        return;
    }
    ConsoleAndLog(con, " passed!");

    // Phase 1: the first packet at or after startPTS that is followed right
    // away by another packet of the stream.
    std::int64_t lastPTS = 0;
    std::uint64_t payloadPos = 0;
    while (!reader.IsEOBS()) {
        const std::uint32_t code = reader.PeekUInt32();
        if (code != startCode) {
            if (ac3)
                log << "this is not the expected startcode!" << std::endl;
            else
                log << std::hex << code << " is not the expected startcode!" << std::endl;
            reader.SkipByte();
        } else {
            CPESHeader header(reader, streamId);
            if (!header.IsValid() || static_cast<std::int64_t>(header.GetPTS()) < startPTS) {
                // The rescue's end rule stops the search where the sound
                // ends before the first picture.
                if (header.IsValid() && EndsAfter(reader, header, streamId)) {
                    ConsoleAndLog(con, "the sound ends before the first picture");
                    break;
                }
                log << "PES ist not okay OR PTS is less then StartPTS" << std::endl;
                reader.SkipByte();
            } else {
                lastPTS = static_cast<std::int64_t>(header.GetPTS());
                payloadPos = reader.GetBitPos();
                const std::uint32_t length = PayloadLength(header);
                reader.SeekBit(PacketEnd(payloadPos, length));
                // Followed by the next packet, or the recording's last.
                if (IsPESPacketAt(reader, streamId) ||
                    (EndRule != nullptr &&
                     EndRule->EndsAt(reader, PacketEnd(payloadPos, length) / 8, streamId))) {
                    reader.SeekBit(payloadPos);
                    if (Stamps != nullptr)
                        Stamps->Copied(out.Position(), lastPTS, lastPTS, false);
                    CopyPayload(static_cast<int>(length), reader, out);
                    log << std::dec << "found PTS " << static_cast<double>(lastPTS) << " running..."
                        << std::endl;
                    con << std::dec << "found PTS " << static_cast<double>(lastPTS) << " running..."
                        << std::endl;
                    break;
                }
                log << "this is not a PES_PACKET" << std::endl;
                reader.SeekBit(payloadPos + 8);
            }
        }
        SeekNextStartCodeWithin(reader, kAudioResyncBytes);
    }
    con << "patience... running..." << std::endl;

    // Phase 2: copy packet after packet; a packet is trusted only when the
    // next packet of the stream begins right where its payload ends.
    bool resync = false;
    while (!reader.IsEOBS()) {
        CPESHeader header(reader, streamId);
        if (!header.IsValid()) {
            resync = true;
            ConsoleAndLog(con, "error recovery");
            reader.SkipByte();
            SeekNextStartCode(reader);
            continue;
        }
        const std::int64_t pts = static_cast<std::int64_t>(header.GetPTS());
        if (pts >= maxPTS)
            break;
        payloadPos = reader.GetBitPos();
        const std::uint32_t length = PayloadLength(header);
        reader.SeekBit(PacketEnd(payloadPos, length));
        bool last = false; // the recording ends with this packet, which is whole
        if (!IsPESPacketAt(reader, streamId)) {
            const std::uint64_t end = PacketEnd(payloadPos, length) / 8;
            last = EndRule != nullptr && EndRule->EndsAt(reader, end, streamId);
            // Zeros right after it, which the recording goes on across, tell
            // that the packet is whole: it is copied, and the search for the
            // next one begins after it.
            if (!last && !(EndRule != nullptr && EndRule->WentOnAcrossZerosAt(end))) {
                resync = true;
                ConsoleAndLog(con, "error recovery");
                reader.SeekBit(payloadPos + 8);
                SeekNextStartCode(reader);
                continue;
            }
        }
        const bool wrapped =
            static_cast<std::uint64_t>(pts) + kAudioWrapTicks < static_cast<std::uint64_t>(lastPTS);
        if (wrapped) {
            // Wrapped (or jumped back): move the end so that the length still
            // to be copied stays the same. No gap is filled here.
            maxPTS = maxPTS + pts - lastPTS;
            log << "PTS overflow..." << std::endl;
            log << std::dec << "Max PTS=" << static_cast<double>(maxPTS) << std::endl;
            con << std::endl;
            con << "PTS overflow..." << std::endl;
            con << std::dec << "Max PTS=" << static_cast<double>(maxPTS) << std::endl;
        } else if (resync) {
            const auto diff = static_cast<std::int32_t>(static_cast<std::uint32_t>(pts - lastPTS));
            log << std::dec << "DIFF=" << diff << std::endl;
            con << std::dec << "DIFF=" << diff << std::endl;
            if (ac3)
                FillAC3Gap(diff, out);
            else
                FillAudioGap(diff, out);
        }
        reader.SeekBit(payloadPos);
        if (Stamps != nullptr)
            Stamps->Copied(out.Position(), pts, pts, wrapped);
        CopyPayload(static_cast<int>(length), reader, out);
        lastPTS = pts;
        resync = false;
        if (last)
            break;
    }
    if (reader.IsEOBS())
        ConsoleAndLog(con, "EOBS reached!");
}

void CPVRFile::CopyPayload(int count, CClusterReader& reader, COBits& out) {
    LastPayload.clear();
    if (reader.IsEOBS())
        return;
    // A negative count (a length field smaller than the header) copies nothing.
    // The bytes are taken from the reader's buffer a run at a time: the same
    // bytes, consumed the same way, as one ReadByte after another, stopping
    // where the data ends.
    while (count > 0 && !reader.IsEOBS()) {
        std::uint32_t buffered = 0;
        const std::uint8_t* bytes = reader.BufferedBytes(buffered);
        const std::uint32_t n = std::min(buffered, static_cast<std::uint32_t>(count));
        out.Write(bytes, n);
        LastPayload.insert(LastPayload.end(), bytes, bytes + n);
        count -= static_cast<int>(n);
        reader.SkipBuffered(n);
    }
}

void CPVRFile::FillGap(int ptsDiff, COBits& out, const AudioFormat& format) {
    const std::vector<std::uint8_t> payload(LastPayload.begin(), LastPayload.end());
    const PayloadFrames frames = FindFrames(payload, format);
    if (frames.whole.empty()) {
        *g_Log << "no whole audio frame to repeat" << std::endl;
        return;
    }
    // The frames that began in the payload copied last already cover that
    // much of the difference; what is left was lost.
    const std::int64_t missing = FramesIn(ptsDiff, frames.first) - frames.begun;
    for (std::int64_t i = 0; i < missing; ++i) {
        const FrameSpan& frame = frames.whole[static_cast<std::size_t>(i) % frames.whole.size()];
        out.Write(payload.data() + frame.offset, frame.bytes);
    }
}

void CPVRFile::FillAC3Gap(int ptsDiff, COBits& out) {
    FillGap(ptsDiff, out, kAC3Format);
}

void CPVRFile::FillAudioGap(int ptsDiff, COBits& out) {
    FillGap(ptsDiff, out, kMpegAudioFormat);
}
