// digest: a signed executable of the build, mutated with seeded faults aimed at its PE structure, through both
// digests. The digest reads with ReadFile into a header buffer and a heap chunk, so what can go wrong is a read
// past its buffer, a crash on a malformed header, and a digest over bytes that are not the file's. So, while the
// digests run:
//   - a ReadFile of this program into a block of the process heap that is longer than the block is refused and
//     reported, and a crash is reported by the crash filter, each with the mutation's seed;
//   - the digest must equal SHA-256 over the file's bytes outside the ranges that the PE format leaves out,
//     worked out here byte by byte, or be refused exactly when the file ends inside its DOS or PE header;
//   - the signature-checked digest is refused or equal to the unchecked one.
// A deliberate read of 200 bytes into a 100-byte block at the start proves the guard.
#include "Soak.h"

#include "log/ConsolePrint.h"
#include "support/TestSupport.h"
#include "trust/PeFileDigest.h"
#include "trust/Sha256.h"

#include <atomic>
#include <cstddef>
#include <cstring>
#include <random>

namespace soak {

using namespace pedigest;
using testsupport::Load32;
using testsupport::Store32;

namespace {

using ReadFileFunction = BOOL(WINAPI*)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
ReadFileFunction g_readFile = nullptr;
std::atomic<uint64_t> g_seed{0};
std::atomic<unsigned> g_overruns{0};
SIZE_T g_overrunBlock = 0; // the size of the block of the last read refused
DWORD g_overrunLength = 0;

// A read into a block of the process heap that is longer than the block is refused and counted.
BOOL WINAPI GuardedReadFile(HANDLE file, LPVOID buffer, DWORD length, LPDWORD read, LPOVERLAPPED overlapped)
{
    const SIZE_T block = ::HeapSize(::GetProcessHeap(), 0, buffer); // (SIZE_T)-1 for a buffer elsewhere
    if (block == SIZE_T(-1) || length <= block) return g_readFile(file, buffer, length, read, overlapped);
    g_overrunBlock = block;
    g_overrunLength = length;
    ++g_overruns;
    ::SetLastError(ERROR_NOACCESS);
    return FALSE;
}

LONG WINAPI CrashFilter(EXCEPTION_POINTERS* info)
{
    ConsolePrint(L"VIOLATION: crash: exception 0x%08lX at %p while digesting the mutation of seed 0x%016llX\n",
                 info->ExceptionRecord->ExceptionCode, info->ExceptionRecord->ExceptionAddress, g_seed.load());
    ::TerminateProcess(::GetCurrentProcess(), 1);
    return EXCEPTION_EXECUTE_HANDLER;
}

// Puts the replacement into this program's import slot of a kernel32 function; false when there is none.
template <typename Function>
bool Replace(const char* name, Function replacement, Function& original)
{
    auto* base = reinterpret_cast<unsigned char*>(::GetModuleHandleW(nullptr));
    const LONG ntOffset = reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew;
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + ntOffset);
    const DWORD imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    for (auto* library = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports); library->Name != 0; ++library) {
        if (_stricmp(reinterpret_cast<const char*>(base + library->Name), "kernel32.dll") != 0) continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + library->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + library->FirstThunk);
        for (; library->OriginalFirstThunk != 0 && names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), name) != 0) continue;
            DWORD protection = 0;
            ::VirtualProtect(&slots->u1.Function, sizeof(void*), PAGE_READWRITE, &protection);
            original = reinterpret_cast<Function>(slots->u1.Function);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            ::VirtualProtect(&slots->u1.Function, sizeof(void*), protection, &protection);
            return true;
        }
    }
    return false;
}

// What the digest must answer for these bytes: its hexadecimal text, or empty when the file ends inside its
// DOS header or its PE header. Left out by the PE format: the checksum, the certificate directory entry and,
// when that entry's size is positive as a signed number, the table it points at.
std::wstring ExpectedDigest(const std::vector<unsigned char>& image)
{
    const uint32_t header = Load32(image, kPeHeaderOffsetField);
    if (image.size() < kDosHeaderBytes || uint64_t(header) + kPeHeaderBytes > image.size()) return L"";
    const uint64_t checksum = header + offsetof(IMAGE_NT_HEADERS64, OptionalHeader.CheckSum);
    const uint64_t entry =
        header + offsetof(IMAGE_NT_HEADERS64, OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_SECURITY]);
    const uint64_t tableOffset = Load32(image, entry);
    const uint32_t tableSize = static_cast<int32_t>(Load32(image, entry + 4)) > 0 ? Load32(image, entry + 4) : 0;
    std::vector<unsigned char> kept;
    for (uint64_t at = 0; at < image.size(); ++at) {
        const bool leftOut = (at >= checksum && at < checksum + 4) || (at >= entry && at < entry + 8) ||
                             (at >= tableOffset && at < tableOffset + tableSize);
        if (!leftOut) kept.push_back(image[at]);
    }
    Sha256 hash;
    hash.Add(kept.data(), kept.size());
    return hash.Finish();
}

// One to three faults: where the PE header lies, a field of the headers (data directories and the first section
// entries included), the certificate table's place and size, truncation, extension and random bytes.
void Mutate(std::vector<unsigned char>& image, std::mt19937_64& random)
{
    const auto below = [&](uint64_t bound) { return bound == 0 ? 0 : uint32_t(random() % bound); };
    for (uint32_t fault = below(3); fault < 3; ++fault) {
        const uint32_t size = uint32_t(image.size());
        const uint32_t header = Load32(image, kPeHeaderOffsetField);
        const uint32_t entry = header + kCertificateEntryOffset;
        const uint32_t tableOffset = Load32(image, entry);
        const uint32_t interesting[] = {0, 1, 8, 0x1000, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0xFFFFFFF8, size,
                                        size - 1, size + 1, size - 8, size - kPeHeaderBytes, 0u - size, below(size + 1),
                                        uint32_t(random())};
        const uint32_t value = interesting[below(std::size(interesting))];
        switch (below(6)) {
        case 0:
            Store32(image, random() % 4 == 0 ? kPeHeaderOffsetField : header + 4 + 2 * below(200), value);
            break;
        case 1: {
            const uint32_t places[][2] = {{size + below(4096), value}, {header + kChecksumOffset, 4}, {0, size},
                                          {tableOffset, 0x80000000u}, {tableOffset, 0u - tableOffset},
                                          {size - 8, 16}, {entry, 8}, {tableOffset - below(4096), value}, {0, 0}};
            const auto& place = places[below(std::size(places))];
            Store32(image, entry, place[0]);
            Store32(image, entry + 4, place[1]);
            break;
        }
        case 2: {
            const uint64_t lengths[] = {below(kDosHeaderBytes), header + below(kPeHeaderBytes + 16), below(size),
                                        tableOffset + below(64) - 32, size - below(64)};
            const uint64_t length = lengths[below(std::size(lengths))];
            if (length < size) image.resize(length);
            break;
        }
        case 3:
            image.resize(size + below(3 * kChunkBytes), static_cast<unsigned char>(random()));
            break;
        default:
            for (uint32_t count = 1 + below(8); count > 0 && size > 0; --count) {
                image[below(random() % 4 == 0 ? size : std::min(size, 1024u))] = static_cast<unsigned char>(random());
            }
            break;
        }
    }
}

} // namespace

void Digest(uint64_t count, uint64_t seed)
{
    const std::wstring original = testsupport::ModuleFolder() + L"\\fixtures\\approved\\FnKeyAgent.exe";
    const std::vector<unsigned char> pristine = testsupport::ReadFileBytes(original);
    if (pristine.empty() || !Replace("ReadFile", &GuardedReadFile, g_readFile)) {
        Violation(L"cannot read %s or put the guard in front of ReadFile", original.c_str());
        return;
    }
    ::SetUnhandledExceptionFilter(&CrashFilter);
    {
        const win::UniqueProcessHeapBlock block(::HeapAlloc(::GetProcessHeap(), 0, 100));
        const win::UniqueHandle file(
            ::CreateFileW(original.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        DWORD read = 0;
        const BOOL refused = !::ReadFile(file.get(), block.get(), 200, &read, nullptr);
        if (g_overruns.exchange(0) != 1 || !refused || g_overrunBlock != 100) {
            Violation(L"the guard missed a deliberate read of 200 bytes into a 100-byte block");
        }
    }
    if (ComputePeFileDigest(original.c_str()) != ExpectedDigest(pristine)) {
        Violation(L"the unmutated signed file: the checked digest differs from the bytes' digest");
    }
    const testsupport::ScratchFolder folder(L"soak_digest");
    const std::wstring path = folder.File(L"mutated.exe");
    for (uint64_t i = 0; i < count; ++i) {
        g_seed = seed + i;
        std::mt19937_64 random(seed + i);
        std::vector<unsigned char> image = pristine;
        Mutate(image, random);
        if (!testsupport::WriteFileBytes(path, image)) {
            Violation(L"seed 0x%016llX: the mutated file could not be written (%lu)", seed + i, ::GetLastError());
            continue;
        }
        const std::wstring expected = ExpectedDigest(image);
        const unsigned overrunsBefore = g_overruns.load();
        const std::wstring digest = ComputePeFileDigestUnverified(path.c_str());
        const std::wstring checked = ComputePeFileDigest(path.c_str());
        if (g_overruns.load() != overrunsBefore) {
            Violation(L"seed 0x%016llX: ReadFile of %lu bytes into a %llu-byte block", seed + i, g_overrunLength,
                      static_cast<unsigned long long>(g_overrunBlock));
        }
        if (digest != expected) {
            Violation(L"seed 0x%016llX (%llu bytes): digest \"%s\", expected \"%s\"", seed + i,
                      static_cast<unsigned long long>(image.size()), digest.c_str(), expected.c_str());
        }
        if (!checked.empty() && checked != expected) {
            Violation(L"seed 0x%016llX: signature-checked digest \"%s\", expected \"%s\"", seed + i, checked.c_str(),
                      expected.c_str());
        }
    }
    ConsolePrint(L"digest: %llu mutations from seed 0x%016llX\n", static_cast<unsigned long long>(count), seed);
}

} // namespace soak
