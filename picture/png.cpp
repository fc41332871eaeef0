#include "picture/image.h"

#include <zlib.h>

#include <algorithm>
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

// The row under one of the five filters (0 none, 1 Sub, 2 Up, 3 Average,
// 4 Paeth), each byte less the one it predicts from a, the byte of the pixel
// to the left, b, the byte above, and c, the byte above a; bytes left of the
// first pixel, and the row above the first row, are zeros. Each filter is a
// loop of its own, which the compiler can keep in registers or vectorise.
void FilterRow(int filter, const std::uint8_t* row, const std::uint8_t* up, std::size_t stride,
               std::uint8_t* out) {
    const std::size_t first = std::min<std::size_t>(3, stride);
    switch (filter) {
    case 0:
        std::copy(row, row + stride, out);
        break;
    case 1:
        std::copy(row, row + first, out);
        for (std::size_t i = 3; i < stride; ++i)
            out[i] = static_cast<std::uint8_t>(row[i] - row[i - 3]);
        break;
    case 2:
        for (std::size_t i = 0; i < stride; ++i)
            out[i] = static_cast<std::uint8_t>(row[i] - up[i]);
        break;
    case 3:
        for (std::size_t i = 0; i < first; ++i)
            out[i] = static_cast<std::uint8_t>(row[i] - up[i] / 2);
        for (std::size_t i = 3; i < stride; ++i)
            out[i] = static_cast<std::uint8_t>(row[i] - (row[i - 3] + up[i]) / 2);
        break;
    default:
        for (std::size_t i = 0; i < first; ++i)
            out[i] = static_cast<std::uint8_t>(row[i] - Paeth(0, up[i], 0));
        for (std::size_t i = 3; i < stride; ++i)
            out[i] = static_cast<std::uint8_t>(row[i] - Paeth(row[i - 3], up[i], up[i - 3]));
        break;
    }
}

// The sum of the bytes taken as signed, by which filters are compared.
unsigned long SignedSum(const std::uint8_t* bytes, std::size_t size) {
    unsigned long sum = 0;
    for (std::size_t i = 0; i < size; ++i)
        sum += static_cast<unsigned long>(std::abs(static_cast<std::int8_t>(bytes[i])));
    return sum;
}

// The rows, each after its filter type byte: of the five filters, the one
// whose bytes have the least sum taken as signed, the usual choice (the
// first of those with the least).
std::vector<std::uint8_t> FilteredRows(const CImage& image) {
    const std::size_t stride = static_cast<std::size_t>(image.width) * 3;
    std::vector<std::uint8_t> rows;
    rows.reserve((stride + 1) * image.height);
    const std::vector<std::uint8_t> zeros(stride, 0);
    std::vector<std::uint8_t> trial[5];
    for (auto& t : trial)
        t.resize(stride);
    for (int y = 0; y < image.height; ++y) {
        const std::uint8_t* row = image.rgb.data() + y * stride;
        const std::uint8_t* up = y > 0 ? row - stride : zeros.data();
        std::size_t best = 0;
        unsigned long bestCost = ~0ul;
        for (int filter = 0; filter < 5; ++filter) {
            FilterRow(filter, row, up, stride, trial[filter].data());
            const unsigned long cost = SignedSum(trial[filter].data(), stride);
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
