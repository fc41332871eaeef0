#include "picture/image.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

// The width a picture of this height has in its display aspect; its own
// width when its sequence header gives no aspect or one no broadcast has.
int DisplayWidth(const CImage& image) {
    const double aspect = image.displayAspect;
    if (!(aspect >= 0.5 && aspect <= 3))
        return image.width;
    return std::max(1, static_cast<int>(std::lround(image.height * aspect)));
}

// The image stretched or squeezed to `width`, each row resampled linearly
// between the two nearest pixels: each new column's two pixels and share
// found once, then the rows each in one pass.
CImage Resampled(const CImage& image, int width) {
    CImage out;
    out.width = width;
    out.height = image.height;
    out.displayAspect = image.displayAspect;
    out.rgb.resize(static_cast<std::size_t>(width) * image.height * 3);
    struct Column {
        int left, right;
        double share;
    };
    std::vector<Column> columns(static_cast<std::size_t>(width));
    const double step = static_cast<double>(image.width) / width;
    for (int x = 0; x < width; ++x) {
        const double at = std::clamp((x + 0.5) * step - 0.5, 0.0, image.width - 1.0);
        const int left = static_cast<int>(at);
        columns[x] = {left * 3, std::min(left + 1, image.width - 1) * 3, at - left};
    }
    for (int y = 0; y < image.height; ++y) {
        const std::uint8_t* row = image.rgb.data() + static_cast<std::size_t>(y) * image.width * 3;
        std::uint8_t* to = out.rgb.data() + static_cast<std::size_t>(y) * width * 3;
        for (const Column& column : columns)
            for (int c = 0; c < 3; ++c)
                // Not below zero: adding a half and truncating rounds as lround.
                *to++ = static_cast<std::uint8_t>(row[column.left + c] * (1 - column.share) +
                                                  row[column.right + c] * column.share + 0.5);
    }
    return out;
}

} // namespace

CPictureAt ShownPicture(double seconds, const CImage& image) {
    CPictureAt shown;
    shown.seconds = seconds;
    if (image.Empty() ||
        image.rgb.size() != static_cast<std::size_t>(image.width) * image.height * 3)
        return shown;
    const int width = DisplayWidth(image);
    shown.png = EncodePng(width == image.width ? image : Resampled(image, width));
    if (!shown.png.empty()) {
        shown.width = width;
        shown.height = image.height;
    }
    return shown;
}
