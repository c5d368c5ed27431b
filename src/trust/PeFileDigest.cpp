#include "trust/PeFileDigest.h"

#include "trust/FileSignature.h"
#include "trust/Sha256.h"
#include "win/Owners.h"

#include <windows.h>

#include <cstring>

namespace pedigest {

void LeftOutRanges(uint32_t headerOffset, uint32_t tableOffset, uint32_t tableSize, Range (&ranges)[3], int& count)
{
    Range places[3];
    int places_count = 0;
    const uint64_t header = headerOffset;
    places[places_count++] = {header + kChecksumOffset, header + kChecksumOffset + kChecksumBytes};
    places[places_count++] = {header + kCertificateEntryOffset,
                              header + kCertificateEntryOffset + kCertificateEntryBytes};
    // The size field is read as a signed value: zero or a "negative" size means there is no table.
    if (static_cast<int32_t>(tableSize) > 0) {
        places[places_count++] = {tableOffset, static_cast<uint64_t>(tableOffset) + tableSize};
    }

    // Sort by start (three elements) and merge overlapping or touching ranges.
    for (int i = 1; i < places_count; ++i) {
        for (int j = i; j > 0 && places[j].begin < places[j - 1].begin; --j) {
            const Range swap = places[j];
            places[j] = places[j - 1];
            places[j - 1] = swap;
        }
    }
    count = 0;
    for (int i = 0; i < places_count; ++i) {
        if (count > 0 && places[i].begin <= ranges[count - 1].end) {
            if (places[i].end > ranges[count - 1].end) ranges[count - 1].end = places[i].end;
        } else {
            ranges[count++] = places[i];
        }
    }
}

std::wstring HexUpper(const unsigned char* bytes, size_t length)
{
    static const wchar_t kDigits[] = L"0123456789ABCDEF";
    std::wstring text;
    text.reserve(length * 2);
    for (size_t i = 0; i < length; ++i) {
        text.push_back(kDigits[bytes[i] >> 4]);
        text.push_back(kDigits[bytes[i] & 0x0F]);
    }
    return text;
}

} // namespace pedigest

namespace {

using namespace pedigest;

bool SeekTo(HANDLE file, uint64_t offset)
{
    LONG high = static_cast<LONG>(offset >> 32);
    const DWORD low = ::SetFilePointer(file, static_cast<LONG>(offset & 0xFFFFFFFFu), &high, FILE_BEGIN);
    return !(low == INVALID_SET_FILE_POINTER && ::GetLastError() != NO_ERROR);
}

// A header read counts only when it delivers every byte asked for: a file that ends inside
// its headers has no digest.
bool ReadExactly(HANDLE file, void* buffer, DWORD length)
{
    DWORD read = 0;
    return ::ReadFile(file, buffer, length, &read, nullptr) && read == length;
}

uint32_t LoadU32(const unsigned char* bytes)
{
    return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
           (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

} // namespace

std::wstring ComputePeFileDigestUnverified(const wchar_t* path)
{
    if (path == nullptr) return std::wstring();

    win::UniqueHandle file(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) return std::wstring();

    Sha256 hash;

    unsigned char dosHeader[kDosHeaderBytes];
    if (!ReadExactly(file.get(), dosHeader, sizeof(dosHeader))) return std::wstring();
    const uint32_t headerOffset = LoadU32(dosHeader + kPeHeaderOffsetField);
    unsigned char peHeader[kPeHeaderBytes];
    if (!SeekTo(file.get(), headerOffset) || !ReadExactly(file.get(), peHeader, sizeof(peHeader)) ||
        !SeekTo(file.get(), 0)) {
        return std::wstring();
    }
    const uint32_t tableOffset = LoadU32(peHeader + kCertificateEntryOffset);
    const uint32_t tableSize = LoadU32(peHeader + kCertificateEntryOffset + 4);

    Range ranges[3];
    int rangeCount = 0;
    LeftOutRanges(headerOffset, tableOffset, tableSize, ranges, rangeCount);

    win::UniqueProcessHeapBlock chunk(::HeapAlloc(::GetProcessHeap(), 0, kChunkBytes));
    if (!chunk) return std::wstring();

    // Never read a left-out range: stop each read where the next one begins, then seek past it.
    uint64_t position = 0;
    int next = 0;
    for (;;) {
        while (next < rangeCount && ranges[next].end <= position) ++next;
        if (next < rangeCount && ranges[next].begin <= position) {
            position = ranges[next].end;
            ++next;
            if (!SeekTo(file.get(), position)) return std::wstring();
            continue;
        }
        DWORD wanted = kChunkBytes;
        if (next < rangeCount && ranges[next].begin - position < wanted) {
            wanted = static_cast<DWORD>(ranges[next].begin - position);
        }
        DWORD read = 0;
        if (!::ReadFile(file.get(), chunk.get(), wanted, &read, nullptr)) return std::wstring();
        if (read == 0) break;
        if (!hash.Add(chunk.get(), read)) return std::wstring();
        position += read;
    }

    return hash.Finish();
}

std::wstring ComputePeFileDigest(const wchar_t* path)
{
    if (path == nullptr || !VerifyFileSignature(path)) return std::wstring();
    return ComputePeFileDigestUnverified(path);
}
