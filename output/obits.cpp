// The buffered output file of a rip.
#include "output/output.h"
#include "platform/runlog.h"

#include <cstring>
#include <new>
#include <utility>

COBits::COBits(std::string fileName, bool& ok) {
    *g_Log << "COBits::COBits" << std::endl;
    *g_Log << fileName << std::endl;
    if (!PlatCreateWrite(fileName, Handle)) {
        *g_Log << "filehandle NOT okay!!!" << std::endl;
        ok = false;
        return;
    }
    *g_Log << "filehandle okay" << std::endl;
    Length = 0;
    Buffer = static_cast<std::uint8_t*>(::operator new[](kBufferSize, kIoAlignment, std::nothrow));
    if (Buffer == nullptr) {
        *g_Log << "could net get memory for buffer" << std::endl;
        ok = false;
        return;
    }
    ok = true;
}

COBits::COBits(CByteSink& sink)
    : Buffer(static_cast<std::uint8_t*>(::operator new[](kBufferSize, kIoAlignment))), Sink(&sink) {
}

COBits::~COBits() {
    if (Sink != nullptr)
        Flush();
    if (Handle != kInvalidHandle) {
        Flush();
        PlatClose(Handle);
    }
    ::operator delete[](Buffer, kIoAlignment);
}

void COBits::Flush() {
    if (Length == 0 || Buffer == nullptr)
        return;
    std::uint32_t written = 0;
    if (Sink != nullptr) {
        Sink->Put(Buffer, static_cast<std::size_t>(Length));
    } else if (!PlatWrite(Handle, Buffer, static_cast<std::uint32_t>(Length), written)) {
        *g_Log << "COBits::Flush WriteFile failed!" << std::endl;
        Failed = true;
        Full = Full || PlatWriteFoundDiskFull();
    } else if (Hash) {
        Hash->Update(Buffer, static_cast<std::size_t>(Length));
    }
    Flushed += static_cast<std::uint64_t>(Length);
    Length = 0;
}

void COBits::Write(const std::uint8_t* bytes, std::size_t count) {
    if (Buffer == nullptr)
        return;
    // A sink takes a long run from where it lies, after what is buffered:
    // the same bytes in the same order, in other pieces, without a copy.
    if (Sink != nullptr && count >= kSinkRunBytes) {
        Flush();
        Sink->Put(bytes, count);
        Flushed += count;
        return;
    }
    while (count > 0) {
        const std::size_t room = static_cast<std::size_t>(kBufferSize - Length);
        const std::size_t n = count < room ? count : room;
        std::memcpy(Buffer + Length, bytes, n);
        Length += static_cast<std::int32_t>(n);
        bytes += n;
        count -= n;
        if (Length == kBufferSize)
            Flush();
    }
}

bool COBits::Boundary(std::uint64_t run) {
    if (PartMax == 0 || Handle == kInvalidHandle || Position() == PartStart ||
        Position() - PartStart + run <= PartMax)
        return false;
    Flush();
    PlatClose(Handle);
    if (Hash)
        PartDigests.push_back(CSha256::Hex(Hash->Final()));
    ++Part;
    PartStart = Position();
    *g_Log << "COBits: part " << Part << std::endl;
    if (!PlatCreateWrite(PartName(Part), Handle)) {
        *g_Log << "filehandle NOT okay!!!" << std::endl;
        Failed = true;
        Handle = kInvalidHandle;
    }
    return true;
}

std::vector<std::string> COBits::Digests() {
    if (!Hash)
        return {};
    std::vector<std::string> digests = PartDigests;
    digests.push_back(CSha256::Hex(Hash->Final()));
    Hash.reset();
    return digests;
}
