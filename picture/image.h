// The small images the decoder makes, and their PNG files in the shape they
// are shown in. Used only inside picture/.
#pragma once

#include "picture/picture.h"

#include <cstdint>
#include <vector>

// An image of 8-bit RGB pixels, row by row from the top, three bytes a pixel.
struct CImage {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb; // width * height * 3 bytes
    // The shape the picture is shown in, width over height (4:3 gives 1.333),
    // as its sequence header says; 0 when it says nothing of it.
    double displayAspect = 0;

    bool Empty() const { return width == 0 || height == 0; }
};

// The image as a PNG file: 8-bit RGB, not interlaced, compressed with zlib.
// Empty for an empty image.
std::vector<std::uint8_t> EncodePng(const CImage& image);

// The picture at `seconds` as it is shown: the image stretched or squeezed
// to its display aspect at its own height (its own width when the sequence
// header gives no aspect or one no broadcast has), as PNG.
CPictureAt ShownPicture(double seconds, const CImage& image);
