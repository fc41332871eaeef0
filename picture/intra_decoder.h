// The decoder of intra pictures into small images: each 8x8 block gives the
// means of its pixels over boxes of the scale's size, computed straight from
// its coefficients (a reduced inverse DCT), so a picture costs the reading of
// its codes and a few multiplications a coefficient. Used only inside
// picture/.
#pragma once

#include "picture/image.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// What the sequence header and the sequence extension say.
struct SequenceFacts {
    int width = 0, height = 0;
    bool mpeg2 = false; // a sequence extension follows the sequence header
    bool progressiveSequence = true;
    int chromaFormat = 1; // 1: 4:2:0, 2: 4:2:2, 3: 4:4:4
    int aspectRatio = 0;  // aspect_ratio_information
    int frameRateCode = 0;
    int frameRateN = 0, frameRateD = 0; // frame_rate_extension_n and _d
    std::uint8_t intraMatrix[64];       // row * 8 + column
    std::uint8_t chromaIntraMatrix[64]; // the same, unless 4:2:2 or 4:4:4 loads its own
};

// What the picture header and the picture coding extension say.
struct PictureFacts {
    int codingType = 0; // 1: I, 2: P, 3: B
    int temporalReference = 0;
    int fCode[2] = {15, 15}; // forward horizontal and vertical, for concealment vectors
    int intraDcPrecision = 0;
    int structure = 3; // 1: top field, 2: bottom field, 3: frame
    bool topFieldFirst = false;
    bool framePredFrameDct = true;
    bool concealmentMotionVectors = false;
    bool qScaleType = false;
    bool intraVlcFormat = false;
    bool alternateScan = false;
    bool repeatFirstField = false;
};

class CIntraDecoder {
  public:
    // Pictures larger than MPEG-2's high level are not made.
    static constexpr int kMaxWidth = 1920;
    static constexpr int kMaxHeight = 1152;

    // Starts an intra picture of the sequence, every block grey; false when
    // it cannot be made (its size, or the reserved chroma_format 0).
    bool Begin(const SequenceFacts& sequence, const PictureFacts& picture);
    // The slice with the start code value `code` (its vertical position),
    // `data` the bytes after the start code. A code that is not in its table
    // or data that runs out ends the slice; its macroblocks decoded before
    // stay.
    void DecodeSlice(int code, const std::uint8_t* data, std::size_t size);
    // The share of the picture's macroblocks decoded, 0 to 1.
    double Coverage() const;
    // The small image, in RGB (BT.601, limited range).
    CImage Image() const;

  private:
    struct BlockShape;
    void SetQuantiser(int code);
    bool DecodeMacroblock(class CBitReader& bits);
    bool DecodeBlock(CBitReader& bits, int component, const BlockShape& shape, float* out,
                     int stride);
    void Commit(int mbx, int mby);
    // A component's blocks across and down a macroblock (luma 2 by 2; chroma
    // 1 by 1, 1 by 2 or 2 by 2), and its boxes in a macroblock.
    int BlocksWide(int component) const { return component == 0 || Seq.chromaFormat == 3 ? 2 : 1; }
    int BlocksHigh(int component) const { return component == 0 || Seq.chromaFormat != 1 ? 2 : 1; }
    int MbCols(int component) const { return BlocksWide(component) * 8 / Scale; }
    int MbBoxRows(int component) const {
        return BlocksHigh(component) * (Pic.structure == 3 ? 8 : 16) / Scale;
    }

    SequenceFacts Seq;
    PictureFacts Pic;
    int Scale = 4;               // pixels of the picture a pixel of the image spans, each way
    int MbWidth = 0, MbRows = 0; // macroblocks of a row, and rows of the picture
    int LumaWidth = 0, LumaHeight = 0;
    // The small image's planes, Y, Cb and Cr, each a box of its component a
    // byte, and their widths.
    std::vector<std::uint8_t> Planes[3];
    int PlaneWidth[3] = {};
    std::vector<std::uint8_t> Done; // a flag for each macroblock
    std::size_t MacroblocksDone = 0;

    // The slice's state.
    int QuantiserScale = 0; // as the dequantisation multiplies by it
    int DcPredictor[3] = {};

    // The macroblock being decoded, before it is committed: the boxes of
    // each component, at most 8 across and 16 down (a field picture at a
    // scale of 2).
    float MbBoxes[3][16 * 8];
};
