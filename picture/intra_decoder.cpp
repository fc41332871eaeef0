#include "picture/intra_decoder.h"

#include "picture/bit_reader.h"
#include "picture/mpeg_tables.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

// The mean over a box of n pixels (n = 1, 2, 4 or 8) of the inverse DCT's
// basis function u: kBoxWeights[log2 n][k][u] for the box of pixels k * n to
// k * n + n - 1 of a row or column of 8,
//   (1/n) sum of x over the box of C(u)/2 cos((2x + 1) u pi / 16),
// C(0) = 1/sqrt(2), C(u) = 1 otherwise. A block's pixel means over a box of
// rows and one of columns are then sum over v, u of F[v][u] times the row
// box's weight of v and the column box's weight of u.
struct BoxWeights {
    float w[4][8][8];
    BoxWeights() {
        const double pi = std::acos(-1.0);
        for (int log = 0; log < 4; ++log) {
            const int n = 1 << log;
            for (int k = 0; k < 8 / n; ++k)
                for (int u = 0; u < 8; ++u) {
                    double sum = 0;
                    for (int x = k * n; x < k * n + n; ++x)
                        sum += std::cos((2 * x + 1) * u * pi / 16);
                    const double c = u == 0 ? std::sqrt(0.5) : 1.0;
                    w[log][k][u] = static_cast<float>(c / 2 * sum / n);
                }
        }
    }
};
const BoxWeights kBoxWeights;

int Log2(int n) {
    int log = 0;
    while ((1 << log) < n)
        ++log;
    return log;
}

std::uint8_t Clamp(float value) {
    return static_cast<std::uint8_t>(std::min(255.0f, std::max(0.0f, value + 0.5f)));
}

std::uint8_t ClampInt(int value) {
    return static_cast<std::uint8_t>(std::min(255, std::max(0, value)));
}

// dc_dct_differential: `size` bits, a first bit of 0 for a difference below
// zero.
int DcDifferential(CBitReader& bits, int size) {
    if (size == 0)
        return 0;
    const int value = static_cast<int>(bits.Read(size));
    return value < (1 << (size - 1)) ? value + 1 - (1 << size) : value;
}

// Passes over the motion vector that an intra macroblock carries when
// concealment_motion_vectors is set: motion_code and motion_residual for each
// of its two components; false on a code not in table B.10.
bool SkipMotionVector(CBitReader& bits, const int fCode[2]) {
    for (int t = 0; t < 2; ++t) {
        const VlcMatch code = kMotionCode.Find(bits.Peek(16));
        if (!code.length)
            return false;
        bits.Skip(code.length);
        if (code.value != 0) {
            bits.Skip(1); // its sign
            if (fCode[t] > 1)
                bits.Skip(fCode[t] - 1);
        }
    }
    return true;
}

} // namespace

// Where a block's boxes go in the macroblock's: `rows` by `cols` boxes, each
// of boxRows rows and boxCols columns of the block, added with `weight` (one
// half for each field of a field-DCT macroblock, whose two fields' blocks
// share their boxes).
struct CIntraDecoder::BlockShape {
    int rows, cols;
    const float (*rowWeights)[8];
    const float (*colWeights)[8];
    float weight;
};

bool CIntraDecoder::Begin(const SequenceFacts& sequence, const PictureFacts& picture) {
    if (sequence.width <= 0 || sequence.height <= 0 || sequence.width > kMaxWidth ||
        sequence.height > kMaxHeight || sequence.chromaFormat < 1 || sequence.chromaFormat > 3)
        return false;
    Seq = sequence;
    Pic = picture;
    // 720 pixels wide gives 180 and 1920 gives 240; 352 gives 176.
    Scale = Seq.width <= 400 ? 2 : Seq.width <= 1024 ? 4 : 8;
    MbWidth = (Seq.width + 15) / 16;
    const bool field = Pic.structure != 3;
    if (field)
        MbRows = (Seq.height + 31) / 32;
    else if (Seq.mpeg2 && !Seq.progressiveSequence)
        MbRows = 2 * ((Seq.height + 31) / 32);
    else
        MbRows = (Seq.height + 15) / 16;
    LumaWidth = MbWidth * MbCols(0);
    LumaHeight = MbRows * MbBoxRows(0);
    for (int c = 0; c < 3; ++c) {
        PlaneWidth[c] = MbWidth * MbCols(c);
        Planes[c].assign(static_cast<std::size_t>(PlaneWidth[c]) * MbRows * MbBoxRows(c), 128);
    }
    Done.assign(static_cast<std::size_t>(MbWidth) * MbRows, 0);
    MacroblocksDone = 0;
    return true;
}

double CIntraDecoder::Coverage() const {
    return Done.empty() ? 0
                        : static_cast<double>(MacroblocksDone) / static_cast<double>(Done.size());
}

void CIntraDecoder::DecodeSlice(int code, const std::uint8_t* data, std::size_t size) {
    const int row = code - 1;
    if (row < 0 || row >= MbRows)
        return;
    CBitReader bits(data, size);
    SetQuantiser(static_cast<int>(bits.Read(5)));
    // MPEG-2: intra_slice_flag, then intra_slice and 7 reserved bits; both:
    // extra_bit_slice '1' and 8 bits of extra_information_slice, until a '0'.
    while (bits.Read(1) && !bits.Overrun())
        bits.Skip(8);
    const int reset = 1 << (7 + Pic.intraDcPrecision);
    std::fill(DcPredictor, DcPredictor + 3, reset);

    const int macroblocks = MbWidth * MbRows;
    int address = row * MbWidth - 1;
    for (bool first = true;; first = false) {
        int increment = 0;
        for (;;) {
            const VlcMatch match = kMacroblockAddressIncrement.Find(bits.Peek(16));
            if (!match.length || increment > macroblocks)
                return;
            bits.Skip(match.length);
            if (match.value == kAddressEscape)
                increment += 33;
            else if (match.value != kAddressStuffing) {
                increment += match.value;
                break;
            }
        }
        // An I picture skips no macroblock within a slice.
        if (!first && increment != 1)
            return;
        address += increment;
        if (address >= macroblocks)
            return;
        const int mbx = address % MbWidth;
        const int mby = address / MbWidth;
        if (!DecodeMacroblock(bits))
            return;
        Commit(mbx, mby);
        if (bits.AtSliceEnd())
            return;
    }
}

void CIntraDecoder::SetQuantiser(int code) {
    QuantiserScale = Seq.mpeg2 && Pic.qScaleType ? kNonLinearQuantiserScale[code] : 2 * code;
}

bool CIntraDecoder::DecodeMacroblock(CBitReader& bits) {
    const VlcMatch type = kMacroblockTypeI.Find(bits.Peek(16));
    if (!type.length)
        return false;
    bits.Skip(type.length);
    const bool frame = Pic.structure == 3;
    const bool fieldDct = frame && !Pic.framePredFrameDct && bits.Read(1);
    if (type.value == kIntraQuant)
        SetQuantiser(static_cast<int>(bits.Read(5)));
    if (Pic.concealmentMotionVectors) {
        if (!frame)
            bits.Skip(1); // motion_vertical_field_select
        if (!SkipMotionVector(bits, Pic.fCode))
            return false;
        bits.Skip(1); // marker_bit
    }

    const int s = Scale;
    for (float* boxes : MbBoxes)
        std::fill(boxes, boxes + 16 * 8, 0.0f);
    const auto& w = kBoxWeights.w;
    // A block of a frame picture spans 8 rows of the frame; in field DCT or
    // in a field picture, 8 rows of one field: 16 of the frame, its boxes
    // half as many rows of the block. In field DCT the two fields' blocks
    // share their boxes, each adding half.
    const int frameBox = Log2(s);
    const int fieldBox = Log2(s / 2);
    const BlockShape frameShape{8 / s, 8 / s, w[frameBox], w[frameBox], 1.0f};
    const BlockShape fieldShape{16 / s, 8 / s, w[fieldBox], w[frameBox], frame ? 0.5f : 1.0f};
    // The blocks in the order of the stream: four of luma, left to right and
    // top to bottom, then Cb and Cr in turn, one, two or four of each
    // (4:2:0, 4:2:2, 4:4:4), a component's second block below its first,
    // the third and fourth right of those. The chroma of 4:2:0 is one block
    // of the frame even in field DCT.
    const int blocks = 4 + 2 * BlocksWide(1) * BlocksHigh(1);
    for (int b = 0; b < blocks; ++b) {
        const int component = b < 4 ? 0 : 1 + (b & 1);
        const int k = b < 4 ? b : (b - 4) >> 1;
        const int row = b < 4 ? k >> 1 : k & 1;
        const int col = b < 4 ? k & 1 : k >> 1;
        const bool interleaved = fieldDct && BlocksHigh(component) == 2;
        const BlockShape& shape = frame && !interleaved ? frameShape : fieldShape;
        const int top = interleaved ? 0 : row * shape.rows;
        const int stride = MbCols(component);
        if (!DecodeBlock(bits, component, shape, MbBoxes[component] + top * stride + col * (8 / s),
                         stride))
            return false;
    }
    return !bits.Overrun();
}

bool CIntraDecoder::DecodeBlock(CBitReader& bits, int component, const BlockShape& shape,
                                float* out, int stride) {
    // The DC coefficient: its size (table B.12 or B.13), then the difference
    // from the last block's of the same component.
    const VlcMatch size =
        (component == 0 ? kDctDcSizeLuminance : kDctDcSizeChrominance).Find(bits.Peek(16));
    if (!size.length)
        return false;
    bits.Skip(size.length);
    DcPredictor[component] += DcDifferential(bits, size.value);
    const int dc = DcPredictor[component] * (8 >> Pic.intraDcPrecision);
    // The DC basis function is flat: every box gets F[0][0] / 8.
    const float mean = shape.weight * static_cast<float>(dc) / 8;
    for (int i = 0; i < shape.rows; ++i)
        for (int j = 0; j < shape.cols; ++j)
            out[i * stride + j] += mean;

    const CVlcTable& table =
        Seq.mpeg2 && Pic.intraVlcFormat ? kDctCoefficientsOne : kDctCoefficientsZero;
    const std::uint8_t* scan = Seq.mpeg2 && Pic.alternateScan ? kAlternateScan : kZigzagScan;
    for (int n = 0;;) {
        const VlcMatch code = table.Find(bits.Peek(16));
        if (!code.length)
            return false;
        bits.Skip(code.length);
        if (code.value == kEndOfBlock)
            return !bits.Overrun();
        int run = code.value;
        int level = code.level;
        if (code.value == kDctEscape) {
            run = static_cast<int>(bits.Read(6));
            if (Seq.mpeg2) {
                // 12 bits, two's complement.
                level = static_cast<int>(bits.Read(12));
                if (level >= 2048)
                    level -= 4096;
            } else {
                // 8 bits, two's complement; 0 and -128 say 8 more bits follow.
                level = static_cast<int>(bits.Read(8));
                if (level == 0)
                    level = static_cast<int>(bits.Read(8));
                else if (level == 128)
                    level = static_cast<int>(bits.Read(8)) - 256;
                else if (level > 128)
                    level -= 256;
            }
        } else if (bits.Read(1)) {
            level = -level;
        }
        n += run + 1;
        if (n > 63 || bits.Overrun())
            return false;
        const int index = scan[n];
        // Inverse quantisation of an intra coefficient, then saturation.
        const std::uint8_t* matrix = component == 0 ? Seq.intraMatrix : Seq.chromaIntraMatrix;
        int f = 2 * level * matrix[index] * QuantiserScale / 32;
        if (!Seq.mpeg2 && f != 0 && !(f & 1))
            f -= f > 0 ? 1 : -1; // MPEG-1 makes each coefficient odd
        f = std::min(2047, std::max(-2048, f));
        const float scaled = shape.weight * static_cast<float>(f);
        const int v = index >> 3;
        const int u = index & 7;
        for (int i = 0; i < shape.rows; ++i) {
            const float rowPart = scaled * shape.rowWeights[i][v];
            float* line = out + i * stride;
            for (int j = 0; j < shape.cols; ++j)
                line[j] += rowPart * shape.colWeights[j][u];
        }
    }
}

void CIntraDecoder::Commit(int mbx, int mby) {
    for (int c = 0; c < 3; ++c) {
        const int cols = MbCols(c);
        const int rows = MbBoxRows(c);
        for (int i = 0; i < rows; ++i)
            for (int j = 0; j < cols; ++j)
                Planes[c][static_cast<std::size_t>(mby * rows + i) * PlaneWidth[c] + mbx * cols +
                          j] = Clamp(MbBoxes[c][i * cols + j]);
    }
    std::uint8_t& done = Done[static_cast<std::size_t>(mby) * MbWidth + mbx];
    MacroblocksDone += done ? 0 : 1;
    done = 1;
}

CImage CIntraDecoder::Image() const {
    CImage image;
    image.width = std::min(Seq.width / Scale, LumaWidth);
    image.height = std::min(Seq.height / Scale, LumaHeight);
    image.rgb.resize(static_cast<std::size_t>(image.width) * image.height * 3);
    // A box of chroma spans two of luma across unless 4:4:4, two down in 4:2:0.
    const int across = 2 / BlocksWide(1), down = 2 / BlocksHigh(1);
    std::uint8_t* p = image.rgb.data();
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x) {
            // BT.601, limited range, in 8.8 fixed point.
            const int c = Planes[0][static_cast<std::size_t>(y) * LumaWidth + x] - 16;
            const std::size_t at = static_cast<std::size_t>(y / down) * PlaneWidth[1] + x / across;
            const int d = Planes[1][at] - 128;
            const int e = Planes[2][at] - 128;
            *p++ = ClampInt((298 * c + 409 * e + 128) >> 8);
            *p++ = ClampInt((298 * c - 100 * d - 208 * e + 128) >> 8);
            *p++ = ClampInt((298 * c + 516 * d + 128) >> 8);
        }
    switch (Seq.aspectRatio) {
    case 1:
        image.displayAspect = static_cast<double>(Seq.width) / Seq.height;
        break;
    case 2:
        image.displayAspect = Seq.mpeg2 ? 4.0 / 3 : 0;
        break;
    case 3:
        image.displayAspect = Seq.mpeg2 ? 16.0 / 9 : 0;
        break;
    case 4:
        image.displayAspect = Seq.mpeg2 ? 2.21 : 0;
        break;
    default:
        break;
    }
    return image;
}
