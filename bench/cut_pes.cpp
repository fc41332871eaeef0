// cut_pes: one short recording cut from the fixtures, for the disk of many
// recordings in make bench (bench/many_recordings.sh).
//
//   cut_pes VIDEO.pes VIDEO.idx AUDIO.pes AUDIO.idx FIRST LAST SHIFT OUT_VIDEO OUT_AUDIO
//
// Writes video packets [FIRST, LAST) of VIDEO (by the index, see
// tests/fixtures/README.md) and the audio packets of the same time (PTS from
// that of video packet FIRST up to that of packet LAST), every PTS and DTS
// moved by SHIFT ticks of 90 kHz modulo 2^33, so that each recording of the
// disk has a clock of its own.
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Packet {
    std::uint64_t offset = 0, size = 0;
    std::int64_t pts = -1;
};

bool Load(const std::string& pes, const std::string& idx, std::vector<char>& bytes,
          std::vector<Packet>& packets) {
    std::ifstream in(pes, std::ios::binary), index(idx);
    if (!in || !index)
        return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    std::string line;
    while (std::getline(index, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream fields(line);
        Packet p;
        std::uint64_t payload = 0;
        fields >> p.offset >> p.size >> payload >> p.pts;
        if (!fields || p.offset + p.size > bytes.size())
            return false;
        packets.push_back(p);
    }
    return true;
}

void Shift(unsigned char* field, std::int64_t by) {
    std::int64_t t = (std::int64_t{field[0] & 0x0E} << 29) | (std::int64_t{field[1]} << 22) |
                     (std::int64_t{field[2] >> 1} << 15) | (std::int64_t{field[3]} << 7) |
                     (field[4] >> 1);
    const std::int64_t wrap = std::int64_t{1} << 33;
    t = ((t + by) % wrap + wrap) % wrap;
    field[0] = static_cast<unsigned char>((field[0] & 0xF0) | ((t >> 29) & 0x0E) | 1);
    field[1] = static_cast<unsigned char>(t >> 22);
    field[2] = static_cast<unsigned char>(((t >> 14) & 0xFE) | 1);
    field[3] = static_cast<unsigned char>(t >> 7);
    field[4] = static_cast<unsigned char>(((t << 1) & 0xFE) | 1);
}

bool Write(const std::string& path, std::vector<char>& bytes, const std::vector<Packet>& packets,
           std::size_t first, std::size_t last, std::int64_t by) {
    std::ofstream out(path, std::ios::binary);
    for (std::size_t i = first; i < last; ++i) {
        auto* p = reinterpret_cast<unsigned char*>(&bytes[packets[i].offset]);
        const int flags = p[7] >> 6;
        if (flags & 2)
            Shift(p + 9, by);
        if (flags == 3)
            Shift(p + 14, by);
        out.write(reinterpret_cast<const char*>(p), static_cast<std::streamsize>(packets[i].size));
    }
    return static_cast<bool>(out);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 10) {
        std::cerr << "usage: cut_pes VIDEO.pes VIDEO.idx AUDIO.pes AUDIO.idx FIRST LAST SHIFT "
                     "OUT_VIDEO OUT_AUDIO\n";
        return 2;
    }
    std::vector<char> video, audio;
    std::vector<Packet> vp, ap;
    if (!Load(argv[1], argv[2], video, vp) || !Load(argv[3], argv[4], audio, ap)) {
        std::cerr << "cut_pes: cannot read the fixtures\n";
        return 1;
    }
    const std::size_t first = std::strtoul(argv[5], nullptr, 10);
    const std::size_t last = std::strtoul(argv[6], nullptr, 10);
    const std::int64_t by = std::strtoll(argv[7], nullptr, 10);
    if (first >= last || last > vp.size()) {
        std::cerr << "cut_pes: no video packets " << first << " to " << last << "\n";
        return 1;
    }
    const std::int64_t from = vp[first].pts;
    const std::int64_t to = last < vp.size() ? vp[last].pts : INT64_MAX;
    std::size_t a = 0, b = 0;
    while (a < ap.size() && ap[a].pts < from)
        ++a;
    while (b < ap.size() && ap[b].pts < to)
        ++b;
    if (!Write(argv[8], video, vp, first, last, by) || !Write(argv[9], audio, ap, a, b, by)) {
        std::cerr << "cut_pes: cannot write\n";
        return 1;
    }
    return 0;
}
