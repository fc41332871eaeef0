// The recorder disk: read-only access to it, its cluster table, its table of
// contents and the header of every recording. This header is what the other
// subsystems may use of the drive.
#pragma once

#include "platform/format.h"
#include "platform/platform.h"

#include <cstdint>
#include <iostream>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

struct AudioFormat;
class CClusterReader;
class CPESHeader;
class CRecordingEnd;
class COBits;

class CDriveSession;

// Positions the handle at byte sector * 512, computed in 64 bits.
bool SeekSector(FileHandle handle, std::uint64_t sector);

// Reads count bytes (whole sectors) at a byte offset of the drive, rescuing
// what it can from a read that fails: the sectors are read again one by one,
// and those that fail once more are delivered as 512 zero bytes each, so that
// every later byte keeps its place; so are the bytes that the drive's rescue
// map does not mark copied. got tells how many bytes were delivered,
// zeros included; fewer than count only at the end of the data. True when
// every delivered byte came from the drive.
bool ReadDrive(CDriveSession& drive, std::uint64_t offset, std::uint8_t* buffer,
               std::uint32_t count, std::uint32_t& got);

// One read of count bytes (whole sectors) at a byte offset of the drive, as
// the disk gives it: nothing is tried again, nothing is recorded as
// unreadable, and the drive's rescue map is not followed. got tells the bytes
// that arrived, before a failure or the end of the data. A failed read asks
// whether the disk still answers: Gone when it does not (the drive's record
// of unreadable sectors then says where it stopped), and for every read
// after that.
ReadOutcome ReadDriveOnce(CDriveSession& drive, std::uint64_t offset, std::uint8_t* buffer,
                          std::uint32_t count, std::uint32_t& got);

// A rescue map in GNU ddrescue's mapfile format: for every byte of a disk,
// whether it was copied into the image ('+'), could not be read ('-'), or has
// not been tried ('?'; ddrescue also writes '*' and '/' for areas it has not
// finished). The map covers [0, Size()).
class CRescueMap {
  public:
    static constexpr char kCopied = '+';
    static constexpr char kBad = '-';
    static constexpr char kNotTried = '?';
    static constexpr char kNotTrimmed = '*';
    static constexpr char kNotScraped = '/';

    // A map of size bytes that all have one status.
    explicit CRescueMap(std::uint64_t size = 0, char status = kNotTried);

    // Reads the text of a mapfile: comment lines, the status line, then
    // "pos size status" lines that follow each other without a gap. False,
    // with what is wrong, when the text is no such map; the map is then empty.
    bool Parse(const std::string& text, std::string& fault);
    // The mapfile as GNU ddrescue writes it, after the given comment lines
    // (each starting with '#'); the status line gives pos, status and pass.
    std::string Text(const std::string& comments, std::uint64_t pos, char status,
                     int pass = 1) const;
    // Writes Text under a temporary name and renames it over path, so that
    // the file at path is always a whole map.
    bool Save(const std::string& path, const std::string& comments, std::uint64_t pos, char status,
              int pass = 1) const;
    // The status of the byte at pos (within the map), and where the block of
    // that status which holds it ends.
    char StatusAt(std::uint64_t pos) const;
    std::uint64_t BlockEnd(std::uint64_t pos) const;

    // Gives [pos, pos + size) the status (cut at the end of the map).
    void Set(std::uint64_t pos, std::uint64_t size, char status);
    std::uint64_t Size() const { return End; }
    // The end of the area from pos on that holds no copied byte: pos itself
    // when the byte at pos was copied or lies beyond the map.
    std::uint64_t NotCopiedUpTo(std::uint64_t pos) const;
    // The first byte at or after pos that was not copied (~0 when none).
    std::uint64_t NextNotCopied(std::uint64_t pos) const;
    // The bytes of [pos, pos + size) within the map that were not copied.
    std::uint64_t NotCopied(std::uint64_t pos, std::uint64_t size) const;

  private:
    std::string ParseBlocks(const std::string& text); // "" or what is wrong

    std::map<std::uint64_t, char> Starts; // status from each start to the next
    std::uint64_t End = 0;
};

// The names a rescue map beside an image goes by, the first that exists
// being the one that counts: IMAGE.map, then the image's name with .map in
// place of its extension (recorder.img, recorder.map).
std::vector<std::string> MapNamesBeside(const std::string& image);

// Told of each sector that a read tries one by one around unreadable
// sectors, and of the bytes of that read still to settle, so that a progress
// line keeps moving while a bad area costs its time.
class CBadAreaWatcher {
  public:
    virtual ~CBadAreaWatcher() = default;
    virtual void Trying(std::uint64_t offset, std::uint64_t bytesLeft) = 0;
};

// The sectors of the drive that could not be read in this run, as runs of
// adjacent sectors within one area of the disk (the table of contents, the
// cluster table, the recording headers, or one cluster). Each run is reported
// once on the console and in the log, when it is complete.
class CUnreadableSectors {
  public:
    // Forgets everything, the drive's rescue map too: a new command on a new
    // drive.
    void Clear();
    // The first time after Clear that a drive is opened, looks for a rescue
    // map beside it and says on the console and in the log which one it
    // follows, or that it ignores one it cannot parse. From then on the bytes
    // the map does not mark copied count as unreadable.
    void FollowMapBeside(const std::string& drive);
    // Says in the log, once a run, that the disk refused reads past the
    // system's cache and is read through it.
    void NoteReadThroughCache(const std::string& drive);
    // Where the area that the drive's map does not mark copied ends, from
    // offset on (offset when the byte there is copied or there is no map),
    // and where the next such area starts (~0 when none).
    std::uint64_t MapLostUpTo(std::uint64_t offset) const;
    std::uint64_t NextMapLost(std::uint64_t offset) const;
    // Records [offset, offset + length) as unreadable; a run that continues
    // the one just recorded grows it instead of starting another.
    void Add(std::uint64_t offset, std::uint64_t length);
    // Reports the run still growing, if any.
    void ReportOpenRun();
    // The end of the unreadable run that covers offset, or offset itself when
    // no run covers it.
    std::uint64_t UnreadableUpTo(std::uint64_t offset) const;
    // The start of the first run at or after offset (~0 when none).
    std::uint64_t NextUnreadable(std::uint64_t offset) const;
    // Whether the sector just before offset is unreadable, and how far back
    // from offset its run reaches.
    std::uint64_t RunEndingAt(std::uint64_t offset) const;
    // Whether any byte of [offset, offset + length) is unreadable.
    bool Overlaps(std::uint64_t offset, std::uint64_t length) const;

    bool Any() const { return !Runs.empty(); }
    std::uint64_t Bytes() const;
    std::size_t Places() const { return Runs.size(); }
    // The unreadable runs of drive bytes: start -> end (exclusive).
    const std::map<std::uint64_t, std::uint64_t>& RunMap() const { return Runs; }

    // Whether the disk stopped answering in this run: a read failed, and so
    // did a read again of a sector read fine earlier in the run (from the
    // disk, not from the system's cache), or the system said that the device
    // is gone. Nothing more is read of it then: ReadDrive delivers no further
    // byte, and what it did not read is not unreadable, only not tried.
    bool Stopped() const { return StoppedFlag; }
    // The byte whose read found it.
    std::uint64_t StoppedAt() const { return StopOffset; }
    // What the line that says so tells the user to do, after "the disk
    // stopped answering at byte N (cluster K): "; by default "reconnect it
    // and run the same command again to go on".
    void SetStopAdvice(const std::string& advice) { StopAdvice = advice; }
    // That line, once said ("" before).
    const std::string& StopLine() const { return Said; }

    // Told by the drive's reads: the sector at offset was read fine; a read
    // at offset failed, and whether the disk should be asked if it still
    // answers; the disk stopped answering at offset (said once, on the
    // console and in the log). Witnesses: the sectors to read again, the
    // run's first and latest ones read fine.
    void Answered(std::uint64_t offset);
    bool CheckAfterFailure();
    void Stop(std::uint64_t offset);
    std::vector<std::uint64_t> Witnesses() const;

    // Whom the reads around unreadable sectors tell of each sector they
    // try; none when null.
    void SetWatcher(CBadAreaWatcher* watcher) { Watcher = watcher; }
    void Trying(std::uint64_t offset, std::uint64_t bytesLeft) const {
        if (Watcher != nullptr)
            Watcher->Trying(offset, bytesLeft);
    }

    // Where the lines for the user go besides the log (the console by
    // default); Clear keeps it.
    void SetConsole(std::ostream& console) { Console = &console; }

  private:
    CBadAreaWatcher* Watcher = nullptr;
    std::ostream* Console = &std::cout;
    std::map<std::uint64_t, std::uint64_t> Runs; // start -> end (exclusive)
    bool Open = false;                           // the last run added is not reported yet
    std::uint64_t OpenStart = 0;
    bool MapLooked = false; // FollowMapBeside has looked for the drive's map
    bool MapFollowed = false;
    bool CacheNoted = false; // the log says the disk is read through the cache
    CRescueMap Map;
    bool StoppedFlag = false;
    std::uint64_t StopOffset = 0;
    std::string StopAdvice;
    std::string Said;
    bool AnyAnswer = false;       // a sector was read fine in this run
    std::uint64_t FirstGood = 0;  // the first of them
    std::uint64_t LatestGood = 0; // the latest
    bool AnsweredSinceCheck = false;
    std::uint32_t FailedSinceCheck = 0;
};

// The disk's cluster allocation table, read once per run. Entry k tells the
// cluster that follows cluster k in its chain (0xFFFF: k is the last).
class CClusterTable {
  public:
    // The table as the drive holds it; ok when all of it could be read.
    CClusterTable(CDriveSession& drive, bool& ok);
    // The table as its 4608 bytes were read already (sectors 1 to 9).
    explicit CClusterTable(const std::uint8_t* entries);
    ~CClusterTable();
    CClusterTable(const CClusterTable&) = delete;
    CClusterTable& operator=(const CClusterTable&) = delete;

    // Low 16 bits of entry k, for 1 <= k <= 1151; 0xFFFF (end of chain) for
    // any other k and for a table that could not be read in full.
    std::uint16_t NextCluster(std::uint32_t cluster) const;

    // The chain from firstCluster: the first cluster always, then its
    // successors until 0xFFFF (not taken), 0 or a number of 1152 or more
    // (taken, and the chain ends), or a cluster already taken (a loop).
    std::vector<std::int32_t> Chain(std::int32_t firstCluster) const;

    // Writes the chain as " 3 1a 1b" in lower-case hexadecimal and ends the
    // line; the stream is left in decimal.
    void PrintChain(std::ostream& os, std::int32_t firstCluster) const;

    // Fills list with the chain and writes "Dump clusters..." and the chain to
    // the log and to console; both are left in decimal.
    void BuildChain(std::int32_t firstCluster, std::vector<std::int32_t>& list,
                    std::ostream& console) const;

    // Whether the drive was open when the table was read (the table may
    // still be short).
    bool IsOpen() const { return DriveOpen; }

  private:
    void ReportLostEntries(const CDriveSession& drive) const;

    bool DriveOpen = false;
    std::uint8_t* Entries = nullptr;
    bool Loaded = false; // all 4608 bytes of the table were read
};

// One drive as a run reads it: its name and handle, its size, its cluster
// table, the record of what could not be read of it and whether it stopped
// answering. Everything that reads the disk reads it through its session. The
// session can be closed and opened again on another path, as a disk that
// dropped out comes back under another name: what it learnt of the disk (the
// table, the unreadable sectors, the rescue map it follows) stays.
class CDriveSession {
  public:
    CDriveSession() = default;
    ~CDriveSession();
    CDriveSession(const CDriveSession&) = delete;
    CDriveSession& operator=(const CDriveSession&) = delete;

    // Opens the drive (or image) at path read-only with shared reading,
    // closing any drive open before. The first time after Forget, the rescue
    // map beside it is looked for and followed from then on
    // (CUnreadableSectors::FollowMapBeside). False when it cannot be opened.
    bool Open(const std::string& path);
    void Close();
    bool IsOpen() const { return DriveHandle != kInvalidHandle; }
    // The path as opened last: what the drive is called in every message.
    const std::string& Name() const { return Path; }
    FileHandle Handle() const { return DriveHandle; }
    // The drive's size in bytes; false when the system cannot tell it.
    bool Size(std::uint64_t& bytes) const { return IsOpen() && PlatSize(DriveHandle, bytes); }

    // Forgets what the session learnt: a new command on a new drive. The
    // drive stays open; the console stays.
    void Forget();

    // The cluster table, read from the drive (false, after saying why, when
    // the drive's table cannot be read in full; it is kept all the same), or
    // given; null before.
    bool LoadClusterTable();
    void SetClusterTable(std::unique_ptr<CClusterTable> table) { Table = std::move(table); }
    const CClusterTable* ClusterTable() const { return Table.get(); }

    CUnreadableSectors& Unreadable() { return Sectors; }
    const CUnreadableSectors& Unreadable() const { return Sectors; }
    // Whether the disk stopped answering in this session.
    bool Stopped() const { return Sectors.Stopped(); }

    // Where what the reads and the rippers have to say to the user goes,
    // besides the log: the console, unless a caller that shows its own
    // lines gives another stream.
    std::ostream& Console() const { return *Con; }
    void SetConsole(std::ostream& console);

  private:
    std::string Path;
    FileHandle DriveHandle = kInvalidHandle;
    std::unique_ptr<CClusterTable> Table;
    CUnreadableSectors Sectors;
    std::ostream* Con = &std::cout;
};

// Told by a ripper, for each packet whose payload it copies, where in the
// output that payload begins and which time stamps the packet carries: its
// PTS as the ripper takes it (the video ripper's after a wrap of the 33-bit
// counter may lie below 0 or beyond it), its DTS on the same time line (the
// PTS when it has none), and whether the ripper took the PTS as a wrap or a
// jump back of the time stamps.
class CPacketStamps {
  public:
    virtual ~CPacketStamps() = default;
    virtual void Copied(std::uint64_t outputOffset, std::int64_t pts, std::int64_t dts,
                        bool jumpedBack) = 0;
};

// One recording: its 512-byte header sector and the operations that list and
// extract it.
class CPVRFile {
  public:
    CPVRFile(CDriveSession& Drive, int FileNo);
    // A recording whose header sector was read already (header), or that
    // has none (null: every field zero), as a survey of the disk finds them.
    CPVRFile(CDriveSession& drive, int slot, const std::uint8_t* header);
    ~CPVRFile();
    CPVRFile(const CPVRFile&) = delete;
    CPVRFile& operator=(const CPVRFile&) = delete;

    // The header fields, read in place from the header sector.
    const std::string& DriveName() const { return m_Drive.Name(); }
    // The drive it is read from, and where the rippers tell the user what
    // they find.
    CDriveSession& Drive() const { return m_Drive; }
    // Whether the header sector could not be read: its fields are then zero.
    bool IsHeaderLost() const { return HeaderLost; }
    int RecordNo() const { return S8(0x00); }
    std::string Station() const { return Text(0x01, 14); }
    std::string Clip() const { return Text(0x0F, 41); }
    // The whole station and title fields, zero padding and all, as the
    // broadcast's text coding needs them: a two-byte text holds zero bytes.
    std::string StationBytes() const { return Field(0x01, 14); }
    std::string ClipBytes() const { return Field(0x0F, 41); }
    int Year() const { return S16(0x38); }
    int Month() const { return S8(0x3A); }
    int Day() const { return S8(0x3B); }
    int Hour() const { return S8(0x3C); }
    int Minute() const { return S8(0x3D); }
    int Second() const { return S8(0x3E); }
    int LengthHours() const { return S8(0x40); }
    int LengthMinutes() const { return S8(0x41); }
    int LengthSeconds() const { return S8(0x42); }
    int VClusters() const { return S16(0x48); }
    int AClusters() const { return S16(0x4A); }
    int FirstVCluster() const { return S16(0x54); }
    int FirstACluster() const { return S16(0x56); }
    int SkipStart(int entry) const { return S16(0x58 + 4 * entry); }
    int SkipStop(int entry) const { return S16(0x5A + 4 * entry); }

    // The record listing; waits for one character of standard input after it
    // when waitForKey is set.
    void PrintInfo(std::ostream& os, bool waitForKey) const;

    // Stream identification and first-PTS search. StreamStart: the chain
    // byte where the packet that told the stream id begins; nothing before it
    // is a packet that a search or a ripper takes.
    bool GetStreamIDs(CClusterReader& reader, int& streamId);
    std::uint64_t StreamStart() const { return StreamStartByte; }
    bool FindFirstPTS(CClusterReader& reader, int streamId, std::int64_t& pts);

    // The rippers: copy one stream's payload between two PTS values.
    void RipAudioStream(CClusterReader& reader, COBits& out, int streamId, std::int64_t startPTS,
                        std::int64_t maxPTS);
    void RipPrivateStream(CClusterReader& reader, COBits& out, int streamId, std::int64_t startPTS,
                          std::int64_t maxPTS);
    void RipVideoStream(CClusterReader& reader, COBits& out, int streamId, std::int64_t startPTS,
                        std::int64_t maxPTS);
    void CopyPayload(int count, CClusterReader& reader, COBits& out);
    void FillAC3Gap(int ptsDiff, COBits& out);
    void FillAudioGap(int ptsDiff, COBits& out);

    // The rip job; false when it could not go on or an output file failed.
    bool Rip(std::uint32_t startSeconds, std::uint32_t lengthSeconds);

    // Base name of the output files: "001 - News".
    std::string GetOutputName() const;

    // Whom the rippers tell of each packet they copy; none when null.
    void SetPacketStamps(CPacketStamps* stamps) { Stamps = stamps; }
    // The rule the audio ripper asks, past a packet that no packet follows,
    // whether the recording ends there; none when null (a rip cuts by time).
    void SetRecordingEnd(CRecordingEnd* end) { EndRule = end; }

    // Bytes of the audio payload copied last, one element per byte.
    const std::vector<std::int32_t>& GetLastPayload() const { return LastPayload; }

  private:
    int S8(int offset) const { return static_cast<std::int8_t>(Header[offset]); }
    int S16(int offset) const {
        return static_cast<std::int16_t>(Header[offset] | (Header[offset + 1] << 8));
    }
    std::string Text(int offset, int size) const;
    std::string Field(int offset, int size) const {
        return std::string(reinterpret_cast<const char*>(Header + offset),
                           static_cast<std::size_t>(size));
    }
    void RipAudio(CClusterReader& reader, COBits& out, int streamId, std::int64_t startPTS,
                  std::int64_t maxPTS, bool ac3);
    void FillGap(int ptsDiff, COBits& out, const AudioFormat& format);
    // Whether the recording ends with the packet whose header was just read:
    // no packet of the stream follows it, and the end rule (the rescue's;
    // without one, nothing ends) says so. The reader stays where it was.
    bool EndsAfter(CClusterReader& reader, const CPESHeader& header, int streamId);

    CDriveSession& m_Drive;
    int m_Slot = 0;
    bool HeaderLost = false;
    std::vector<std::int32_t> LastPayload;
    CPacketStamps* Stamps = nullptr;
    CRecordingEnd* EndRule = nullptr;
    std::uint64_t StreamStartByte = 0;
    std::uint8_t Header[kSectorSize] = {};
};

// The number of recordings the drive's table of contents counts; -1 when
// its sector cannot be read.
int TocFileCount(CDriveSession& drive);

// One recorder disk: its table of contents and its recordings in slot order.
class CPVRDrive {
  public:
    explicit CPVRDrive(CDriveSession& drive);
    // The disk as its first sectors were read already (sectors[0, bytes),
    // from sector 0): the recordings whose header sectors lie within them.
    // Prints nothing.
    CPVRDrive(CDriveSession& drive, const std::uint8_t* sectors, std::size_t bytes);
    virtual ~CPVRDrive();
    CPVRDrive(const CPVRDrive&) = delete;
    CPVRDrive& operator=(const CPVRDrive&) = delete;

    void ListFiles();
    // The recording in slot index; null when there is no such slot.
    CPVRFile* GetFile(int index);
    int FileCount() const { return static_cast<int>(FileList.size()); }
    // Whether sector 0 could not be read: then no recording is known.
    bool IsTocLost() const { return TocLost; }
    // The table of contents' own counts.
    int TocFileCount() const { return Toc[kTocFileCountAt]; }
    int UsedClusters() const { return TocU16(kTocUsedClustersAt); }
    int FreeClusters() const { return TocU16(kTocFreeClustersAt); }

  private:
    int TocU16(int offset) const { return Toc[offset] | (Toc[offset + 1] << 8); }

    CDriveSession& Drive;
    std::vector<CPVRFile*> FileList;
    std::uint8_t Toc[kSectorSize] = {};
    bool TocLost = false;
};
