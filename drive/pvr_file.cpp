// One recording's header sector and its listing.
#include "drive/drive.h"
#include "platform/runlog.h"

#include <cstdio>
#include <cstring>

namespace {
constexpr int kSkipIndexEntries = 10;
constexpr int kUnusedSkip = -1; // 0xFFFF in either half
} // namespace

CPVRFile::CPVRFile(CDriveSession& Drive, int FileNo) : m_Drive(Drive), m_Slot(FileNo) {
    *g_Log << "CPVRFile::CPVRFile(char *Drivename, int FileNo)" << std::endl;

    // The header stays zero-filled where the drive could not deliver it.
    if (m_Drive.IsOpen()) {
        const std::uint64_t sector = static_cast<std::uint64_t>(FileNo) + kFirstHeaderSector;
        std::uint32_t got = 0;
        HeaderLost = !ReadDrive(m_Drive, sector * kSectorSize, Header, kSectorSize, got);
    } else {
        *g_Log << "could not open drive " << m_Drive.Name() << " for file " << FileNo << std::endl;
    }
}

CPVRFile::CPVRFile(CDriveSession& drive, int slot, const std::uint8_t* header)
    : m_Drive(drive), m_Slot(slot) {
    if (header != nullptr)
        std::memcpy(Header, header, kSectorSize);
}

CPVRFile::~CPVRFile() {
    // A rip that could not go on leaves the log in hexadecimal.
    *g_Log << std::dec << "CPVRFile::~CPVRFile() for " << RecordNo() << std::endl;
}

std::string CPVRFile::Text(int offset, int size) const {
    // A text that fills its whole field has no zero byte: it ends at the
    // field's last byte.
    const char* begin = reinterpret_cast<const char*>(Header + offset);
    const void* zero = std::memchr(begin, 0, static_cast<std::size_t>(size));
    const std::size_t length =
        zero ? static_cast<std::size_t>(static_cast<const char*>(zero) - begin)
             : static_cast<std::size_t>(size);
    return std::string(begin, length);
}

void CPVRFile::PrintInfo(std::ostream& os, bool waitForKey) const {
    os.unsetf(std::ios::hex);
    os.setf(std::ios::dec);
    if (HeaderLost) {
        os << "the header of recording slot " << m_Slot << " cannot be read" << std::endl;
        os << std::endl;
        if (waitForKey)
            std::getchar();
        return;
    }
    os << "RecordNo    =" << RecordNo() << std::endl;
    os << "Station     =" << Station() << std::endl;
    os << "Clip        =" << Clip() << std::endl;
    os << "Date        =" << Day() << "." << Month() << "." << Year() << " " << Hour() << ":"
       << Minute() << ":" << Second() << std::endl;
    os << "Length      =" << LengthHours() << ":" << LengthMinutes() << ":" << LengthSeconds()
       << std::endl;
    os << "Length in s =" << LengthHours() * 3600 + LengthMinutes() * 60 + LengthSeconds()
       << std::endl;
    os << "SkipIndex   =" << std::endl;
    for (int entry = 0; entry < kSkipIndexEntries; ++entry) {
        if (SkipStart(entry) != kUnusedSkip && SkipStop(entry) != kUnusedSkip)
            os << "start=" << SkipStart(entry) << " stop=" << SkipStop(entry) << std::endl;
    }
    os << "VClusters   =" << VClusters() << " means max " << VClusters() * kClusterMBytes
       << " MByte" << std::endl;
    os << "AClusters   =" << AClusters() << " means max " << AClusters() * kClusterMBytes
       << " MByte" << std::endl;
    os << "VClusters   =";
    m_Drive.ClusterTable()->PrintChain(os, FirstVCluster());
    os << "AClusters   =";
    m_Drive.ClusterTable()->PrintChain(os, FirstACluster());
    os << std::endl;
    if (waitForKey)
        std::getchar();
}
