// ts_to_pes: depacketise one PID of an MPEG transport stream into the PES packets it carries.
//
// This is how the recorder's own streams look on its disk: a broadcast transport stream split by
// PID, each elementary stream kept as a plain run of PES packets. The test fixtures are made with
// it from a transport stream written by ffmpeg.
//
// Usage:
//   ts_to_pes input.ts PID out.pes out.idx [--strip-stuffing]
//       Writes the PES packets of PID (decimal, or hex with 0x) to out.pes, exactly the bytes as
//       carried in the transport packets, and an index of them to out.idx.
//   ts_to_pes --list input.ts
//       Lists the PIDs of the stream with their packet counts, the stream types given in the PMTs
//       and the stream id of the first PES packet seen on each PID.
//   ts_to_pes --summary in.pes in.idx
//       Checks a .pes file against its index and prints one line of key=value facts about its
//       packets (stream ids, time stamps, PES_packet_length, header stuffing, payload sizes).
//   ts_to_pes --payloads in.pes in.idx out.es
//       Writes the payloads of all packets, one after the other, to out.es: the elementary stream.
//
// The transport stream is read packet by packet (188 bytes, sync byte 0x47). A PES packet starts
// in a transport packet with payload_unit_start_indicator set; adaptation fields are skipped.
// Damaged input is handled without fuss: transport packets with transport_error_indicator set are
// ignored, a lost sync byte is searched for again, a continuity counter gap throws away the PES
// packet being collected (collection starts again at the next unit start), a PES packet that is
// shorter than its PES_packet_length says is dropped, and a short packet at the end of the input
// ends the run.
//
// With --strip-stuffing, stuffing bytes (0xFF) at the end of a PES header are removed and
// PES_header_data_length and PES_packet_length are adjusted to match. Without it the packets are
// written exactly as carried.
//
// Index file format (text, one line per PES packet, all numbers decimal):
//   # offset size payload_offset pts dts
//   <offset> <size> <payload_offset> <pts> <dts>
//   ...
// The first line is a comment starting with '#'. For each PES packet:
//   offset          byte offset in the .pes file of the packet's 00 00 01 <stream_id>
//   size            number of bytes of the packet in the .pes file, header included; for packets
//                   with PES_packet_length 0 (video) it is the distance to the next packet or to
//                   the end of the file
//   payload_offset  file offset of the first payload byte, after the PES header and any stuffing
//                   bytes in it: offset + 9 + PES_header_data_length (offset + 6 for stream ids
//                   that have no optional PES header, such as padding or private stream 2)
//   pts, dts        the 33-bit time stamps in 90 kHz units, or -1 when absent (dts is -1 when
//                   the packet carries a PTS only)

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr size_t kTsPacketSize = 188;
constexpr uint8_t kSyncByte = 0x47;

struct IndexEntry {
    uint64_t offset = 0;
    uint64_t size = 0;
    uint64_t payloadOffset = 0;
    int64_t pts = -1;
    int64_t dts = -1;
};

// Stream ids whose PES packets have no optional header (flags and header data length).
bool HasOptionalHeader(uint8_t streamId) {
    switch (streamId) {
    case 0xBC: // program stream map
    case 0xBE: // padding stream
    case 0xBF: // private stream 2
    case 0xF0: // ECM
    case 0xF1: // EMM
    case 0xF2: // DSM-CC
    case 0xF8: // H.222.1 type E
    case 0xFF: // program stream directory
        return false;
    default:
        return true;
    }
}

int64_t ReadTimestamp(const uint8_t* p) {
    return (static_cast<int64_t>((p[0] >> 1) & 0x07) << 30) | (static_cast<int64_t>(p[1]) << 22) |
           (static_cast<int64_t>(p[2] >> 1) << 15) | (static_cast<int64_t>(p[3]) << 7) |
           static_cast<int64_t>(p[4] >> 1);
}

// Reads the input transport stream and hands out its 188-byte packets, finding the sync byte
// again when it is lost.
class TsReader {
  public:
    explicit TsReader(std::vector<uint8_t> data) : data_(std::move(data)) {}

    // Returns a pointer to the next packet, or nullptr at the end of the usable input.
    const uint8_t* Next() {
        while (pos_ + kTsPacketSize <= data_.size()) {
            if (data_[pos_] == kSyncByte) {
                const uint8_t* p = &data_[pos_];
                pos_ += kTsPacketSize;
                return p;
            }
            ++lostSync_;
            Resync();
        }
        return nullptr;
    }

    size_t lostSync() const { return lostSync_; }
    size_t trailing() const { return data_.size() - pos_; }

  private:
    // Looks for a sync byte that is followed by another one a packet later (or by the end of
    // the data), so a stray 0x47 inside a payload is not taken for a packet start.
    void Resync() {
        ++pos_;
        while (pos_ < data_.size()) {
            if (data_[pos_] == kSyncByte &&
                (pos_ + kTsPacketSize >= data_.size() || data_[pos_ + kTsPacketSize] == kSyncByte))
                return;
            ++pos_;
        }
    }

    std::vector<uint8_t> data_;
    size_t pos_ = 0;
    size_t lostSync_ = 0;
};

struct TsPacket {
    bool errorIndicator = false;
    bool unitStart = false;
    unsigned pid = 0;
    unsigned continuity = 0;
    bool hasPayload = false;
    bool discontinuity = false;
    const uint8_t* payload = nullptr;
    size_t payloadSize = 0;
};

// Splits a transport packet into its fields; returns false when the adaptation field does not
// fit in the packet.
bool ParseTsPacket(const uint8_t* p, TsPacket& out) {
    out.errorIndicator = (p[1] & 0x80) != 0;
    out.unitStart = (p[1] & 0x40) != 0;
    out.pid = ((p[1] & 0x1Fu) << 8) | p[2];
    const unsigned afc = (p[3] >> 4) & 0x03;
    out.continuity = p[3] & 0x0F;
    out.hasPayload = (afc & 0x01) != 0;
    out.discontinuity = false;
    size_t pos = 4;
    if (afc & 0x02) {
        const size_t afLength = p[4];
        if (5 + afLength > kTsPacketSize)
            return false;
        if (afLength > 0)
            out.discontinuity = (p[5] & 0x80) != 0;
        pos = 5 + afLength;
    }
    if (afc == 0)
        return false; // reserved value, no payload to take
    out.payload = p + pos;
    out.payloadSize = out.hasPayload ? kTsPacketSize - pos : 0;
    return true;
}

// Collects the PES packets of one PID and writes them out.
class PesCollector {
  public:
    PesCollector(std::ostream& pes, bool stripStuffing)
        : pes_(pes), stripStuffing_(stripStuffing) {}

    void Feed(const TsPacket& ts) {
        if (ts.errorIndicator)
            return;
        if (haveContinuity_) {
            const unsigned expected =
                ts.hasPayload ? (lastContinuity_ + 1) & 0x0F : lastContinuity_;
            if (ts.hasPayload && ts.continuity == lastContinuity_ && !ts.discontinuity)
                return; // duplicate packet

            if (ts.continuity != expected && !ts.discontinuity) {
                ++continuityErrors_;
                current_.clear();
                collecting_ = false;
            }
        }
        haveContinuity_ = true;
        lastContinuity_ = ts.continuity;
        if (!ts.hasPayload)
            return;
        if (ts.unitStart) {
            Finish();
            current_.assign(ts.payload, ts.payload + ts.payloadSize);
            collecting_ = true;
        } else if (collecting_) {
            current_.insert(current_.end(), ts.payload, ts.payload + ts.payloadSize);
        }
    }

    // Completes the PES packet being collected.
    void Finish() {
        if (!collecting_)
            return;
        collecting_ = false;
        std::vector<uint8_t> packet;
        packet.swap(current_);
        if (packet.size() < 6 || packet[0] != 0 || packet[1] != 0 || packet[2] != 1) {
            ++dropped_;
            return;
        }
        const size_t declared = (static_cast<size_t>(packet[4]) << 8) | packet[5];
        if (declared != 0) {
            if (packet.size() < 6 + declared) {
                ++dropped_;
                return;
            }
            packet.resize(6 + declared); // anything after the packet is not part of it
        }
        // A packet with PES_packet_length 0 that is cut off at the end of the input is still
        // written: nothing says how long it should have been.
        IndexEntry entry;
        const uint8_t streamId = packet[3];
        size_t headerEnd = 6;
        if (HasOptionalHeader(streamId)) {
            if (packet.size() < 9 || (packet[6] & 0xC0) != 0x80) {
                ++dropped_;
                return;
            }
            size_t headerLength = packet[8];
            if (9 + headerLength > packet.size()) {
                ++dropped_;
                return;
            }
            const unsigned ptsDtsFlags = (packet[7] >> 6) & 0x03;
            if (ptsDtsFlags >= 2 && headerLength >= 5)
                entry.pts = ReadTimestamp(&packet[9]);
            if (ptsDtsFlags == 3 && headerLength >= 10)
                entry.dts = ReadTimestamp(&packet[14]);
            if (stripStuffing_)
                StripStuffing(packet, headerLength);
            headerEnd = 9 + headerLength;
        }
        entry.offset = written_;
        entry.size = packet.size();
        entry.payloadOffset = written_ + headerEnd;
        pes_.write(reinterpret_cast<const char*>(packet.data()),
                   static_cast<std::streamsize>(packet.size()));
        written_ += packet.size();
        index_.push_back(entry);
    }

    // Packets with PES_packet_length 0 are written whole, up to the next unit start, so their
    // sizes already reach the next packet or the end of the file.
    const std::vector<IndexEntry>& index() const { return index_; }
    size_t dropped() const { return dropped_; }
    size_t continuityErrors() const { return continuityErrors_; }
    size_t strippedBytes() const { return strippedBytes_; }

  private:
    // Works out how many bytes of the PES header fields are in use from the flags, and removes
    // the 0xFF stuffing bytes that follow them.
    void StripStuffing(std::vector<uint8_t>& packet, size_t& headerLength) {
        const uint8_t flags = packet[7];
        size_t used = 0;
        const unsigned ptsDtsFlags = (flags >> 6) & 0x03;
        if (ptsDtsFlags == 2)
            used += 5;
        else if (ptsDtsFlags == 3)
            used += 10;
        if (flags & 0x20)
            used += 6; // ESCR
        if (flags & 0x10)
            used += 3; // ES rate
        if (flags & 0x08)
            used += 1; // DSM trick mode
        if (flags & 0x04)
            used += 1; // additional copy info
        if (flags & 0x02)
            used += 2; // previous PES CRC
        if (flags & 0x01)
            return; // PES extension: leave such headers alone
        if (used >= headerLength)
            return;
        for (size_t i = 9 + used; i < 9 + headerLength; ++i) {
            if (packet[i] != 0xFF)
                return; // not stuffing: leave the header as it is
        }
        const size_t removed = headerLength - used;
        packet.erase(packet.begin() + static_cast<std::ptrdiff_t>(9 + used),
                     packet.begin() + static_cast<std::ptrdiff_t>(9 + headerLength));
        headerLength = used;
        packet[8] = static_cast<uint8_t>(used);
        const size_t declared = (static_cast<size_t>(packet[4]) << 8) | packet[5];
        if (declared != 0) {
            const size_t now = declared - removed;
            packet[4] = static_cast<uint8_t>(now >> 8);
            packet[5] = static_cast<uint8_t>(now & 0xFF);
        }
        strippedBytes_ += removed;
    }

    std::ostream& pes_;
    bool stripStuffing_;
    std::vector<uint8_t> current_;
    bool collecting_ = false;
    bool haveContinuity_ = false;
    unsigned lastContinuity_ = 0;
    uint64_t written_ = 0;
    std::vector<IndexEntry> index_;
    size_t dropped_ = 0;
    size_t continuityErrors_ = 0;
    size_t strippedBytes_ = 0;
};

bool ReadFile(const std::string& path, std::vector<uint8_t>& data) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

bool ParsePid(const std::string& text, unsigned& pid) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || value > 0x1FFF)
        return false;
    pid = static_cast<unsigned>(value);
    return true;
}

int Extract(const std::string& input, unsigned pid, const std::string& pesPath,
            const std::string& idxPath, bool stripStuffing) {
    std::vector<uint8_t> data;
    if (!ReadFile(input, data)) {
        std::cerr << "ts_to_pes: cannot read " << input << "\n";
        return 1;
    }
    std::ofstream pes(pesPath, std::ios::binary | std::ios::trunc);
    if (!pes) {
        std::cerr << "ts_to_pes: cannot write " << pesPath << "\n";
        return 1;
    }
    TsReader reader(std::move(data));
    PesCollector collector(pes, stripStuffing);
    while (const uint8_t* p = reader.Next()) {
        TsPacket ts;
        if (!ParseTsPacket(p, ts) || ts.pid != pid)
            continue;
        collector.Feed(ts);
    }
    collector.Finish();
    pes.close();
    if (!pes) {
        std::cerr << "ts_to_pes: error writing " << pesPath << "\n";
        return 1;
    }
    std::ofstream idx(idxPath, std::ios::trunc);
    if (!idx) {
        std::cerr << "ts_to_pes: cannot write " << idxPath << "\n";
        return 1;
    }
    idx << "# offset size payload_offset pts dts\n";
    for (const IndexEntry& e : collector.index())
        idx << e.offset << ' ' << e.size << ' ' << e.payloadOffset << ' ' << e.pts << ' ' << e.dts
            << '\n';
    idx.close();
    if (!idx) {
        std::cerr << "ts_to_pes: error writing " << idxPath << "\n";
        return 1;
    }
    std::cerr << "ts_to_pes: PID " << pid << ": " << collector.index().size() << " PES packets";
    if (collector.dropped())
        std::cerr << ", " << collector.dropped() << " damaged packets dropped";
    if (collector.continuityErrors())
        std::cerr << ", " << collector.continuityErrors() << " continuity errors";
    if (reader.lostSync())
        std::cerr << ", sync lost " << reader.lostSync() << " times";
    if (reader.trailing())
        std::cerr << ", " << reader.trailing() << " trailing bytes ignored";
    if (stripStuffing)
        std::cerr << ", " << collector.strippedBytes() << " header stuffing bytes removed";
    std::cerr << "\n";
    return collector.index().empty() ? 2 : 0;
}

// Takes the sections of PAT and PMTs that start in a single transport packet, which is what
// muxers write for such short tables.
int List(const std::string& input) {
    std::vector<uint8_t> data;
    if (!ReadFile(input, data)) {
        std::cerr << "ts_to_pes: cannot read " << input << "\n";
        return 1;
    }
    TsReader reader(std::move(data));
    std::map<unsigned, size_t> counts;
    std::map<unsigned, int> firstStreamId;
    std::map<unsigned, unsigned> streamTypes;
    std::set<unsigned> pmtPids;
    while (const uint8_t* p = reader.Next()) {
        TsPacket ts;
        if (!ParseTsPacket(p, ts) || ts.errorIndicator)
            continue;
        ++counts[ts.pid];
        if (!ts.hasPayload || !ts.unitStart || ts.payloadSize < 1)
            continue;
        const bool psi = ts.pid == 0 || pmtPids.count(ts.pid) != 0;
        if (!psi) {
            if (!firstStreamId.count(ts.pid) && ts.payloadSize >= 4 && ts.payload[0] == 0 &&
                ts.payload[1] == 0 && ts.payload[2] == 1)
                firstStreamId[ts.pid] = ts.payload[3];
            continue;
        }
        const size_t pointer = ts.payload[0];
        if (1 + pointer + 3 > ts.payloadSize)
            continue;
        const uint8_t* s = ts.payload + 1 + pointer;
        const size_t sectionLength = ((s[1] & 0x0Fu) << 8) | s[2];
        if (1 + pointer + 3 + sectionLength > ts.payloadSize || sectionLength < 9)
            continue;
        const uint8_t* end = s + 3 + sectionLength - 4; // before CRC
        if (ts.pid == 0 && s[0] == 0x00) {
            for (const uint8_t* q = s + 8; q + 4 <= end; q += 4) {
                const unsigned program = (static_cast<unsigned>(q[0]) << 8) | q[1];
                const unsigned pmt = ((q[2] & 0x1Fu) << 8) | q[3];
                if (program != 0)
                    pmtPids.insert(pmt);
            }
        } else if (s[0] == 0x02 && sectionLength >= 13) {
            const size_t infoLength = ((s[10] & 0x0Fu) << 8) | s[11];
            const uint8_t* q = s + 12 + infoLength;
            while (q + 5 <= end) {
                const unsigned type = q[0];
                const unsigned esPid = ((q[1] & 0x1Fu) << 8) | q[2];
                const size_t esInfo = ((q[3] & 0x0Fu) << 8) | q[4];
                streamTypes[esPid] = type;
                q += 5 + esInfo;
            }
        }
    }
    std::printf("%-8s %-8s %-10s %-12s %s\n", "PID", "hex", "packets", "stream_type", "stream_id");
    for (const auto& c : counts) {
        char type[16] = "-";
        char sid[16] = "-";
        if (streamTypes.count(c.first))
            std::snprintf(type, sizeof type, "0x%02X", streamTypes[c.first]);
        else if (c.first == 0)
            std::snprintf(type, sizeof type, "PAT");
        else if (pmtPids.count(c.first))
            std::snprintf(type, sizeof type, "PMT");
        if (firstStreamId.count(c.first))
            std::snprintf(sid, sizeof sid, "0x%02X", firstStreamId[c.first]);
        std::printf("%-8u 0x%04X   %-10zu %-12s %s\n", c.first, c.first, c.second, type, sid);
    }
    return 0;
}

bool ReadIndex(const std::string& path, std::vector<IndexEntry>& index) {
    std::ifstream in(path);
    if (!in)
        return false;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        IndexEntry e;
        long long offset = 0, size = 0, payload = 0, pts = 0, dts = 0;
        if (std::sscanf(line.c_str(), "%lld %lld %lld %lld %lld", &offset, &size, &payload, &pts,
                        &dts) != 5)
            return false;
        e.offset = static_cast<uint64_t>(offset);
        e.size = static_cast<uint64_t>(size);
        e.payloadOffset = static_cast<uint64_t>(payload);
        e.pts = pts;
        e.dts = dts;
        index.push_back(e);
    }
    return true;
}

bool LoadPesAndIndex(const std::string& pesPath, const std::string& idxPath,
                     std::vector<uint8_t>& data, std::vector<IndexEntry>& index) {
    if (!ReadFile(pesPath, data)) {
        std::cerr << "ts_to_pes: cannot read " << pesPath << "\n";
        return false;
    }
    if (!ReadIndex(idxPath, index)) {
        std::cerr << "ts_to_pes: cannot read index " << idxPath << "\n";
        return false;
    }
    uint64_t expected = 0;
    for (const IndexEntry& e : index) {
        if (e.offset != expected || e.size < 6 || e.offset + e.size > data.size() ||
            e.payloadOffset < e.offset + 6 || e.payloadOffset > e.offset + e.size ||
            data[e.offset] != 0 || data[e.offset + 1] != 0 || data[e.offset + 2] != 1) {
            std::cerr << "ts_to_pes: index entry at " << e.offset << " does not match the file\n";
            return false;
        }
        expected = e.offset + e.size;
    }
    if (expected != data.size()) {
        std::cerr << "ts_to_pes: index does not cover the whole file\n";
        return false;
    }
    return true;
}

int Summary(const std::string& pesPath, const std::string& idxPath) {
    std::vector<uint8_t> data;
    std::vector<IndexEntry> index;
    if (!LoadPesAndIndex(pesPath, idxPath, data, index))
        return 1;
    std::set<unsigned> streamIds;
    std::set<uint64_t> payloadSizes;
    size_t withPts = 0, withDts = 0, dtsEqualPts = 0, zeroLength = 0, lengthMismatch = 0;
    size_t stuffed = 0, aligned = 0;
    for (const IndexEntry& e : index) {
        const uint8_t* p = &data[e.offset];
        streamIds.insert(p[3]);
        const size_t declared = (static_cast<size_t>(p[4]) << 8) | p[5];
        if (declared == 0)
            ++zeroLength;
        else if (declared + 6 != e.size)
            ++lengthMismatch;
        if (e.pts >= 0)
            ++withPts;
        if (e.dts >= 0) {
            ++withDts;
            if (e.dts == e.pts)
                ++dtsEqualPts;
        }
        if (HasOptionalHeader(p[3]) && e.size >= 9) {
            const unsigned ptsDtsFlags = (p[7] >> 6) & 0x03;
            const size_t needed = ptsDtsFlags == 3 ? 10 : ptsDtsFlags == 2 ? 5 : 0;
            if ((p[7] & 0x3F) == 0 && p[8] > needed)
                ++stuffed;
            if (p[6] & 0x04)
                ++aligned;
        }
        payloadSizes.insert(e.offset + e.size - e.payloadOffset);
    }
    std::printf("packets=%zu stream_ids=", index.size());
    bool first = true;
    for (unsigned id : streamIds) {
        std::printf("%s%02x", first ? "" : ",", id);
        first = false;
    }
    std::printf(" with_pts=%zu with_dts=%zu dts_equal_pts=%zu zero_length=%zu "
                "length_mismatch=%zu header_stuffing=%zu data_aligned=%zu",
                withPts, withDts, dtsEqualPts, zeroLength, lengthMismatch, stuffed, aligned);
    if (!index.empty())
        std::printf(" first_pts=%lld last_pts=%lld", static_cast<long long>(index.front().pts),
                    static_cast<long long>(index.back().pts));
    if (payloadSizes.size() <= 4) {
        std::printf(" payload_sizes=");
        first = true;
        for (uint64_t size : payloadSizes) {
            std::printf("%s%llu", first ? "" : ",", static_cast<unsigned long long>(size));
            first = false;
        }
    } else {
        std::printf(" payload_sizes=varied");
    }
    std::printf("\n");
    return 0;
}

int Payloads(const std::string& pesPath, const std::string& idxPath, const std::string& outPath) {
    std::vector<uint8_t> data;
    std::vector<IndexEntry> index;
    if (!LoadPesAndIndex(pesPath, idxPath, data, index))
        return 1;
    std::ofstream out(outPath, std::ios::binary | std::ios::trunc);
    for (const IndexEntry& e : index)
        out.write(reinterpret_cast<const char*>(&data[e.payloadOffset]),
                  static_cast<std::streamsize>(e.offset + e.size - e.payloadOffset));
    out.close();
    if (!out) {
        std::cerr << "ts_to_pes: error writing " << outPath << "\n";
        return 1;
    }
    return 0;
}

void Usage() {
    std::cerr << "usage: ts_to_pes input.ts PID out.pes out.idx [--strip-stuffing]\n"
                 "       ts_to_pes --list input.ts\n"
                 "       ts_to_pes --summary in.pes in.idx\n"
                 "       ts_to_pes --payloads in.pes in.idx out.es\n";
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 2 && args[0] == "--list")
        return List(args[1]);
    if (args.size() == 3 && args[0] == "--summary")
        return Summary(args[1], args[2]);
    if (args.size() == 4 && args[0] == "--payloads")
        return Payloads(args[1], args[2], args[3]);
    bool strip = false;
    if (!args.empty() && args.back() == "--strip-stuffing") {
        strip = true;
        args.pop_back();
    }
    if (args.size() != 4) {
        Usage();
        return 1;
    }
    unsigned pid = 0;
    if (!ParsePid(args[1], pid)) {
        std::cerr << "ts_to_pes: bad PID " << args[1] << "\n";
        return 1;
    }
    return Extract(args[0], pid, args[2], args[3], strip);
}
