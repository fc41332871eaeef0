#include "picture/picture.h"

#include "picture/bit_reader.h"
#include "picture/image.h"
#include "picture/intra_decoder.h"
#include "picture/mpeg_tables.h"
#include "platform/format.h"
#include "reader/reader.h"
#include "text/clock.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

// Start code values of MPEG video besides those of platform/format.h, which
// only this subsystem reads.
constexpr int kPictureCode = kPictureStartCode & 0xFF;
constexpr int kSequenceHeader = kSequenceHeaderCode & 0xFF;
constexpr int kSequenceEnd = kSequenceEndCode & 0xFF;
constexpr int kFirstSliceCode = kFirstSliceStartCode & 0xFF;
constexpr int kLastSliceCode = kLastSliceStartCode & 0xFF;
constexpr int kExtensionCode = kExtensionStartCode & 0xFF;
constexpr int kGroupCode = kGroupStartCode & 0xFF;
// extension_start_code_identifier values.
constexpr int kSequenceExtension = 1;
constexpr int kQuantMatrixExtension = 3;
constexpr int kPictureCodingExtension = 8;

// Of a unit other than a slice, only its front is kept: the longest, a
// sequence header with both matrices, has 136 bytes.
constexpr std::size_t kHeaderBytes = 256;
// A slice longer than this is left grey; an MPEG-1 picture may be one slice.
constexpr std::size_t kSliceBytes = 2 << 20;

// The first kept pictures are this far apart, after one of each of the
// first kLeastKept groups of pictures (unless the recording is known to be
// long enough without them); when more than kMostKept are kept,
// the spacing doubles and every other one goes, which leaves at least
// kLeastKept.
constexpr double kFirstSpacing = 1.0;
constexpr std::size_t kLeastKept = 6;
constexpr std::size_t kMostKept = 12;
// How far ahead of the next picture to keep the stream is wanted: a group
// of pictures of a broadcast, which begins with an intra picture, lasts half
// a second to a second.
constexpr double kWantedAhead = 1.5;
// A picture is kept when at least this share of its macroblocks decoded.
constexpr double kLeastCoverage = 0.5;
// The frame rate when the sequence header gives none that is valid.
constexpr double kDefaultFrameRate = 25;

// frame_rate_code 1 to 8: 23.976, 24, 25, 29.97, 30, 50, 59.94, 60.
constexpr double kFrameRates[9] = {0,  24000.0 / 1001, 24, 25, 30000.0 / 1001, 30,
                                   50, 60000.0 / 1001, 60};

// A quantiser matrix as the stream sends it, 64 bytes in zigzag order.
void ReadMatrix(CBitReader& bits, std::uint8_t matrix[64]) {
    for (int i = 0; i < 64; ++i)
        matrix[kZigzagScan[i]] = static_cast<std::uint8_t>(bits.Read(8));
}

} // namespace

class CPictureGrabber::CState {
  public:
    CState() {
        std::memcpy(Seq.intraMatrix, kDefaultIntraMatrix, 64);
        std::memcpy(Seq.chromaIntraMatrix, kDefaultIntraMatrix, 64);
    }

    void Feed(const std::uint8_t* data, std::size_t size);
    // A recording long enough for kLeastKept pictures a spacing apart needs
    // no picture of each of its first groups of pictures.
    void Expect(double seconds) {
        if (!KeptPictures.empty())
            return;
        Spacing = std::max(kFirstSpacing, seconds / kMostKept);
        EachFirstGroup = seconds < kLeastKept * kFirstSpacing * 2;
    }
    bool Wants(double seconds) const {
        return !SequenceSeen || PictureStage == Stage::Decode || seconds + kWantedAhead >= NextDue;
    }
    void Skipped(double seconds);
    std::vector<CPictureAt> Pictures(std::size_t count);
    std::string WhyNone() const;
    double Seconds() const {
        return Clock + (PictureStage == Stage::None ? 0 : PictureFrames() / FrameRate());
    }

  private:
    struct Kept {
        double seconds;
        CImage image;        // small already; into PNG only if it is shown
        std::uint64_t group; // the number of its group of pictures
    };
    enum class Stage { None, Header, Skip, Decode };

    void Append(const std::uint8_t* data, std::size_t size);
    void StartUnit(int code);
    void EndUnit(bool atStartCode);
    void ParseSequenceHeader(CBitReader& bits);
    void ParseExtension(CBitReader& bits);
    void ParsePictureHeader(CBitReader& bits);
    void ChooseToDecode();
    void FinishPicture();
    void EndDecoding();
    void Keep(double seconds, const CImage& image);
    double FrameRate() const;
    double PictureFrames() const;

    CIntraDecoder Decoder;

    // The start code search across pieces.
    std::uint8_t Before[2] = {0xFF, 0xFF}; // the last two bytes fed, the latest last
    bool CodeNext = false;                 // the next byte fed is a start code's value

    // The unit being collected: the bytes after its start code.
    int UnitCode = -1; // its start code value, -1 when none is collected
    std::size_t UnitLimit = 0;
    bool UnitTooLong = false;
    std::vector<std::uint8_t> Unit;

    SequenceFacts Seq;
    bool SequenceSeen = false;

    // The picture being passed over or decoded.
    PictureFacts Pic;
    Stage PictureStage = Stage::None;
    double PictureSeconds = 0;  // its time
    bool FirstFieldNext = true; // the next field picture is the first of its frame
    bool IsSecondField = false;

    // Seconds of the pictures before the current one, and before the group
    // of pictures that it belongs to.
    double Clock = 0;
    double GroupClock = 0;
    bool GroupSeen = false;
    std::uint64_t Group = 0; // group headers seen

    std::vector<Kept> KeptPictures;
    bool EachFirstGroup = true; // a picture of each of the first groups of pictures
    double Spacing = kFirstSpacing;
    double NextDue = 0;

    // Why none may have been kept: bytes fed, intra pictures that were not
    // decoded enough and the time of the first, and why the decoder refused
    // one.
    bool Fed = false;
    std::size_t Failed = 0;
    double FirstFailure = 0;
    std::string Refused;
};

void CPictureGrabber::CState::Feed(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return;
    Fed = true;
    std::size_t pos = 0;
    // A start code is 00 00 01 and its value. One whose 00 00 01 begins in
    // the piece before ends at data[0] or data[1].
    if (!CodeNext && Before[1] == 0) {
        if (Before[0] == 0 && data[0] == 1)
            pos = 1;
        else if (size > 1 && data[0] == 0 && data[1] == 1)
            pos = 2;
        if (pos > 0) {
            if (UnitCode >= 0)
                Append(data, pos);
            CodeNext = true;
        }
    }
    while (pos < size) {
        if (CodeNext) {
            CodeNext = false;
            StartUnit(data[pos++]);
            continue;
        }
        // The search of the reader, many bytes a step.
        const std::size_t at = pos + FindStartCodePrefix(data + pos, size - pos);
        const std::size_t end = at < size ? at + 3 : size;
        if (UnitCode >= 0)
            Append(data + pos, end - pos);
        CodeNext = at < size;
        pos = end;
    }
    if (size >= 2) {
        Before[0] = data[size - 2];
        Before[1] = data[size - 1];
    } else {
        Before[0] = Before[1];
        Before[1] = data[0];
    }
}

void CPictureGrabber::CState::Skipped(double seconds) {
    // The unit and the picture being collected were cut short: a picture
    // being decoded is kept only if enough of it was.
    UnitCode = -1;
    Unit.clear();
    EndDecoding();
    PictureStage = Stage::None;
    Before[0] = Before[1] = 0xFF;
    CodeNext = false;
    GroupSeen = false;
    FirstFieldNext = true;
    Clock = std::max(Clock, seconds);
}

void CPictureGrabber::CState::Append(const std::uint8_t* data, std::size_t size) {
    const std::size_t room = UnitLimit - std::min(UnitLimit, Unit.size());
    if (size > room)
        UnitTooLong = true;
    Unit.insert(Unit.end(), data, data + std::min(size, room));
}

void CPictureGrabber::CState::StartUnit(int code) {
    EndUnit(true);
    if (code == kPictureCode || code == kSequenceHeader || code == kGroupCode ||
        code == kSequenceEnd)
        FinishPicture();
    if (code == kGroupCode) {
        GroupClock = Clock;
        GroupSeen = true;
        ++Group;
    } else if (code == kSequenceEnd) {
        GroupSeen = false;
    }
    bool collect = code == kPictureCode || code == kSequenceHeader || code == kExtensionCode;
    if (code >= kFirstSliceCode && code <= kLastSliceCode) {
        if (PictureStage == Stage::Header)
            ChooseToDecode();
        collect = PictureStage == Stage::Decode;
    }
    if (collect) {
        UnitCode = code;
        UnitLimit = code >= kFirstSliceCode && code <= kLastSliceCode ? kSliceBytes : kHeaderBytes;
        UnitTooLong = false;
        Unit.clear();
    }
}

void CPictureGrabber::CState::EndUnit(bool atStartCode) {
    if (UnitCode < 0)
        return;
    const int code = UnitCode;
    UnitCode = -1;
    // The unit's bytes end with the 00 00 01 of the start code that ends it.
    if (atStartCode && !UnitTooLong)
        Unit.resize(Unit.size() >= 3 ? Unit.size() - 3 : 0);
    CBitReader bits(Unit.data(), Unit.size());
    if (code == kSequenceHeader) {
        ParseSequenceHeader(bits);
    } else if (code == kExtensionCode) {
        ParseExtension(bits);
    } else if (code == kPictureCode) {
        ParsePictureHeader(bits);
    } else if (PictureStage == Stage::Decode && !UnitTooLong) {
        Decoder.DecodeSlice(code, Unit.data(), Unit.size());
    }
}

void CPictureGrabber::CState::ParseSequenceHeader(CBitReader& bits) {
    // horizontal_size_value(12) vertical_size_value(12) aspect_ratio_information(4)
    // frame_rate_code(4) bit_rate_value(18) marker(1) vbv_buffer_size_value(10)
    // constrained_parameters_flag(1) load_intra_quantiser_matrix(1) [64 x 8]
    // load_non_intra_quantiser_matrix(1) [64 x 8]
    SequenceFacts seq;
    seq.width = static_cast<int>(bits.Read(12));
    seq.height = static_cast<int>(bits.Read(12));
    seq.aspectRatio = static_cast<int>(bits.Read(4));
    seq.frameRateCode = static_cast<int>(bits.Read(4));
    bits.Skip(18 + 1 + 10 + 1);
    if (bits.Read(1))
        ReadMatrix(bits, seq.intraMatrix);
    else
        std::memcpy(seq.intraMatrix, kDefaultIntraMatrix, 64);
    std::memcpy(seq.chromaIntraMatrix, seq.intraMatrix, 64);
    if (bits.Overrun())
        return;
    Seq = seq;
    SequenceSeen = true;
}

void CPictureGrabber::CState::ParseExtension(CBitReader& bits) {
    const int id = static_cast<int>(bits.Read(4));
    if (id == kSequenceExtension && SequenceSeen) {
        // profile_and_level_indication(8) progressive_sequence(1) chroma_format(2)
        // horizontal_size_extension(2) vertical_size_extension(2) bit_rate_extension(12)
        // marker(1) vbv_buffer_size_extension(8) low_delay(1)
        // frame_rate_extension_n(2) frame_rate_extension_d(5)
        bits.Skip(8);
        const bool progressive = bits.Read(1);
        const int chroma = static_cast<int>(bits.Read(2));
        const int widthHigh = static_cast<int>(bits.Read(2));
        const int heightHigh = static_cast<int>(bits.Read(2));
        bits.Skip(12 + 1 + 8 + 1);
        const int rateN = static_cast<int>(bits.Read(2));
        const int rateD = static_cast<int>(bits.Read(5));
        if (bits.Overrun())
            return;
        Seq.mpeg2 = true;
        Seq.progressiveSequence = progressive;
        Seq.chromaFormat = chroma;
        Seq.width |= widthHigh << 12;
        Seq.height |= heightHigh << 12;
        Seq.frameRateN = rateN;
        Seq.frameRateD = rateD;
    } else if (id == kQuantMatrixExtension) {
        // load_intra_quantiser_matrix(1) [64 x 8] load_non_intra_quantiser_matrix(1)
        // [64 x 8] load_chroma_intra_quantiser_matrix(1) [64 x 8] ...; an intra
        // matrix loaded serves chroma too, until one of its own is.
        std::uint8_t intra[64], chroma[64];
        const bool loadIntra = bits.Read(1);
        if (loadIntra)
            ReadMatrix(bits, intra);
        if (bits.Read(1))
            bits.Skip(64 * 8);
        const bool loadChroma = bits.Read(1);
        if (loadChroma)
            ReadMatrix(bits, chroma);
        if (bits.Overrun())
            return;
        if (loadIntra) {
            std::memcpy(Seq.intraMatrix, intra, 64);
            std::memcpy(Seq.chromaIntraMatrix, intra, 64);
        }
        if (loadChroma)
            std::memcpy(Seq.chromaIntraMatrix, chroma, 64);
    } else if (id == kPictureCodingExtension && PictureStage == Stage::Header) {
        // f_code[0][0](4) f_code[0][1](4) f_code[1][0](4) f_code[1][1](4)
        // intra_dc_precision(2) picture_structure(2) top_field_first(1)
        // frame_pred_frame_dct(1) concealment_motion_vectors(1) q_scale_type(1)
        // intra_vlc_format(1) alternate_scan(1) repeat_first_field(1) ...
        PictureFacts pic = Pic;
        pic.fCode[0] = static_cast<int>(bits.Read(4));
        pic.fCode[1] = static_cast<int>(bits.Read(4));
        bits.Skip(8);
        pic.intraDcPrecision = static_cast<int>(bits.Read(2));
        pic.structure = static_cast<int>(bits.Read(2));
        pic.topFieldFirst = bits.Read(1);
        pic.framePredFrameDct = bits.Read(1);
        pic.concealmentMotionVectors = bits.Read(1);
        pic.qScaleType = bits.Read(1);
        pic.intraVlcFormat = bits.Read(1);
        pic.alternateScan = bits.Read(1);
        pic.repeatFirstField = bits.Read(1);
        if (bits.Overrun() || pic.structure == 0) {
            PictureStage = Stage::Skip;
            return;
        }
        Pic = pic;
        if (pic.structure != 3) {
            IsSecondField = !FirstFieldNext;
            FirstFieldNext = IsSecondField;
        } else {
            IsSecondField = false;
            FirstFieldNext = true;
        }
    }
}

void CPictureGrabber::CState::ParsePictureHeader(CBitReader& bits) {
    // temporal_reference(10) picture_coding_type(3) vbv_delay(16) ...
    PictureFacts pic;
    pic.temporalReference = static_cast<int>(bits.Read(10));
    pic.codingType = static_cast<int>(bits.Read(3));
    PictureStage = bits.Overrun() ? Stage::Skip : Stage::Header;
    Pic = pic;
    IsSecondField = false;
    // Its time: the group's start and its place in the group in display
    // order, unless that is far from the count of pictures (a stream
    // without group headers, or a damaged one).
    const double rate = FrameRate();
    PictureSeconds = Clock;
    if (GroupSeen) {
        const double shown = GroupClock + pic.temporalReference / rate;
        if (std::fabs(shown - Clock) < 2)
            PictureSeconds = shown;
    }
}

void CPictureGrabber::CState::ChooseToDecode() {
    PictureStage = Stage::Skip;
    if (!SequenceSeen || Pic.codingType != 1 || IsSecondField)
        return;
    // One picture of a group of pictures (without group headers, each intra
    // picture is taken for one).
    if (PictureSeconds < NextDue ||
        (GroupSeen && !KeptPictures.empty() && KeptPictures.back().group == Group))
        return;
    if (Decoder.Begin(Seq, Pic)) {
        PictureStage = Stage::Decode;
        return;
    }
    Refused = Seq.chromaFormat == 0 ? "its chroma format is the reserved one"
                                    : "its pictures of " + std::to_string(Seq.width) + "x" +
                                          std::to_string(Seq.height) + " are too large to decode";
}

void CPictureGrabber::CState::FinishPicture() {
    if (PictureStage == Stage::None)
        return;
    EndDecoding();
    Clock += PictureFrames() / FrameRate();
    PictureStage = Stage::None;
}

// The picture being decoded is kept if enough of it was.
void CPictureGrabber::CState::EndDecoding() {
    if (PictureStage != Stage::Decode)
        return;
    if (Decoder.Coverage() >= kLeastCoverage)
        Keep(PictureSeconds, Decoder.Image());
    else if (Failed++ == 0)
        FirstFailure = PictureSeconds;
}

// At most kMostKept + 1 small pictures are held; only those shown in the end
// go into PNG, so that the pictures thinned out as the spacing doubles cost
// no encoding.
void CPictureGrabber::CState::Keep(double seconds, const CImage& image) {
    KeptPictures.push_back(Kept{seconds, image, Group});
    if (KeptPictures.size() > kMostKept) {
        Spacing *= 2;
        std::size_t to = 0;
        for (std::size_t from = 0; from < KeptPictures.size(); from += 2)
            KeptPictures[to++] = std::move(KeptPictures[from]);
        KeptPictures.resize(to);
    }
    NextDue = EachFirstGroup && KeptPictures.size() < kLeastKept
                  ? 0
                  : KeptPictures.back().seconds + Spacing;
}

// What the current picture lasts, in frames.
double CPictureGrabber::CState::PictureFrames() const {
    if (Pic.structure != 3)
        return 0.5;
    if (Seq.mpeg2 && Pic.repeatFirstField)
        return Seq.progressiveSequence ? (Pic.topFieldFirst ? 3 : 2) : 1.5;
    return 1;
}

double CPictureGrabber::CState::FrameRate() const {
    if (!SequenceSeen || Seq.frameRateCode < 1 || Seq.frameRateCode > 8)
        return kDefaultFrameRate;
    return kFrameRates[Seq.frameRateCode] * (Seq.frameRateN + 1) / (Seq.frameRateD + 1);
}

std::vector<CPictureAt> CPictureGrabber::CState::Pictures(std::size_t count) {
    EndUnit(false);
    FinishPicture();
    const std::size_t kept = KeptPictures.size();
    const std::size_t shown = std::min(count, kept);
    std::vector<CPictureAt> pictures;
    // Each of the places, spread evenly over the length, takes the kept
    // picture nearest it that leaves enough for the places after it.
    std::size_t next = 0;
    for (std::size_t place = 0; place < shown; ++place) {
        const double at =
            Clock * (2.0 * static_cast<double>(place) + 1) / (2.0 * static_cast<double>(shown));
        auto distance = [&](std::size_t p) { return std::fabs(at - KeptPictures[p].seconds); };
        std::size_t best = next;
        for (std::size_t p = next; p + (shown - place) <= kept; ++p)
            if (distance(p) < distance(best))
                best = p;
        pictures.push_back(ShownPicture(KeptPictures[best].seconds, KeptPictures[best].image));
        next = best + 1;
    }
    return pictures;
}

std::string CPictureGrabber::CState::WhyNone() const {
    if (!KeptPictures.empty())
        return "";
    if (!Fed)
        return "the recording has no video";
    if (!SequenceSeen)
        return "no sequence header was found in the video";
    if (Failed == 1)
        return "the video could not be decoded at " + TimeText(FirstFailure);
    if (Failed > 1)
        return "no intra-coded picture survived";
    if (!Refused.empty())
        return Refused;
    return "no intra-coded picture was found";
}

CPictureGrabber::CPictureGrabber() : State(std::make_unique<CState>()) {}
CPictureGrabber::~CPictureGrabber() = default;

void CPictureGrabber::Feed(const std::uint8_t* data, std::size_t size) {
    State->Feed(data, size);
}

std::vector<CPictureAt> CPictureGrabber::Pictures(std::size_t count) {
    return State->Pictures(count);
}

std::string CPictureGrabber::WhyNone() const {
    return State->WhyNone();
}

double CPictureGrabber::Seconds() const {
    return State->Seconds();
}

void CPictureGrabber::Expect(double seconds) {
    State->Expect(seconds);
}

bool CPictureGrabber::Wants(double seconds) const {
    return State->Wants(seconds);
}

void CPictureGrabber::Skipped(double seconds) {
    State->Skipped(seconds);
}

std::string TimeText(double seconds) {
    return ClockText(seconds, ClockHours::FromAnHour, ClockSeconds::Rounded);
}
