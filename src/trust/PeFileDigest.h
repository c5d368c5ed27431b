// The digest that pins the validation library: SHA-256 over a PE file without the parts
// that signing changes, so that re-signing or re-stamping the checksum keeps the value.
#pragma once

#include <cstdint>
#include <string>

// 64 upper-case hexadecimal characters, or an empty text when the file's signature is not
// trusted or the file cannot be read as a PE file.
std::wstring ComputePeFileDigest(const wchar_t* path);

// The same digest without asking for the signature first. The build pins the shipped
// library with it; ComputePeFileDigest is this after the signature check.
std::wstring ComputePeFileDigestUnverified(const wchar_t* path);

namespace pedigest {

constexpr uint32_t kChunkBytes = 65536;
constexpr uint32_t kDosHeaderBytes = 64;
constexpr uint32_t kPeHeaderOffsetField = 60;
// Signature, file header and the 64-bit optional header up to the end of the data directories
// that matter here.
constexpr uint32_t kPeHeaderBytes = 264;
constexpr uint32_t kChecksumOffset = 88;          // from the PE header
constexpr uint32_t kChecksumBytes = 4;
constexpr uint32_t kCertificateEntryOffset = 168; // from the PE header
constexpr uint32_t kCertificateEntryBytes = 8;

// One left-out byte range [begin, end) of the file.
struct Range {
    uint64_t begin;
    uint64_t end;
};

// The left-out ranges for a PE header at headerOffset whose certificate directory entry
// holds (tableOffset, tableSize): checksum, directory entry and, when the size is positive
// as a signed 32-bit value, the certificate table. Sorted by start and merged, so a file
// whose ranges overlap (a malformed one) still yields each byte once, in file order.
void LeftOutRanges(uint32_t headerOffset, uint32_t tableOffset, uint32_t tableSize, Range (&ranges)[3], int& count);

// "0123456789ABCDEF" per half byte, high half first.
std::wstring HexUpper(const unsigned char* bytes, size_t length);

} // namespace pedigest
