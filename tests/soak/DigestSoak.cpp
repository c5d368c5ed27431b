// digest: a signed executable of the build, mutated with seeded faults aimed at its PE structure, through both
// digests; a read past its heap block or a crash is reported with the mutation's seed.
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
using namespace testsupport;

namespace {

using ReadFileFunction = BOOL(WINAPI*)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
ReadFileFunction g_readFile = nullptr;
std::atomic<uint64_t> g_seed{0};
std::atomic<unsigned> g_overruns{0};

BOOL WINAPI GuardedReadFile(HANDLE file, LPVOID buffer, DWORD length, LPDWORD read, LPOVERLAPPED overlapped)
{
    const SIZE_T block = ::HeapSize(::GetProcessHeap(), 0, buffer); // (SIZE_T)-1 for a buffer elsewhere
    if (block == SIZE_T(-1) || length <= block) return g_readFile(file, buffer, length, read, overlapped);
    ++g_overruns;
    ::SetLastError(ERROR_NOACCESS);
    return FALSE;
}

LONG WINAPI CrashFilter(EXCEPTION_POINTERS* info)
{
    ConsolePrint(L"VIOLATION: crash: exception 0x%08lX while digesting the mutation of seed 0x%016llX\n",
                 info->ExceptionRecord->ExceptionCode, g_seed.load());
    ::TerminateProcess(::GetCurrentProcess(), 1);
    return EXCEPTION_EXECUTE_HANDLER;
}

// Puts GuardedReadFile into this program's import slot of kernel32's ReadFile; false when there is none.
bool GuardReadFile()
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
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), "ReadFile") != 0) continue;
            DWORD protection = 0;
            ::VirtualProtect(&slots->u1.Function, sizeof(void*), PAGE_READWRITE, &protection);
            g_readFile = reinterpret_cast<ReadFileFunction>(slots->u1.Function);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(&GuardedReadFile);
            ::VirtualProtect(&slots->u1.Function, sizeof(void*), protection, &protection);
            return true;
        }
    }
    return false;
}

// Left out by the PE format: the checksum, the certificate directory entry and, when that entry's size is
// positive as a signed number, the table it points at. Empty for a file ending inside its headers.
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

// One to three faults, each with a value near an edge: a field of the headers (once in four where the PE
// header lies), the certificate entry's place or size, truncation, extension.
void Mutate(std::vector<unsigned char>& image, std::mt19937_64& random)
{
    const auto below = [&](uint64_t bound) { return bound == 0 ? 0 : uint32_t(random() % bound); };
    for (uint32_t fault = below(3); fault < 3; ++fault) {
        const uint32_t size = uint32_t(image.size());
        const uint32_t header = Load32(image, kPeHeaderOffsetField);
        const uint32_t entry = header + kCertificateEntryOffset;
        const uint32_t table = Load32(image, entry);
        const uint32_t edges[] = {0, 1, 8, 0x7FFFFFFF, 0x80000000, 0xFFFFFFF8, size, size - 1, size + 1, size - 8,
                                  0u - size, header + below(kPeHeaderBytes), table, table - below(4096), size - table,
                                  0u - table, below(size + 1), uint32_t(random())};
        const uint32_t value = edges[below(std::size(edges))];
        switch (below(4)) {
        case 0:
            Store32(image, below(4) == 0 ? kPeHeaderOffsetField : header + 4 + 2 * below(200), value);
            break;
        case 1:
            Store32(image, entry + 4 * below(2), value);
            break;
        case 2:
            image.resize(std::min(size, value));
            break;
        default:
            image.resize(size + below(3 * kChunkBytes), static_cast<unsigned char>(random()));
        }
    }
}

} // namespace

void Digest(uint64_t count, uint64_t seed)
{
    const std::wstring original = ModuleFolder() + L"\\fixtures\\approved\\FnKeyAgent.exe";
    const std::vector<unsigned char> pristine = ReadFileBytes(original);
    if (pristine.empty() || !GuardReadFile()) {
        Violation(L"cannot read %s or put the guard in front of ReadFile", original.c_str());
        return;
    }
    ::SetUnhandledExceptionFilter(&CrashFilter);
    const ScratchFolder folder(L"soak_digest");
    const std::wstring path = folder.File(L"mutated.exe");
    for (uint64_t i = 0; i < count; ++i) {
        g_seed = seed + i;
        std::mt19937_64 random(seed + i);
        std::vector<unsigned char> image = pristine;
        if (i != 0) Mutate(image, random); // the first, unmutated, proves the oracle
        WriteFileBytes(path, image); // a file not written shows as a digest other than expected
        const std::wstring expected = ExpectedDigest(image);
        const std::wstring digest = ComputePeFileDigestUnverified(path.c_str());
        const std::wstring checked = ComputePeFileDigest(path.c_str());
        if (g_overruns.exchange(0) != 0) Violation(L"seed 0x%016llX: a read past its heap block", seed + i);
        if (digest != expected || (checked != expected && (i == 0 || !checked.empty()))) {
            Violation(L"seed 0x%016llX (%llu bytes): digest \"%s\", checked \"%s\", expected \"%s\"", seed + i,
                      static_cast<unsigned long long>(image.size()), digest.c_str(), checked.c_str(),
                      expected.c_str());
        }
    }
    ConsolePrint(L"digest: %llu mutations from seed 0x%016llX\n", static_cast<unsigned long long>(count), seed);
}

} // namespace soak
