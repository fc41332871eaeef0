#include "picture/picture.h"

#include <zlib.h>

#include <cstdlib>

namespace {

void PutUint32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(value >> shift));
}

// A chunk: its length, type and data, and the CRC-32 of type and data.
void PutChunk(std::vector<std::uint8_t>& out, const char type[4], const std::uint8_t* data,
              std::size_t size) {
    PutUint32(out, static_cast<std::uint32_t>(size));
    const std::size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data, data + size);
    const uLong crc = crc32(0L, out.data() + start, static_cast<uInt>(size + 4));
    PutUint32(out, static_cast<std::uint32_t>(crc));
}

std::uint8_t Paeth(int a, int b, int c) {
    const int p = a + b - c;
    const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    return static_cast<std::uint8_t>(pa <= pb && pa <= pc ? a : pb <= pc ? b : c);
}

// The rows, each after its filter type byte: of the five filters, the one
// whose bytes have the least sum taken as signed, the usual choice.
std::vector<std::uint8_t> FilteredRows(const CImage& image) {
    const std::size_t stride = static_cast<std::size_t>(image.width) * 3;
    std::vector<std::uint8_t> rows;
    rows.reserve((stride + 1) * image.height);
    std::vector<std::uint8_t> trial[5];
    for (auto& t : trial)
        t.resize(stride);
    for (int y = 0; y < image.height; ++y) {
        const std::uint8_t* row = image.rgb.data() + y * stride;
        const std::uint8_t* up = y > 0 ? row - stride : nullptr;
        std::size_t best = 0;
        unsigned long bestCost = ~0ul;
        for (int filter = 0; filter < 5; ++filter) {
            unsigned long cost = 0;
            for (std::size_t i = 0; i < stride; ++i) {
                const int a = i >= 3 ? row[i - 3] : 0;
                const int b = up ? up[i] : 0;
                const int c = up && i >= 3 ? up[i - 3] : 0;
                const int predicted = filter == 1   ? a
                                      : filter == 2 ? b
                                      : filter == 3 ? (a + b) / 2
                                      : filter == 4 ? Paeth(a, b, c)
                                                    : 0;
                const std::uint8_t value = static_cast<std::uint8_t>(row[i] - predicted);
                trial[filter][i] = value;
                cost += static_cast<unsigned long>(std::abs(static_cast<std::int8_t>(value)));
            }
            if (cost < bestCost) {
                bestCost = cost;
                best = static_cast<std::size_t>(filter);
            }
        }
        rows.push_back(static_cast<std::uint8_t>(best));
        rows.insert(rows.end(), trial[best].begin(), trial[best].end());
    }
    return rows;
}

} // namespace

std::vector<std::uint8_t> EncodePng(const CImage& image) {
    std::vector<std::uint8_t> png;
    if (image.Empty() ||
        image.rgb.size() != static_cast<std::size_t>(image.width) * image.height * 3)
        return png;
    const std::vector<std::uint8_t> rows = FilteredRows(image);
    uLongf packedSize = compressBound(static_cast<uLong>(rows.size()));
    std::vector<std::uint8_t> packed(packedSize);
    if (compress2(packed.data(), &packedSize, rows.data(), static_cast<uLong>(rows.size()),
                  Z_BEST_SPEED) != Z_OK)
        return png;

    static const std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    png.assign(kSignature, kSignature + 8);
    // IHDR: width(4) height(4) bit depth 8, colour type 2 (RGB), compression
    // 0, filter 0, interlace 0.
    std::vector<std::uint8_t> header;
    PutUint32(header, static_cast<std::uint32_t>(image.width));
    PutUint32(header, static_cast<std::uint32_t>(image.height));
    header.insert(header.end(), {8, 2, 0, 0, 0});
    PutChunk(png, "IHDR", header.data(), header.size());
    PutChunk(png, "IDAT", packed.data(), packedSize);
    PutChunk(png, "IEND", nullptr, 0);
    return png;
}
