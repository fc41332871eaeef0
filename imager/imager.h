// Copying chosen byte ranges of a drive into an image file, each byte to its
// own offset, with a rescue map beside the image that says which bytes it
// holds. The map is the one record of the work: it is saved often, so that a
// run that is stopped at any moment goes on where it was. This header is
// what the other subsystems may use of the imager.
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
    std::uint64_t Done;       // wanted bytes settled: copied, or tried and unreadable
    std::uint64_t Wanted;     // all the bytes wanted
    std::uint64_t ReadNow;    // bytes read from the drive in this run
    std::uint64_t Unreadable; // bytes that could not be read in this run
    std::uint32_t Ms;         // milliseconds since the copy started
};

class CImageProgressSink {
  public:
    virtual ~CImageProgressSink() = default;
    virtual void Progress(const ImageProgress& progress) = 0;
};

class CImager {
  public:
    // comments: the map's comment lines, each starting with '#'.
    CImager(FileHandle drive, std::uint64_t driveSize, std::string imagePath, std::string mapPath,
            std::string comments);
    ~CImager();
    CImager(const CImager&) = delete;
    CImager& operator=(const CImager&) = delete;

    // Opens the image (creating it), makes it as long as the drive, and loads
    // its map, or starts one with nothing tried when there is none. False,
    // with the reason, when the image or the map cannot be used.
    bool Open(std::string& fault);

    // Copies what the map does not yet hold of the wanted ranges, in
    // ascending order, reading each byte once; '-' areas are tried once more.
    // The map is saved after every 64 MiB and at least every 5 seconds, and
    // at the end. False, with the reason, when the image or its map cannot
    // be written; the map then holds what was written before.
    bool Copy(std::vector<ImageRange> wanted, CImageProgressSink* progress, std::string& fault);

    const CRescueMap& Map() const { return TheMap; }

  private:
    bool CopyChunk(std::uint64_t pos, std::uint32_t length, std::string& fault);
    bool SaveMap(std::uint64_t pos, char status, std::string& fault);

    FileHandle Drive;
    std::uint64_t DriveSize;
    std::string ImagePath;
    std::string MapPath;
    std::string Comments;
    FileHandle Image = kInvalidHandle;
    CRescueMap TheMap;
    std::uint8_t* Storage = nullptr; // owned; Buffer lies in it
    std::uint8_t* Buffer = nullptr;
    bool NewImage = false;   // the image was made by this run: nothing is written in it yet
    bool DriveEnded = false; // a read came back short: the drive is no longer there
};

// The domain map for GNU ddrescue: '+' on the wanted ranges, '?' on the rest
// of the drive, saved like a rescue map.
bool SaveDomainMap(const std::string& path, std::uint64_t driveSize,
                   const std::vector<ImageRange>& wanted, const std::string& comments);
