#include "support/ps_reader.h"
#include "support/harness.h"

namespace ps {
namespace {

int64_t TimeStamp(const uint8_t* p) {
    return (int64_t{p[0] & 0x0E} << 29) | (int64_t{p[1]} << 22) | (int64_t{p[2] >> 1} << 15) |
           (int64_t{p[3]} << 7) | (p[4] >> 1);
}

int64_t Scr27(const uint8_t* p) {
    const int64_t base = (int64_t{(p[0] >> 3) & 7} << 30) | (int64_t{p[0] & 3} << 28) |
                         (int64_t{p[1]} << 20) | (int64_t{p[2] >> 3} << 15) |
                         (int64_t{p[2] & 3} << 13) | (int64_t{p[3]} << 5) | (p[4] >> 3);
    const int64_t ext = ((p[4] & 3) << 7) | (p[5] >> 1);
    return base * 300 + ext;
}

int64_t BufferBytes(uint32_t field) { // '01' or '11' scale size(13)
    return (field & 0x1FFF) * ((field & 0x2000) ? 1024 : 128);
}

void ReadSystemHeader(const uint8_t* p, std::size_t length, Program& prog) {
    prog.systemHeader = true;
    prog.rateBound = ((p[6] & 0x7F) << 15) | (p[7] << 7) | (p[8] >> 1);
    prog.audioBound = p[9] >> 2;
    prog.videoBound = p[10] & 0x1F;
    for (std::size_t e = 12; e + 3 <= 6 + length; e += 3)
        prog.bufferBounds[p[e]] = BufferBytes((p[e + 1] << 8) | p[e + 2]);
}

// One PES packet of a media stream at p, `length` bytes after its length field.
void ReadPes(const uint8_t* p, std::size_t length, std::size_t pack, Program& prog) {
    int id = p[3];
    Pes pes{pack, prog.scr.back()};
    const int flags = p[7], headerLength = p[8];
    const uint8_t* h = p + 9;
    if (flags & 0x80)
        pes.pts = TimeStamp(h), h += 5;
    if ((flags & 0xC0) == 0xC0)
        pes.dts = TimeStamp(h), h += 5;
    if ((flags & 0x01) && (h[0] & 0x10))
        pes.bufferBytes = BufferBytes((h[1] << 8) | h[2]);
    const uint8_t* data = p + 9 + headerLength;
    const uint8_t* end = p + 6 + length;
    if (id == 0xBD) {
        id = 0x100 + data[0];
        pes.frames = data[1];
        pes.pointer = (data[2] << 8) | data[3];
        data += 4;
    }
    Stream& s = prog.streams[id];
    pes.offset = s.payload.size();
    pes.size = static_cast<uint64_t>(end - data);
    s.payload.insert(s.payload.end(), data, end);
    s.packets.push_back(pes);
}

} // namespace

Program Read(const std::string& path) {
    const std::vector<uint8_t> file = harness::ReadFile(path);
    Program prog;
    if (file.size() % 2048 != 0)
        prog.error = "file size " + std::to_string(file.size()) + " is not whole packs";
    for (std::size_t at = 0; prog.error.empty() && at < file.size(); at += 2048) {
        const uint8_t* p = file.data() + at;
        if (p[0] != 0 || p[1] != 0 || p[2] != 1 || p[3] != 0xBA || (p[4] & 0xC0) != 0x40) {
            prog.error = "no MPEG-2 pack header at " + std::to_string(at);
            break;
        }
        prog.scr.push_back(Scr27(p + 4));
        prog.muxRate.push_back((p[10] << 14) | (p[11] << 6) | (p[12] >> 2));
        std::size_t q = 14 + (p[13] & 7);
        while (q < 2048 && prog.error.empty()) {
            if (q + 6 > 2048 || p[q] != 0 || p[q + 1] != 0 || p[q + 2] != 1) {
                prog.error = "no packet at " + std::to_string(at + q);
                break;
            }
            const std::size_t length = (p[q + 4] << 8) | p[q + 5];
            if (q + 6 + length > 2048)
                prog.error = "packet beyond its pack at " + std::to_string(at + q);
            else if (p[q + 3] == 0xBB && at == 0)
                ReadSystemHeader(p + q, length, prog);
            else if (p[q + 3] == 0xBD || p[q + 3] >= 0xC0)
                ReadPes(p + q, length, prog.packs, prog);
            q += 6 + length;
        }
        ++prog.packs;
    }
    return prog;
}

} // namespace ps
