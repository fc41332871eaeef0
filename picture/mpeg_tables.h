// The tables of MPEG video (ISO/IEC 13818-2 Annex B and clause 7, and the
// MPEG-1 video tables they extend) that the intra decoder reads by: the
// variable-length codes, the scans, the default intra quantiser matrix and the
// non-linear quantiser scale. Used only inside picture/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// One variable-length code as the standard's tables write it: its bits ('0'
// and '1', blanks between groups for reading) and what it stands for. A code
// followed by a sign bit ('s' in the tables) is written without it.
struct VlcCode {
    const char* bits;
    std::int16_t value; // the run of a DCT coefficient, or the table's one value
    std::int16_t level; // the level of a DCT coefficient
};

// What the code at the front of the bits stands for; length 0 when no code of
// the table begins them.
struct VlcMatch {
    std::uint8_t length = 0;
    std::int16_t value = 0;
    std::int16_t level = 0;
};

// A table of codes of at most 16 bits, looked up in one step by the count of
// leading zeros and the bits after the first one.
class CVlcTable {
  public:
    template <std::size_t N> explicit CVlcTable(const VlcCode (&codes)[N]) : CVlcTable(codes, N) {}

    // The code that begins `bits`, the next 16 bits of the stream with the
    // first in the most significant place.
    VlcMatch Find(std::uint32_t bits) const {
        int zeros = 0;
        while (zeros < 16 && !(bits & (0x8000u >> zeros))) {
            if (++zeros == ZerosLength)
                return Zeros;
        }
        const Group& group = Groups[zeros];
        if (group.entries.empty())
            return VlcMatch{};
        const std::uint32_t after = (bits << (zeros + 1)) & 0xFFFFu;
        return group.entries[after >> (16 - group.width)];
    }

    // The codes as given, for the table's own checks.
    const VlcCode* begin() const { return Codes; }
    const VlcCode* end() const { return Codes + Count; }

  private:
    CVlcTable(const VlcCode* codes, std::size_t count);
    // The codes with one count of leading zeros, by the `width` bits after
    // the first one.
    struct Group {
        int width = 0;
        std::vector<VlcMatch> entries;
    };
    Group Groups[17];
    // A code of zeros only ("00" in tables B.12 and B.13), found by its length.
    int ZerosLength = 0;
    VlcMatch Zeros;
    const VlcCode* Codes;
    std::size_t Count;
};

// Values of the tables' special codes.
constexpr std::int16_t kAddressEscape = -2;   // B.1: macroblock_escape, add 33 and read on
constexpr std::int16_t kAddressStuffing = -1; // B.1: MPEG-1 macroblock stuffing
constexpr std::int16_t kEndOfBlock = -1;      // B.14, B.15: the run of End of Block
constexpr std::int16_t kDctEscape = -2;       // B.14, B.15: the run of Escape
constexpr std::int16_t kIntraQuant = 1;       // B.2: macroblock_quant of an intra macroblock

// Table B.1: macroblock_address_increment.
extern const CVlcTable kMacroblockAddressIncrement;
// Table B.2: macroblock_type in I pictures (the value is macroblock_quant).
extern const CVlcTable kMacroblockTypeI;
// Table B.10: motion_code, followed by its sign when not 0.
extern const CVlcTable kMotionCode;
// Tables B.12 and B.13: dct_dc_size_luminance and dct_dc_size_chrominance.
extern const CVlcTable kDctDcSizeLuminance;
extern const CVlcTable kDctDcSizeChrominance;
// Tables B.14 and B.15: DCT coefficients table zero and one, as intra blocks
// read them (after the DC coefficient, so "10" in B.14 is End of Block).
extern const CVlcTable kDctCoefficientsZero;
extern const CVlcTable kDctCoefficientsOne;

// The zigzag and alternate scans (figure 7-2 and 7-3): the index, row * 8 +
// column, of the coefficient that comes n-th.
extern const std::uint8_t kZigzagScan[64];
extern const std::uint8_t kAlternateScan[64];
// The default intra quantiser matrix, row * 8 + column.
extern const std::uint8_t kDefaultIntraMatrix[64];
// quantiser_scale for each quantiser_scale_code when q_scale_type is 1.
extern const std::uint8_t kNonLinearQuantiserScale[32];
