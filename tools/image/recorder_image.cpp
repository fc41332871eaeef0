#include "image/recorder_image.h"

#include "platform/format.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace image {

namespace {

void Put16(std::uint8_t* p, std::int32_t value) {
    p[0] = static_cast<std::uint8_t>(value & 0xFF);
    p[1] = static_cast<std::uint8_t>((value >> 8) & 0xFF);
}

// Writing past the end leaves a hole that reads as zero bytes, on Linux and
// on Windows alike.
bool WriteAt(std::ofstream& out, std::uint64_t offset, const std::uint8_t* data, std::size_t size) {
    out.seekp(static_cast<std::streamoff>(offset));
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    return static_cast<bool>(out);
}

} // namespace

std::uint64_t ClusterOffset(int cluster, std::uint64_t clusterBytes) {
    return static_cast<std::uint64_t>(cluster - 1) * clusterBytes +
           std::uint64_t{kDataStartSector} * kSectorSize;
}

std::array<std::uint8_t, 512> HeaderSector(const Recording& rec) {
    std::array<std::uint8_t, 512> s{};
    s[0x00] = static_cast<std::uint8_t>(rec.recordNo);
    std::copy_n(rec.station.begin(), std::min<std::size_t>(rec.station.size(), 14), &s[0x01]);
    std::copy_n(rec.clip.begin(), std::min<std::size_t>(rec.clip.size(), 41), &s[0x0F]);
    Put16(&s[0x38], rec.year);
    s[0x3A] = static_cast<std::uint8_t>(rec.month);
    s[0x3B] = static_cast<std::uint8_t>(rec.day);
    s[0x3C] = static_cast<std::uint8_t>(rec.hour);
    s[0x3D] = static_cast<std::uint8_t>(rec.minute);
    s[0x3E] = static_cast<std::uint8_t>(rec.second);
    s[0x40] = static_cast<std::uint8_t>(rec.lengthHours);
    s[0x41] = static_cast<std::uint8_t>(rec.lengthMinutes);
    s[0x42] = static_cast<std::uint8_t>(rec.lengthSeconds);
    Put16(&s[0x48], rec.vClusters);
    Put16(&s[0x4A], rec.aClusters);
    Put16(&s[0x54], rec.firstVCluster);
    Put16(&s[0x56], rec.firstACluster);
    for (std::size_t j = 0; j < rec.skip.size(); ++j) {
        Put16(&s[0x58 + 4 * j], rec.skip[j].first);
        Put16(&s[0x5A + 4 * j], rec.skip[j].second);
    }
    return s;
}

void RecorderImage::SetNext(int cluster, std::uint16_t next, std::uint16_t high) {
    table[cluster] = (std::uint32_t{high} << 16) | next;
}

void RecorderImage::LinkChain(const std::vector<int>& clusters) {
    for (std::size_t i = 0; i < clusters.size(); ++i) {
        const bool last = i + 1 == clusters.size();
        SetNext(clusters[i], last ? kChainEnd : static_cast<std::uint16_t>(clusters[i + 1]));
    }
}

void RecorderImage::PlaceChainData(const std::vector<int>& clusters, std::uint64_t chainOffset,
                                   const std::vector<std::uint8_t>& bytes) {
    std::uint64_t done = 0;
    while (done < bytes.size()) {
        const std::uint64_t at = chainOffset + done;
        const std::size_t index = static_cast<std::size_t>(at / clusterBytes);
        if (index >= clusters.size())
            return; // beyond the chain: dropped
        const std::uint64_t inCluster = at % clusterBytes;
        const std::uint64_t room = clusterBytes - inCluster;
        const std::uint64_t take = std::min<std::uint64_t>(room, bytes.size() - done);
        extents.emplace_back(
            ClusterOffset(clusters[index], clusterBytes) + inCluster,
            std::vector<std::uint8_t>(bytes.begin() + static_cast<long>(done),
                                      bytes.begin() + static_cast<long>(done + take)));
        done += take;
    }
}

void RecorderImage::PlaceBytes(std::uint64_t offset, const std::vector<std::uint8_t>& bytes) {
    extents.emplace_back(offset, bytes);
}

bool RecorderImage::Write(const std::string& path) const {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        return false;
    bool ok = true;

    std::array<std::uint8_t, 512> toc{};
    Put16(&toc[0x0A], usedClusters);
    Put16(&toc[0x0C], freeClusters);
    toc[0x0E] = static_cast<std::uint8_t>(fileCount < 0 ? recordings.size() : fileCount);
    ok = ok && WriteAt(out, 0, toc.data(), toc.size());

    std::vector<std::uint8_t> entries(kClusterTableBytes, 0);
    for (const auto& [cluster, value] : table) {
        if (cluster < 0 || cluster >= static_cast<int>(kClusterTableEntries))
            continue;
        for (int b = 0; b < 4; ++b)
            entries[static_cast<std::size_t>(cluster) * 4 + b] =
                static_cast<std::uint8_t>(value >> (8 * b));
    }
    ok = ok && WriteAt(out, kClusterTableOffset, entries.data(), entries.size());

    std::uint64_t end = kFirstHeaderSector * kSectorSize;
    for (std::size_t i = 0; i < recordings.size(); ++i) {
        const std::uint64_t at = (kFirstHeaderSector + i) * kSectorSize;
        ok = ok && WriteAt(out, at, recordings[i].data(), recordings[i].size());
        end = std::max<std::uint64_t>(end, at + kSectorSize);
    }
    for (const auto& [offset, bytes] : extents) {
        ok = ok && WriteAt(out, offset, bytes.data(), bytes.size());
        end = std::max<std::uint64_t>(end, offset + bytes.size());
    }
    out.close();
    std::error_code ec;
    std::filesystem::resize_file(path, size != 0 ? size : end, ec);
    return ok && !out.fail() && !ec;
}

} // namespace image
