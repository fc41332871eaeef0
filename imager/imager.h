// Copying chosen byte ranges of a drive into an image file, each byte to its
// own offset, with a rescue map beside the image that says which bytes it
// holds. The map is the one record of the work: it is saved often, so that a
// run that is stopped at any moment goes on where it was, and its comment
// lines say which disk it is of. This header is what the other subsystems
// may use of the imager.
#pragma once

#include "drive/drive.h"
#include "platform/platform.h"

#include <cstdint>
#include <string>
#include <vector>

// Bytes [Offset, Offset + Length) of the drive, whole sectors.
struct ImageRange {
    std::uint64_t Offset;
    std::uint64_t Length;
};

// How far the copy is, for the command's progress line.
struct ImageProgress {
    const char* Pass;         // what the pass running does: "copying", "trimming", ...
    int PassNumber;           // 1 for the first pass, counting every pass
    std::uint64_t Done;       // wanted bytes copied
    std::uint64_t Wanted;     // all the bytes wanted
    std::uint64_t Left;       // bytes the pass running has still to go over
    std::uint64_t ReadNow;    // bytes read from the drive in this run
    std::uint64_t Unreadable; // wanted bytes tried and found unreadable
    std::uint32_t Ms;         // milliseconds since the copy started
};

class CImageProgressSink {
  public:
    virtual ~CImageProgressSink() = default;
    virtual void Progress(const ImageProgress& progress) = 0;
};

// Which disk a map is of: its size, a digest of its directory (the table of
// contents, the cluster table and the recording headers) and its serial
// number, noted in one comment line of the map ("# Disk: ..."). A map of an
// earlier version notes a digest of the first ten sectors instead.
struct DiskIdentity {
    std::uint64_t Size = 0;
    std::string Digest;       // of the directory; "" when it could not be read
    std::string FirstSectors; // of the first ten sectors; "" when not known
    std::string Serial;       // "" when the system gives none
};

// The digest of count bytes: 64-bit FNV-1a, in 16 hexadecimal digits.
std::string DigestOf(const std::uint8_t* bytes, std::size_t count);
// The identity of a disk of size bytes whose first bytes (the directory,
// from sector 0, fewer where they could not be read) are given.
DiskIdentity IdentityOf(std::uint64_t size, const std::vector<std::uint8_t>& directory,
                        bool directoryRead, std::string serial);
// The comment line, ending with a line feed.
std::string IdentityLine(const DiskIdentity& disk);
// The identity that a map's text notes; false when it notes none.
bool NotedIdentity(const std::string& mapText, DiskIdentity& disk);
// Whether two identities can be of one disk: all that both tell agrees.
bool SameDisk(const DiskIdentity& a, const DiskIdentity& b);
// "a disk of N bytes, directory D, serial S", for a message.
std::string DescribeDisk(const DiskIdentity& disk);

// The imager: the wanted ranges copied in passes planned from the map, as a
// failing disk gives the most before it dies:
// 1. copying: every area not tried, in order; past a read that fails, or
//    one far slower than the disk reads elsewhere, the rest is skipped, the
//    skip growing with each further such read and going back to its first
//    size on good data;
// 2. copying what the first pass skipped, from the end of each area back,
//    still skipping past failures;
// 3. copying what is left, without skipping;
// 4. trimming: each failed read's area read sector by sector from both
//    ends, up to the first sector that fails;
// 5. scraping: what is left of those areas, sector by sector;
// 6. retrying: each sector that failed, once more.
// A disk that stops answering stops the passes at once: what it did not
// answer stays not tried.
class CImager {
  public:
    // comments: the map's comment lines, each starting with '#'; the
    // disk's identity line follows them.
    CImager(CDriveSession& drive, std::uint64_t driveSize, std::string imagePath,
            std::string mapPath, std::string comments, DiskIdentity identity);
    ~CImager();
    CImager(const CImager&) = delete;
    CImager& operator=(const CImager&) = delete;

    // Opens the image (creating it), makes it as long as the drive, and loads
    // its map, or starts one with nothing tried when there is none. False,
    // with the reason, when the image or the map cannot be used, or the map
    // was begun with another disk: the image and the map are then left as
    // they are. Going on from a map that notes its disk, a few blocks it
    // marks copied, spread over them, are read again and compared with the
    // image: a disk that gives other bytes is another disk, or one whose
    // data changed.
    bool Open(std::string& fault);

    // Puts count bytes read of the drive at pos elsewhere into the image,
    // marked copied. False, with the reason, when the image cannot be written.
    bool Keep(std::uint64_t pos, const std::uint8_t* bytes, std::uint32_t count,
              std::string& fault);

    // Runs the passes over what the map does not yet hold of the wanted
    // ranges. The map is saved after every 64 MiB and at least every 5
    // seconds, and at the end. False, with the reason, when the image or its
    // map cannot be written; the map then holds what was written before.
    // The drive's session tells whether the disk stopped answering.
    bool Copy(std::vector<ImageRange> wanted, CImageProgressSink* progress, std::string& fault);

    // Closes the image until the next Keep, so that it can be opened for
    // reading meanwhile: Windows lets no reader share a file that is open
    // for writing.
    void LetRead();

    // Saves the map as it is.
    bool SaveMap(std::string& fault);

    const CRescueMap& Map() const { return TheMap; }

  private:
    std::uint32_t WholeSectors(std::uint64_t pos, std::uint32_t got) const;
    bool SameBytesAsImage(const DiskIdentity& noted, std::string& fault);
    struct Pass;
    bool CopyPass(Pass& pass, bool skipFailed, bool skipSlow, std::string& fault);
    bool BackwardPass(Pass& pass, std::string& fault);
    bool TrimPass(Pass& pass, std::string& fault);
    bool ScrapePass(Pass& pass, char status, std::string& fault);
    bool ReadSector(Pass& pass, std::uint64_t at, bool& read, std::string& fault);
    bool Settled(Pass& pass, std::uint64_t pos, std::uint64_t bytes, std::string& fault);
    bool SaveAt(std::uint64_t pos, char status, int pass, std::string& fault);

    CDriveSession& Drive;
    std::uint64_t DriveSize;
    std::string ImagePath;
    std::string MapPath;
    std::string Comments;
    DiskIdentity Identity;
    FileHandle Image = kInvalidHandle;
    CRescueMap TheMap;
    std::uint8_t* Storage = nullptr; // owned; Buffer lies in it
    std::uint8_t* Buffer = nullptr;
    bool NewImage = false; // the image was made by this run: nothing is written in it yet
    ImageProgress Now{};
    CImageProgressSink* Sink = nullptr;
    std::uint32_t Start = 0, SavedAt = 0;
    std::uint64_t SinceSave = 0;
};

// The domain map for GNU ddrescue: '+' on the wanted ranges, '?' on the rest
// of the drive, saved like a rescue map.
bool SaveDomainMap(const std::string& path, std::uint64_t driveSize,
                   const std::vector<ImageRange>& wanted, const std::string& comments);
