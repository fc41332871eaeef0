// The program-stream writer: one small state per elementary stream, and a
// pack built by one function from whatever is due next. The SCR follows from
// the bytes written and the mux rate; it jumps ahead only when no stream may
// send yet, because the data held is not due or its decoder's buffer is full.
#include "psmux/psmux.h"
#include "output/output.h"
#include "platform/format.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace {

constexpr std::int64_t kClock27PerTick = 300; // 27 MHz system clock / 90 kHz
constexpr std::uint32_t kSystemHeaderCode = 0x000001BB;
constexpr int kPrivateStream2Bound = 2 * 1024;
constexpr std::size_t kPackHeaderBytes = 14;
constexpr std::size_t kPesFixedBytes = 9; // start code, length, two flag bytes, header length
// Packed bytes held in front of a stream's data before they are dropped.
constexpr std::size_t kCompactBytes = 1 << 18;
constexpr std::size_t kPaddingHeaderBytes = 6;
constexpr int kAC3SubStream = 0x80;
constexpr std::size_t kAC3HeaderBytes = 4; // sub-stream, frame count, first access unit pointer
constexpr std::size_t kSystemHeaderEntries = 4;
constexpr std::size_t kSystemHeaderBytes = 12 + 3 * kSystemHeaderEntries;
constexpr std::int64_t kUnknownDts = std::numeric_limits<std::int64_t>::min();

void Put16(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}
void Put32(std::uint8_t* p, std::uint32_t v) {
    Put16(p, v >> 16);
    Put16(p + 2, v);
}

// '0010' or '0011' or '0001', then
// t[32..30] marker t[29..15] marker t[14..0] marker.
void PutTimeStamp(std::uint8_t* p, int prefix, std::int64_t time) {
    const auto t = static_cast<std::uint64_t>(time) & (kPtsModulus - 1);
    p[0] = static_cast<std::uint8_t>((prefix << 4) | ((t >> 29) & 0x0E) | 1);
    p[1] = static_cast<std::uint8_t>(t >> 22);
    p[2] = static_cast<std::uint8_t>(((t >> 14) & 0xFE) | 1);
    p[3] = static_cast<std::uint8_t>(t >> 7);
    p[4] = static_cast<std::uint8_t>(((t << 1) & 0xFE) | 1);
}

// '01' P-STD_buffer_scale P-STD_buffer_size[12..0]: in units of 128 bytes for
// MPEG audio (scale 0), of 1024 bytes for everything else (scale 1).
std::uint32_t BufferField(int streamId, std::uint32_t bytes) {
    const bool audio = streamId >= kFirstAudioStream && streamId <= kLastAudioStream;
    return audio ? 0x4000u | (bytes / 128) : 0x6000u | (bytes / 1024);
}

} // namespace

std::uint32_t VideoBitRate(const std::uint8_t* p, std::size_t n) {
    // 00 00 01 B3, width(12) height(12) aspect(4) rate(4) | bit_rate_value(18) ...
    if (n < 12 || p[0] != 0 || p[1] != 0 || p[2] != 1 || p[3] != 0xB3)
        return 0;
    std::uint32_t value = (std::uint32_t{p[8]} << 10) | (std::uint32_t{p[9]} << 2) | (p[10] >> 6);
    // The sequence extension (00 00 01 B5, id '0001') adds bit_rate_extension
    // (12 bits) above: id(4) profile(8) progressive(1) chroma(2) h(2) v(2) ext(12).
    for (std::size_t i = 12; i + 8 <= n && i < 12 + 2 * 64 + 8; ++i) {
        if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1 && p[i + 3] == 0xB5 &&
            (p[i + 4] >> 4) == 1) {
            const std::uint32_t ext = ((p[i + 6] & 0x1F) << 7) | (p[i + 7] >> 1);
            value |= ext << 18;
            break;
        }
    }
    return value * 400;
}

std::int64_t CProgramStreamWriter::EsState::HeadDts() const {
    // Bytes before the first stamp are due with the first access unit.
    return units.empty() ? kUnknownDts : units.front().dts;
}

CProgramStreamWriter::CProgramStreamWriter(COBits& out, EsKind audio, std::uint32_t audioBitRate)
    : Out(out), Es{{EsKind::Video, kFirstVideoStream, -1, kVideoBufferBytes},
                   {audio, audio == EsKind::AC3 ? kPrivateStream1 : kFirstAudioStream,
                    audio == EsKind::AC3 ? kAC3SubStream : -1, kAudioBufferBytes}} {
    Es[kAudio].bitRate = audioBitRate;
}

void CProgramStreamWriter::Stamp(Stream s, std::uint64_t offset, std::int64_t pts,
                                 std::int64_t dts) {
    std::deque<Unit>& units = Es[s].units;
    if (!units.empty() && units.back().start == offset)
        units.pop_back(); // an access unit without bytes: the later stamps hold
    units.push_back({offset, pts, dts});
}

void CProgramStreamWriter::Write(Stream s, const std::uint8_t* bytes, std::size_t count) {
    EsState& es = Es[s];
    es.ext = bytes;
    es.extLeft = count;
    Pump();
    if (es.extLeft > 0)
        es.data.insert(es.data.end(), es.ext, es.ext + es.extLeft);
    es.ext = nullptr;
    es.extLeft = 0;
}

std::size_t CProgramStreamWriter::EsState::Peek(std::uint8_t* to, std::size_t n) const {
    const std::size_t held = std::min(n, data.size() - head);
    const std::size_t rest = std::min(n - held, extLeft);
    if (held > 0)
        std::memcpy(to, data.data() + head, held);
    if (rest > 0)
        std::memcpy(to + held, ext, rest);
    return held + rest;
}

void CProgramStreamWriter::EsState::Take(std::uint8_t* to, std::size_t n) {
    const std::size_t held = std::min(n, data.size() - head);
    if (held > 0)
        std::memcpy(to, data.data() + head, held);
    head += held;
    if (n > held) {
        std::memcpy(to + held, ext, n - held);
        ext += n - held;
        extLeft -= n - held;
    }
    // Bytes packed are dropped from data when they are all of it, or when
    // they are many and most of it: the bytes kept are then moved seldom.
    if (head == data.size()) {
        data.clear();
        head = 0;
    } else if (head >= kCompactBytes && head >= data.size() / 2) {
        data.erase(data.begin(), data.begin() + static_cast<long>(head));
        head = 0;
    }
}

void CProgramStreamWriter::End(Stream s) {
    Es[s].ended = true;
    Pump();
}

void CProgramStreamWriter::Finish() {
    End(kVideo);
    End(kAudio);
}

// Packs go out while every stream that may still grow holds at least a
// pack's worth: only then is it known which data is due first.
void CProgramStreamWriter::Pump() {
    for (;;) {
        for (const EsState& s : Es) {
            if (!s.ended && s.Available() < kPackSize)
                return;
        }
        if (Es[kVideo].Available() == 0 && Es[kAudio].Available() == 0)
            return;
        if (Rate == 0)
            SetRate();
        RemoveDecoded();
        const int next = ChooseStream();
        if (next < 0)
            BumpClock();
        else
            WritePack(Es[next]);
    }
}

// The mux rate as a DVD authoring muxer derives it from the streams' bit
// rates: 5 % and 10 kbit/s more for the headers, in units of 50 bytes/s.
void CProgramStreamWriter::SetRate() {
    std::uint64_t bits = 0;
    for (EsState& s : Es) {
        if (s.kind == EsKind::Video) {
            // The sequence header and its extension lie within the first bytes.
            std::uint8_t first[160];
            s.bitRate = VideoBitRate(first, s.Peek(first, sizeof first));
        }
        bits += s.bitRate != 0 ? s.bitRate : (1u << 21) * 8 * 50 / 2;
    }
    bits += bits / 20 + 10000;
    Rate = static_cast<std::uint32_t>(std::min<std::uint64_t>((bits + 399) / 400, (1u << 22) - 1));
    MoveClock();
}

// The system clock at the pack to be written next: the bytes since the last
// jump at the mux rate. Worked out once for each pack, not at each look.
void CProgramStreamWriter::MoveClock() {
    const std::uint64_t rate = std::uint64_t{Rate} * 50;
    const std::uint64_t whole = BytesSinceBase / rate, part = BytesSinceBase % rate;
    Now27 = ClockBase + static_cast<std::int64_t>(whole * 27000000 + part * 27000000 / rate);
}

// A decoder takes an access unit out of its buffer at the unit's DTS.
void CProgramStreamWriter::RemoveDecoded() {
    const std::int64_t now = Clock27();
    for (EsState& s : Es) {
        while (!s.buffered.empty() && s.buffered.front().first * kClock27PerTick <= now) {
            s.fill -= s.buffered.front().second;
            s.buffered.pop_front();
        }
    }
}

// The stream whose data is due first among those that may send now: there
// is room in its decoder's buffer, and its data is due within kMaxDelay.
// Data already late comes after data still on time.
int CProgramStreamWriter::ChooseStream() {
    const std::int64_t now = Clock27();
    int best = -1;
    std::pair<bool, std::int64_t> bestKey{true, std::numeric_limits<std::int64_t>::max()};
    for (int i = 0; i < 2; ++i) {
        const EsState& s = Es[i];
        if (s.Available() == 0)
            continue;
        const std::size_t need = std::min<std::size_t>(s.Available(), kPackSize);
        const std::int64_t head = s.HeadDts();
        const std::int64_t due = head == kUnknownDts ? now : head * kClock27PerTick;
        if (s.bufferBytes - s.fill < need || due - now > kMaxDelay * kClock27PerTick)
            continue;
        const std::pair<bool, std::int64_t> key{due < now, due};
        if (best < 0 || key < bestKey) {
            best = i;
            bestKey = key;
        }
    }
    return best;
}

// No stream may send: the clock moves on to the first moment one may, when
// its buffer has room again and its data comes within kMaxDelay of being due.
void CProgramStreamWriter::BumpClock() {
    const std::int64_t now = Clock27();
    std::int64_t next = std::numeric_limits<std::int64_t>::max();
    for (const EsState& s : Es) {
        if (s.Available() == 0)
            continue;
        std::int64_t ready = now;
        if (s.bufferBytes - s.fill < std::min<std::size_t>(s.Available(), kPackSize))
            ready = s.buffered.front().first * kClock27PerTick;
        if (s.HeadDts() != kUnknownDts)
            ready = std::max(ready, (s.HeadDts() - kMaxDelay) * kClock27PerTick);
        next = std::min(next, ready);
    }
    ClockBase = std::max(now, next);
    BytesSinceBase = 0;
    MoveClock();
}

// How many of the stream's bytes the next pack carries, with `room` bytes
// for them and the time stamps. The first access unit that begins in them
// gives the PES header its time stamps; an access unit whose stamps would no
// longer fit, or that is not due within kMaxDelay, begins the next pack.
std::uint32_t CProgramStreamWriter::Payload(const EsState& s, std::uint32_t room,
                                            bool& stamped) const {
    const std::uint64_t avail = s.Available();
    stamped = false;
    const Unit* first = nullptr;
    for (const Unit& u : s.units) {
        if (u.start >= s.packed) {
            first = &u;
            break;
        }
    }
    std::uint64_t n = std::min<std::uint64_t>(avail, room);
    if (first != nullptr && first->start - s.packed < avail) {
        const std::uint64_t at = first->start - s.packed;
        const std::uint32_t stampBytes = first->pts != first->dts ? 10 : 5;
        if (at < room - stampBytes) {
            stamped = true;
            n = std::min<std::uint64_t>(avail, room - stampBytes);
        } else if (at < room) {
            n = at;
        }
    }
    const std::int64_t now = Clock27();
    for (const Unit& u : s.units) {
        if (u.start > s.packed && u.start < s.packed + n &&
            u.dts * kClock27PerTick - now > kMaxDelay * kClock27PerTick) {
            n = u.start - s.packed;
            stamped = stamped && first != &u;
            break;
        }
    }
    return static_cast<std::uint32_t>(n);
}

std::size_t CProgramStreamWriter::PutPackHeader(std::uint8_t* p) const {
    const std::int64_t scr = Clock27();
    const auto base = static_cast<std::uint64_t>(scr / kClock27PerTick) & (kPtsModulus - 1);
    const auto ext = static_cast<std::uint32_t>(scr % kClock27PerTick);
    Put32(p, kPackStartCode);
    // '01' SCR[32..30] '1' SCR[29..15] '1' SCR[14..0] '1' SCR_ext[8..0] '1'
    p[4] = static_cast<std::uint8_t>(0x44 | ((base >> 27) & 0x38) | ((base >> 28) & 3));
    p[5] = static_cast<std::uint8_t>(base >> 20);
    p[6] = static_cast<std::uint8_t>(((base >> 12) & 0xF8) | 0x04 | ((base >> 13) & 3));
    p[7] = static_cast<std::uint8_t>(base >> 5);
    p[8] = static_cast<std::uint8_t>(((base & 0x1F) << 3) | 0x04 | (ext >> 7));
    p[9] = static_cast<std::uint8_t>(((ext & 0x7F) << 1) | 1);
    // program_mux_rate(22) '11', reserved '11111' pack_stuffing_length(3) = 0
    p[10] = static_cast<std::uint8_t>(Rate >> 14);
    p[11] = static_cast<std::uint8_t>(Rate >> 6);
    p[12] = static_cast<std::uint8_t>((Rate << 2) | 3);
    p[13] = 0xF8;
    return kPackHeaderBytes;
}

// As on a DVD: bounds for all video (B9), all MPEG audio (B8), private
// stream 1 (BD) and private stream 2 (BF), whichever of them the program has.
std::size_t CProgramStreamWriter::PutSystemHeader(std::uint8_t* p) const {
    Put32(p, kSystemHeaderCode);
    Put16(p + 4, static_cast<std::uint32_t>(kSystemHeaderBytes - 6));
    // '1' rate_bound(22) '1' | audio_bound(6) fixed(1) CSPS(1) |
    // audio_lock(1) video_lock(1) '1' video_bound(5) | packet_rate_restriction(1) '1111111'
    const std::uint32_t bound = (1u << 23) | (Rate << 1) | 1;
    p[6] = static_cast<std::uint8_t>(bound >> 16);
    p[7] = static_cast<std::uint8_t>(bound >> 8);
    p[8] = static_cast<std::uint8_t>(bound);
    p[9] = 1 << 2;
    p[10] = 0xE1;
    p[11] = 0x7F;
    const bool ac3 = Es[kAudio].kind == EsKind::AC3;
    const struct {
        int id;
        std::uint32_t field;
    } entries[kSystemHeaderEntries] = {
        {0xB9, BufferField(kFirstVideoStream, kVideoBufferBytes)},
        {0xB8, BufferField(kFirstAudioStream, kAudioBufferBytes)},
        {kPrivateStream1, BufferField(kPrivateStream1, ac3 ? kAudioBufferBytes : 0)},
        {kPrivateStream2, BufferField(kPrivateStream2, kPrivateStream2Bound)}};
    std::uint8_t* e = p + 12;
    for (const auto& entry : entries) {
        // stream_id '11' P-STD_buffer_bound_scale P-STD_buffer_size_bound(13)
        e[0] = static_cast<std::uint8_t>(entry.id);
        Put16(e + 1, entry.field | 0xC000);
        e += 3;
    }
    return kSystemHeaderBytes;
}

void CProgramStreamWriter::WritePack(EsState& s) {
    if (PacksWritten % kSystemHeaderPacks == 0)
        Out.Boundary(std::uint64_t{kPackSize} * kSystemHeaderPacks);
    // The pack is made where the output file buffers it, when it fits there.
    std::uint8_t local[kPackSize];
    std::uint8_t* const inPlace = Out.Room(kPackSize);
    std::uint8_t* const pack = inPlace != nullptr ? inPlace : local;
    std::size_t at = PutPackHeader(pack);
    // Every kSystemHeaderPacks packs the system header is repeated: a file
    // may be cut into parts there, each of which then plays on its own.
    if (PacksWritten % kSystemHeaderPacks == 0)
        at += PutSystemHeader(pack + at);
    const std::size_t extension = s.first ? 3 : 0;
    const std::size_t sub = s.subId >= 0 ? kAC3HeaderBytes : 0;
    const auto room = static_cast<std::uint32_t>(kPackSize - at - kPesFixedBytes - extension - sub);
    bool stamped = false;
    const std::uint32_t n = Payload(s, room, stamped);
    const Unit* unit = nullptr;
    int frames = 0;
    for (const Unit& u : s.units) {
        if (u.start >= s.packed && u.start < s.packed + n) {
            unit = unit != nullptr ? unit : &u;
            ++frames;
        }
    }
    const bool withDts = stamped && unit->pts != unit->dts;
    const std::size_t stampBytes = stamped ? (withDts ? 10 : 5) : 0;
    std::size_t left = room - stampBytes - n;
    const std::size_t stuffing = left < kPaddingHeaderBytes ? left : 0;
    left -= stuffing;

    // 00 00 01 id, PES_packet_length, '10' scrambling(2) priority alignment
    // copyright original, PTS_DTS(2) ESCR ES_rate trick additional CRC extension,
    // PES_header_data_length
    const std::size_t headerData = stampBytes + extension + stuffing;
    Put32(pack + at, PesStartCode(s.id));
    Put16(pack + at + 4, static_cast<std::uint32_t>(3 + headerData + sub + n));
    pack[at + 6] = 0x80;
    pack[at + 7] =
        static_cast<std::uint8_t>((stamped ? (withDts ? 0xC0 : 0x80) : 0) | (extension ? 0x01 : 0));
    pack[at + 8] = static_cast<std::uint8_t>(headerData);
    at += kPesFixedBytes;
    if (stamped) {
        PutTimeStamp(pack + at, withDts ? 3 : 2, unit->pts);
        if (withDts)
            PutTimeStamp(pack + at + 5, 1, unit->dts);
        at += stampBytes;
    }
    if (extension) {
        // PES_private_data pack_header_field sequence_counter P-STD_buffer(1) '111' extension_2
        pack[at] = 0x1E;
        Put16(pack + at + 1, BufferField(s.id, s.bufferBytes));
        at += extension;
    }
    std::memset(pack + at, 0xFF, stuffing);
    at += stuffing;
    if (sub) {
        // sub-stream id, number of frame headers, first access unit pointer
        // (counted from the pointer's last byte; 0 when no frame begins here)
        pack[at] = static_cast<std::uint8_t>(s.subId);
        pack[at + 1] = static_cast<std::uint8_t>(frames);
        Put16(pack + at + 2,
              unit != nullptr ? static_cast<std::uint32_t>(unit->start - s.packed + 1) : 0);
        at += sub;
    }
    s.Take(pack + at, n);
    at += n;
    if (left > 0) {
        Put32(pack + at, PesStartCode(kPaddingStream));
        Put16(pack + at + 4, static_cast<std::uint32_t>(left - kPaddingHeaderBytes));
        std::memset(pack + at + kPaddingHeaderBytes, 0xFF, left - kPaddingHeaderBytes);
    }
    if (inPlace != nullptr)
        Out.Commit(kPackSize);
    else
        Out.Write(local, kPackSize);
    ++PacksWritten;
    BytesSinceBase += kPackSize;
    MoveClock();
    s.first = false;
    Deliver(s, n);
}

// The bytes just packed enter the decoder's buffer, each due with the access
// unit that owns it.
void CProgramStreamWriter::Deliver(EsState& s, std::uint32_t count) {
    const std::uint64_t end = s.packed + count;
    while (s.packed < end) {
        std::uint64_t until = end;
        std::int64_t dts = s.units.empty() ? Clock27() / kClock27PerTick : s.units.front().dts;
        if (!s.units.empty() && s.units.front().start <= s.packed) {
            if (s.units.size() > 1)
                until = std::min(until, s.units[1].start);
        } else if (!s.units.empty()) {
            until = std::min(until, s.units.front().start);
        }
        const auto bytes = static_cast<std::uint32_t>(until - s.packed);
        if (!s.buffered.empty() && s.buffered.back().first == dts)
            s.buffered.back().second += bytes;
        else
            s.buffered.emplace_back(dts, bytes);
        s.fill += bytes;
        s.packed = until;
        while (s.units.size() > 1 && s.units[1].start <= s.packed)
            s.units.pop_front();
    }
}
