// Copying the video stream without its PES headers, from the first sequence
// header at or after the start time stamp up to the end time stamp.
#include "drive/drive.h"
#include "extract/extract.h"
#include "output/output.h"
#include "platform/runlog.h"
#include "reader/reader.h"

#include <iostream>

namespace {

// The copy phase looks at the stream through a window of the last four bytes
// read and not yet written, the oldest in the most significant byte.
struct Window {
    std::uint32_t bytes = 0;
    int count = 0; // how many of the four came from the stream

    // Fills the window with the next four bytes; at the end of the data it
    // holds only those that were there.
    void Fill(CClusterReader& reader) {
        bytes = 0;
        count = 0;
        while (count < 4 && !reader.IsEOBS()) {
            bytes = (bytes << 8) | static_cast<std::uint32_t>(reader.ReadByte());
            ++count;
        }
    }
    // Writes the oldest byte and takes the next one from the stream; only
    // while the data has not ended, so the window stays full.
    void Slide(CClusterReader& reader, COBits& out) {
        out.WriteByte(static_cast<int>(bytes >> 24));
        bytes = (bytes << 8) | static_cast<std::uint32_t>(reader.ReadByte());
    }
    // Slides over the buffered bytes at once, as far as the window that holds
    // `code` or the end of the buffer. The same as sliding byte by byte: each
    // window passed over on the way holds something else, and the same bytes
    // are written and consumed.
    void SlideToCode(CClusterReader& reader, COBits& out, std::uint32_t code) {
        std::uint32_t avail = 0;
        const std::uint8_t* p = reader.BufferedBytes(avail);
        std::uint32_t slides = avail;
        // After 1 to 3 slides the window still holds bytes of this one.
        for (std::uint32_t k = 1; k <= 3 && k < slides; ++k) {
            std::uint32_t next = bytes;
            for (std::uint32_t i = 0; i < k; ++i)
                next = (next << 8) | p[i];
            if (next == code)
                slides = k;
        }
        // After k >= 4 slides it holds p[k-4..k): the first whole code in the
        // buffer, found many bytes a step, ends the slide.
        if (slides == avail) {
            const std::size_t at = FindStartCode(p, avail, static_cast<std::uint8_t>(code));
            if (at < avail)
                slides = static_cast<std::uint32_t>(at) + 4;
        }
        if (slides >= 4) {
            const std::uint8_t held[4] = {
                static_cast<std::uint8_t>(bytes >> 24), static_cast<std::uint8_t>(bytes >> 16),
                static_cast<std::uint8_t>(bytes >> 8), static_cast<std::uint8_t>(bytes)};
            out.Write(held, 4);
            out.Write(p, slides - 4);
            bytes = 0;
            for (std::uint32_t i = slides - 4; i < slides; ++i)
                bytes = (bytes << 8) | p[i];
        } else {
            for (std::uint32_t i = 0; i < slides; ++i) {
                out.WriteByte(static_cast<int>(bytes >> 24));
                bytes = (bytes << 8) | p[i];
            }
        }
        reader.SkipBuffered(slides);
    }
    void WriteAll(COBits& out) const {
        for (int i = count - 1; i >= 0; --i)
            out.WriteByte(static_cast<int>(bytes >> (8 * i)));
    }
};

// In decode order, the B pictures that follow the first I picture after a
// wrap of the 33-bit PTS still carry time stamps from before the wrap, close
// to 2^33. A PTS more than half the range ahead of the last one is such a
// picture: it is taken on the timeline after the wrap.
std::int64_t Unwrap(std::int64_t pts, std::int64_t lastPTS) {
    constexpr std::int64_t kHalfRange = static_cast<std::int64_t>(kPtsModulus / 2);
    return pts - lastPTS > kHalfRange ? pts - static_cast<std::int64_t>(kPtsModulus) : pts;
}

// The DTS of a header on the time line of pts, the PTS as the ripper takes
// it: the DTS precedes the PTS, by the difference of the 33-bit counters.
std::int64_t DtsOf(const CPESHeader& header, std::int64_t pts) {
    if (!header.HasDTS())
        return pts;
    return pts - static_cast<std::int64_t>((header.GetPTS() - header.GetDTS()) & (kPtsModulus - 1));
}

// The time stamps of the packet whose payload begins with the sequence
// header the copy starts at, if it does.
struct StartStamps {
    bool known = false;
    std::int64_t pts = 0, dts = 0;
};

// Passes over the stream up to the first sequence header after a packet at or
// after startPTS; false when the data ends first.
StartStamps SeekStart(CClusterReader& reader, int streamId, std::int64_t startPTS) {
    std::ostream& log = *g_Log;
    const std::uint32_t startCode = PesStartCode(streamId);
    bool waiting = false;
    StartStamps start;
    while (!reader.IsEOBS()) {
        bool parsedHere = false;
        if (!waiting && reader.PeekUInt32() == startCode) {
            CPESHeader header(reader, streamId);
            if (header.IsValid() && static_cast<std::int64_t>(header.GetPTS()) >= startPTS) {
                log << "reached pts " << static_cast<double>(header.GetPTS()) << std::endl;
                waiting = true;
                log << "shit.. i'm video and i have to wait until 0x000001B3...." << std::endl;
                parsedHere = true;
                start.pts = static_cast<std::int64_t>(header.GetPTS());
                start.dts = DtsOf(header, start.pts);
            }
        }
        if (waiting && reader.PeekUInt32() == kSequenceHeaderCode) {
            log << "yeah.. i'm video and i reached 0x000001B3...." << std::endl;
            start.known = parsedHere;
            return start;
        }
        reader.SkipByte();
        SeekNextStartCode(reader);
    }
    return start;
}

} // namespace

void CPVRFile::RipVideoStream(CClusterReader& reader, COBits& out, int streamId,
                              std::int64_t startPTS, std::int64_t maxPTS) {
    std::ostream& log = *g_Log;
    std::ostream& con = m_Drive.Console();
    const std::uint32_t startCode = PesStartCode(streamId);
    std::int64_t limit = maxPTS - 1;

    log << std::endl << "CPVRFile::RipVideoStream" << std::endl;
    con << std::endl << "CPVRFile::RipVideoStream" << std::endl;
    con << std::fixed;
    log << "rewinding stream";
    con << "rewinding stream";
    const char* rewound = reader.Rewind() ? "...okay" : "...failed!!!";
    log << rewound;
    con << rewound;
    log << std::endl;
    con << std::endl;
    log << std::hex << "seeking stream start code " << startCode << std::endl;
    con << std::hex << "seeking stream start code " << startCode << std::endl;

    const StartStamps start = SeekStart(reader, streamId, startPTS);
    if (start.known && Stamps != nullptr)
        Stamps->Copied(out.Position(), start.pts, start.dts, false);
    std::int64_t lastPTS = startPTS;
    if (reader.IsEOBS()) {
        log << "EOF reached! No PTS for Code " << startCode << std::endl;
        con << "EOF reached! No PTS for Code " << startCode << std::endl;
    }
    log << std::dec;
    con << std::dec;
    con << "now ripping until eobs..." << std::endl;
    log << "now ripping until eobs..." << std::endl;
    con << std::fixed;

    Window window;
    bool stopped = false;
    bool copiedPicture = false; // a video PES header has been accepted
    if (!reader.IsEOBS())
        window.Fill(reader);
    while (!reader.IsEOBS()) {
        if (window.bytes != startCode) {
            window.SlideToCode(reader, out, startCode);
            continue;
        }
        // The start code of the next video PES packet has just been read.
        const std::uint64_t afterWindow = reader.GetBitPos();
        reader.SeekBit(afterWindow - 32);
        CPESHeader header(reader, streamId);
        if (!header.IsValid()) {
            // Not a header after all: its bytes are payload. A header cut off
            // by the end of the data has run the reader to its end; the
            // bytes after the start code are still there to be copied.
            if (reader.IsEOBS())
                reader.Rewind();
            if (!reader.SeekBit(afterWindow))
                break; // the drive failed: the end phase writes the window
            window.Slide(reader, out);
            continue;
        }
        // Only a PTS of a picture copied before tells a picture from before a
        // wrap; startPTS did not come from the stream.
        const auto raw = static_cast<std::int64_t>(header.GetPTS());
        const std::int64_t pts = copiedPicture ? Unwrap(raw, lastPTS) : raw;
        const bool jumpedBack = pts + kVideoWrapTicks < lastPTS && raw != 0;
        if (jumpedBack) {
            limit += pts - lastPTS;
            log << "PTS overflow..." << std::endl;
            log << "Max PTS=" << static_cast<double>(limit) << std::endl;
            con << std::endl;
            con << "PTS overflow..." << std::endl;
            con << "Max PTS=" << static_cast<double>(limit) << std::endl;
        }
        if (header.HasDTS())
            con << " at PTS=" << static_cast<double>(pts) << '\r';
        if (pts > limit) {
            con << " at PTS=" << static_cast<double>(pts) << '\r' << std::endl;
            log << " at PTS=" << static_cast<double>(pts) << std::endl;
            log << "Stream ripped successfully..." << std::endl;
            con << "Stream ripped successfully..." << std::endl;
            stopped = true;
            break;
        }
        if (Stamps != nullptr)
            Stamps->Copied(out.Position(), pts, DtsOf(header, pts), jumpedBack);
        lastPTS = pts;
        copiedPicture = true;
        window.Fill(reader);
    }

    // At the end of the data the window holds the stream's last bytes; after
    // the stop it holds the start code of the packet not wanted.
    if (!stopped && reader.IsEOBS()) {
        window.WriteAll(out);
        log << "EOBS Reached..." << std::endl;
        con << "EOBS Reached..." << std::endl;
    }
    out.Flush();
    log << "return" << std::endl;
}
