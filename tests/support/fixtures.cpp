#include "fixtures.h"

#include "support/harness.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace {

constexpr uint8_t kSequenceHeaderCode = 0xB3;
constexpr uint8_t kSequenceEndCode = 0xB7;
constexpr uint8_t kPictureStartCode = 0x00;

// Stream ids whose packets have no optional PES header (no flags, no time stamps).
bool HasOptionalHeader(int streamId) {
    switch (streamId) {
    case 0xBC:
    case 0xBE:
    case 0xBF:
    case 0xF0:
    case 0xF1:
    case 0xF2:
    case 0xF8:
    case 0xFF:
        return false;
    default:
        return true;
    }
}

int64_t Wrap(int64_t timestamp) {
    timestamp %= kTimestampWrap;
    return timestamp < 0 ? timestamp + kTimestampWrap : timestamp;
}

void CheckRange(const Fixture& f, size_t first, size_t last) {
    if (first > last || last > f.packets.size())
        throw std::out_of_range("packet range outside the fixture");
}

// Offset in f.bytes of the first start code 00 00 01 <code> whose first byte is in the payload
// of a packet in [first, last), searching across packet boundaries; sets `packet` to the packet
// holding that first byte. Returns false when there is none.
bool FindStartCode(const Fixture& f, size_t first, size_t last, uint8_t code, size_t& packet,
                   uint64_t& offset) {
    // Bytes of the payloads are walked in stream order; the positions of the last three bytes
    // seen are kept so that a start code split between packets is found.
    uint64_t recent[3] = {0, 0, 0};
    size_t recentPacket[3] = {0, 0, 0};
    uint32_t window = 0xFFFFFFFF;
    size_t seen = 0;
    for (size_t i = first; i < last; ++i) {
        const PesPacket& p = f.packets[i];
        for (uint64_t pos = p.payloadOffset; pos < p.offset + p.size; ++pos) {
            window = (window << 8) | f.bytes[pos];
            if (seen >= 3 && window == (0x00000100u | code)) {
                packet = recentPacket[0];
                offset = recent[0];
                return true;
            }
            recent[0] = recent[1];
            recent[1] = recent[2];
            recent[2] = pos;
            recentPacket[0] = recentPacket[1];
            recentPacket[1] = recentPacket[2];
            recentPacket[2] = i;
            ++seen;
        }
    }
    return false;
}

// Offset of the first picture start code inside the payload of one packet, or 0 when none.
uint64_t PictureHeaderOffset(const Fixture& f, size_t packet) {
    size_t found = 0;
    uint64_t offset = 0;
    if (!FindStartCode(f, packet, packet + 1, kPictureStartCode, found, offset))
        return 0;
    const PesPacket& p = f.packets[packet];
    if (offset + 6 > p.offset + p.size)
        return 0;
    return offset;
}

std::vector<PesPacket> ReadIndex(const std::string& path) {
    std::ifstream in(path);
    if (!in)
        throw std::runtime_error("cannot open fixture index " + path);
    std::vector<PesPacket> packets;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream fields(line);
        long long offset = 0, size = 0, payloadOffset = 0, pts = 0, dts = 0;
        if (!(fields >> offset >> size >> payloadOffset >> pts >> dts) || offset < 0 || size < 0 ||
            payloadOffset < 0)
            throw std::runtime_error("bad line in fixture index " + path + ": " + line);
        packets.push_back(PesPacket{static_cast<uint64_t>(offset), static_cast<uint64_t>(size),
                                    static_cast<uint64_t>(payloadOffset), pts, dts});
    }
    return packets;
}

} // namespace

std::string FixturePath(const std::string& fileName) {
    if (!fileName.empty() && fileName.front() == '/')
        return fileName; // made by a test
    std::string dir = TARNWELL_FIXTURE_DIR;
    if (!dir.empty() && dir.back() != '/')
        dir += '/';
    return dir + fileName;
}

Fixture LoadFixture(const std::string& name) {
    Fixture f;
    f.bytes = harness::ReadFile(FixturePath(name + ".pes"));
    if (f.bytes.empty())
        throw std::runtime_error("cannot read fixture " + name);
    f.packets = ReadIndex(FixturePath(name + ".idx"));
    f.streamId = -1;
    uint64_t expected = 0;
    for (const PesPacket& p : f.packets) {
        if (p.offset != expected || p.size < 6 || p.offset + p.size > f.bytes.size() ||
            p.payloadOffset < p.offset + 6 || p.payloadOffset > p.offset + p.size ||
            f.bytes[p.offset] != 0 || f.bytes[p.offset + 1] != 0 || f.bytes[p.offset + 2] != 1)
            throw std::runtime_error("fixture " + name + ": index entry at offset " +
                                     std::to_string(p.offset) + " does not match the packets");
        const int id = f.bytes[p.offset + 3];
        if (f.streamId == -1)
            f.streamId = id;
        else if (f.streamId != id)
            throw std::runtime_error("fixture " + name + " mixes stream ids");
        expected = p.offset + p.size;
    }
    if (expected != f.bytes.size())
        throw std::runtime_error("fixture " + name + ": index does not cover the whole file");
    return f;
}

int64_t ReadPesTimestamp(const uint8_t* p) {
    return (static_cast<int64_t>((p[0] >> 1) & 0x07) << 30) | (static_cast<int64_t>(p[1]) << 22) |
           (static_cast<int64_t>(p[2] >> 1) << 15) | (static_cast<int64_t>(p[3]) << 7) |
           static_cast<int64_t>(p[4] >> 1);
}

void WritePesTimestamp(uint8_t* p, int64_t timestamp) {
    const uint64_t t = static_cast<uint64_t>(Wrap(timestamp));
    p[0] = static_cast<uint8_t>((p[0] & 0xF0) | ((t >> 29) & 0x0E) | 0x01);
    p[1] = static_cast<uint8_t>((t >> 22) & 0xFF);
    p[2] = static_cast<uint8_t>(((t >> 14) & 0xFE) | 0x01);
    p[3] = static_cast<uint8_t>((t >> 7) & 0xFF);
    p[4] = static_cast<uint8_t>(((t << 1) & 0xFE) | 0x01);
}

int64_t TimestampDifference(int64_t a, int64_t b) {
    int64_t d = Wrap(a - b);
    if (d >= kTimestampWrap / 2)
        d -= kTimestampWrap;
    return d;
}

void ShiftTimestamps(Fixture& f, int64_t offset) {
    for (PesPacket& p : f.packets) {
        uint8_t* h = &f.bytes[p.offset];
        if (!HasOptionalHeader(h[3]) || p.size < 9)
            continue;
        const unsigned ptsDtsFlags = (h[7] >> 6) & 0x03;
        const unsigned headerLength = h[8];
        if (ptsDtsFlags >= 2 && headerLength >= 5 && p.size >= 14) {
            const int64_t pts = Wrap(ReadPesTimestamp(h + 9) + offset);
            WritePesTimestamp(h + 9, pts);
            p.pts = pts;
        }
        if (ptsDtsFlags == 3 && headerLength >= 10 && p.size >= 19) {
            const int64_t dts = Wrap(ReadPesTimestamp(h + 14) + offset);
            WritePesTimestamp(h + 14, dts);
            p.dts = dts;
        }
    }
}

void SetPtsAt(Fixture& f, size_t packet, int64_t pts) {
    if (packet >= f.packets.size() || f.packets[packet].pts < 0)
        throw std::out_of_range("SetPtsAt: packet has no PTS");
    ShiftTimestamps(f, Wrap(pts - f.packets[packet].pts));
}

std::vector<uint8_t> Payloads(const Fixture& f, size_t first, size_t last) {
    CheckRange(f, first, last);
    std::vector<uint8_t> out;
    for (size_t i = first; i < last; ++i) {
        const PesPacket& p = f.packets[i];
        out.insert(out.end(), f.bytes.begin() + static_cast<std::ptrdiff_t>(p.payloadOffset),
                   f.bytes.begin() + static_cast<std::ptrdiff_t>(p.offset + p.size));
    }
    return out;
}

std::vector<uint8_t> Payload(const Fixture& f, size_t packet) {
    return Payloads(f, packet, packet + 1);
}

std::vector<uint8_t> ElementaryStream(const Fixture& f) {
    return Payloads(f, 0, f.packets.size());
}

std::vector<uint8_t> PacketBytes(const Fixture& f, size_t first, size_t last) {
    CheckRange(f, first, last);
    if (first == last)
        return {};
    const uint64_t begin = f.packets[first].offset;
    const uint64_t end = f.packets[last - 1].offset + f.packets[last - 1].size;
    return std::vector<uint8_t>(f.bytes.begin() + static_cast<std::ptrdiff_t>(begin),
                                f.bytes.begin() + static_cast<std::ptrdiff_t>(end));
}

Fixture SliceFixture(const Fixture& f, size_t first, size_t last) {
    Fixture s;
    s.bytes = PacketBytes(f, first, last);
    s.streamId = f.streamId;
    const uint64_t base = first < last ? f.packets[first].offset : 0;
    for (size_t i = first; i < last; ++i) {
        PesPacket p = f.packets[i];
        p.offset -= base;
        p.payloadOffset -= base;
        s.packets.push_back(p);
    }
    return s;
}

size_t FindFirstSequenceHeader(const Fixture& f, uint64_t* byteOffset) {
    size_t packet = 0;
    uint64_t offset = 0;
    if (!FindStartCode(f, 0, f.packets.size(), kSequenceHeaderCode, packet, offset))
        return f.packets.size();
    if (byteOffset)
        *byteOffset = offset;
    return packet;
}

std::vector<size_t> SequenceHeaderPackets(const Fixture& f) {
    std::vector<size_t> result;
    size_t from = 0;
    while (from < f.packets.size()) {
        size_t packet = 0;
        uint64_t offset = 0;
        if (!FindStartCode(f, from, f.packets.size(), kSequenceHeaderCode, packet, offset))
            break;
        result.push_back(packet);
        from = packet + 1;
    }
    return result;
}

std::vector<uint8_t> VideoFromSequenceHeader(const Fixture& f, size_t packet, bool appendEndCode) {
    size_t found = 0;
    uint64_t offset = 0;
    if (packet >= f.packets.size() ||
        !FindStartCode(f, packet, f.packets.size(), kSequenceHeaderCode, found, offset) ||
        found != packet)
        throw std::invalid_argument("VideoFromSequenceHeader: no sequence header in packet " +
                                    std::to_string(packet));
    const PesPacket& p = f.packets[packet];
    std::vector<uint8_t> out(f.bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                             f.bytes.begin() + static_cast<std::ptrdiff_t>(p.offset + p.size));
    const std::vector<uint8_t> rest = Payloads(f, packet + 1, f.packets.size());
    out.insert(out.end(), rest.begin(), rest.end());
    if (appendEndCode)
        out.insert(out.end(), {0x00, 0x00, 0x01, kSequenceEndCode});
    return out;
}

char PictureType(const Fixture& f, size_t packet) {
    CheckRange(f, packet, packet + 1);
    const uint64_t at = PictureHeaderOffset(f, packet);
    if (at == 0)
        return 0;
    switch ((f.bytes[at + 5] >> 3) & 0x07) {
    case 1:
        return 'I';
    case 2:
        return 'P';
    case 3:
        return 'B';
    default:
        return 0;
    }
}

int TemporalReference(const Fixture& f, size_t packet) {
    CheckRange(f, packet, packet + 1);
    const uint64_t at = PictureHeaderOffset(f, packet);
    if (at == 0)
        return -1;
    return (f.bytes[at + 4] << 2) | (f.bytes[at + 5] >> 6);
}

std::vector<uint8_t> ZeroRunsLeftOut(const std::vector<uint8_t>& bytes) {
    std::vector<uint8_t> out;
    for (std::size_t i = 0; i < bytes.size();) {
        std::size_t j = i;
        while (j < bytes.size() && bytes[j] == 0)
            ++j;
        if (j == i)
            ++j;
        else if (j - i >= 32768)
            i = j - 2;
        out.insert(out.end(), bytes.begin() + static_cast<long>(i),
                   bytes.begin() + static_cast<long>(j));
        i = j;
    }
    return out;
}
