// digest: a signed executable of the build, mutated with seeded faults aimed at its PE
// structure, through the PE digest, count times.
//
// The digest reads the file with ReadFile into a stack header buffer and a heap chunk, so bytes
// past the end of the file can never arrive; what can go wrong is a read that writes past its
// buffer, a crash on a malformed header, and a digest over bytes that are not the file's. So:
//   - while the digest runs, every HeapAlloc of this program's code returns a block that ends
//     where a reserved, inaccessible zone begins, and every ReadFile first touches each page
//     of its destination: a read longer than its block is an access violation, caught by a
//     vectored handler that reports the mutation's seed (and opens the page so the run goes on;
//     the read is then refused with ERROR_NOACCESS);
//   - any other crash reaches the unhandled-exception filter, which reports the seed;
//   - the digest must equal SHA-256 over the file's own bytes outside the left-out ranges
//     (worked out here byte by byte from the PE format), or be refused exactly when the file
//     ends inside its DOS header or its PE header;
//   - the signature-checked digest is either refused or equal to the unchecked one.
#include "Soak.h"

#include "log/ConsolePrint.h"
#include "trust/PeFileDigest.h"
#include "trust/Sha256.h"
#include "win/Owners.h"

#include <atomic>
#include <cstddef>
#include <cstring>
#include <map>

namespace soak {
namespace {

using namespace pedigest;

constexpr size_t kPage = 4096;
constexpr size_t kGuardZoneBytes = 1 << 20; // reserved after every guarded block

// ---- the guard: HeapAlloc, HeapFree and ReadFile of this program, replaced in its import table

using HeapAllocFn = LPVOID(WINAPI*)(HANDLE, DWORD, SIZE_T);
using HeapFreeFn = BOOL(WINAPI*)(HANDLE, DWORD, LPVOID);
using ReadFileFn = BOOL(WINAPI*)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
HeapAllocFn g_realHeapAlloc = nullptr;
HeapFreeFn g_realHeapFree = nullptr;
ReadFileFn g_realReadFile = nullptr;

struct GuardedBlock {
    unsigned char* base;   // of the reservation
    size_t size;           // asked for
    unsigned char* end;    // of the committed part, where the guard zone begins
};
SRWLOCK g_blocksLock = SRWLOCK_INIT;
std::map<void*, GuardedBlock> g_blocks; // by the pointer handed out
std::atomic<bool> g_guarding{false};
std::atomic<uint64_t> g_currentSeed{0};
std::atomic<uint64_t> g_overruns{0};
size_t g_lastOverrunBlock = 0; // the size of the block last overrun
DWORD g_lastReadLength = 0;
bool g_lastOverrunByRead = false;
bool g_touching = false; // inside ReadFile's touch of its destination
uint64_t g_reads = 0;

LPVOID WINAPI GuardedHeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes)
{
    if (!g_guarding.load()) return g_realHeapAlloc(heap, flags, bytes);
    // Rounded to 16 for the heap's alignment: at most 15 bytes after a block are not guarded.
    const size_t rounded = (bytes + 15) & ~static_cast<size_t>(15);
    const size_t committed = rounded == 0 ? kPage : (rounded + kPage - 1) / kPage * kPage;
    auto* base = static_cast<unsigned char*>(::VirtualAlloc(nullptr, committed + kGuardZoneBytes, MEM_RESERVE, PAGE_NOACCESS));
    if (base == nullptr) return nullptr;
    if (::VirtualAlloc(base, committed, MEM_COMMIT, PAGE_READWRITE) == nullptr) {
        ::VirtualFree(base, 0, MEM_RELEASE);
        return nullptr;
    }
    unsigned char* block = base + committed - rounded;
    ::AcquireSRWLockExclusive(&g_blocksLock);
    g_blocks[block] = {base, bytes, base + committed};
    ::ReleaseSRWLockExclusive(&g_blocksLock);
    return block;
}

BOOL WINAPI GuardedHeapFree(HANDLE heap, DWORD flags, LPVOID memory)
{
    ::AcquireSRWLockExclusive(&g_blocksLock);
    const auto found = g_blocks.find(memory);
    unsigned char* base = nullptr;
    if (found != g_blocks.end()) {
        base = found->second.base;
        g_blocks.erase(found);
    }
    ::ReleaseSRWLockExclusive(&g_blocksLock);
    if (base == nullptr) return g_realHeapFree(heap, flags, memory);
    return ::VirtualFree(base, 0, MEM_RELEASE);
}

BOOL WINAPI GuardedReadFile(HANDLE file, LPVOID buffer, DWORD length, LPDWORD read, LPOVERLAPPED overlapped)
{
    if (g_guarding.load() && buffer != nullptr && length > 0) {
        ++g_reads;
        g_lastReadLength = length;
        // Touch every page of the destination, so that a read longer than its buffer faults
        // here, in user mode, where the handler sees it.
        const uint64_t before = g_overruns.load();
        g_touching = true;
        auto* first = static_cast<volatile unsigned char*>(buffer);
        volatile unsigned char* last = first + length - 1;
        for (volatile unsigned char* page = first; page <= last && g_overruns.load() == before;
             page = reinterpret_cast<volatile unsigned char*>((reinterpret_cast<uintptr_t>(page) | (kPage - 1)) + 1)) {
            *page = *page;
        }
        if (g_overruns.load() == before) *last = *last;
        g_touching = false;
        if (g_overruns.load() != before) {
            if (read != nullptr) *read = 0;
            ::SetLastError(ERROR_NOACCESS);
            return FALSE;
        }
    }
    return g_realReadFile(file, buffer, length, read, overlapped);
}

LONG CALLBACK GuardZoneHandler(EXCEPTION_POINTERS* info)
{
    if (info->ExceptionRecord->ExceptionCode != EXCEPTION_ACCESS_VIOLATION ||
        info->ExceptionRecord->NumberParameters < 2) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    auto* address = reinterpret_cast<unsigned char*>(info->ExceptionRecord->ExceptionInformation[1]);
    ::AcquireSRWLockShared(&g_blocksLock);
    bool inZone = false;
    for (const auto& entry : g_blocks) {
        const GuardedBlock& block = entry.second;
        if (address >= block.end && address < block.end + kGuardZoneBytes) {
            inZone = true;
            g_lastOverrunBlock = block.size;
            g_lastOverrunByRead = g_touching;
            break;
        }
    }
    ::ReleaseSRWLockShared(&g_blocksLock);
    if (!inZone) return EXCEPTION_CONTINUE_SEARCH;
    ++g_overruns;
    // Open the page so the faulting access completes; the read that caused it is refused.
    ::VirtualAlloc(reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(address) & ~(kPage - 1)), kPage, MEM_COMMIT,
                   PAGE_READWRITE);
    return EXCEPTION_CONTINUE_EXECUTION;
}

LONG WINAPI CrashFilter(EXCEPTION_POINTERS* info)
{
    ConsolePrint(L"VIOLATION: crash: exception 0x%08lX at %p while digesting the mutation of seed 0x%016llX\n",
                 info->ExceptionRecord->ExceptionCode, info->ExceptionRecord->ExceptionAddress,
                 static_cast<unsigned long long>(g_currentSeed.load()));
    ::TerminateProcess(::GetCurrentProcess(), 1);
    return EXCEPTION_EXECUTE_HANDLER;
}

// The import slot of one kernel32 function in this program's import table.
void** ImportSlot(const char* function)
{
    auto* base = reinterpret_cast<unsigned char*>(::GetModuleHandleW(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); d->Name != 0; ++d) {
        if (_stricmp(reinterpret_cast<const char*>(base + d->Name), "kernel32.dll") != 0 || d->OriginalFirstThunk == 0) continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) == 0) {
                return reinterpret_cast<void**>(&slots->u1.Function);
            }
        }
    }
    return nullptr;
}

template <typename Fn>
bool Replace(const char* function, Fn replacement, Fn& original)
{
    void** slot = ImportSlot(function);
    DWORD protection = 0;
    if (slot == nullptr || !::VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &protection)) return false;
    original = reinterpret_cast<Fn>(*slot);
    *slot = reinterpret_cast<void*>(replacement);
    ::VirtualProtect(slot, sizeof(void*), protection, &protection);
    return true;
}

// ---- what the digest must say, from the bytes in memory

uint32_t LoadU32(const std::vector<unsigned char>& image, uint64_t offset)
{
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | (offset + i < image.size() ? image[offset + i] : 0);
    return value;
}

void StoreU32(std::vector<unsigned char>& image, uint64_t offset, uint32_t value)
{
    for (int i = 0; i < 4 && offset + i < image.size(); ++i) image[offset + i] = static_cast<unsigned char>(value >> (8 * i));
}

enum Outcome { kComputed, kShortDosHeader, kPeHeaderPastEnd, kOutcomes };
const wchar_t* const kOutcomeNames[kOutcomes] = {L"digest computed", L"refused: the file ends inside its DOS header",
                                                 L"refused: the PE header lies past the end of the file"};

// Left out of the digest, by the PE format itself: the checksum, the certificate directory entry
// and, when that entry's size is positive as a signed number, the table it points at.
bool LeftOut(uint64_t at, uint64_t header, uint64_t tableOffset, uint32_t tableSize)
{
    const uint64_t checksum = header + offsetof(IMAGE_NT_HEADERS64, OptionalHeader.CheckSum);
    const uint64_t entry = header + offsetof(IMAGE_NT_HEADERS64, OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_SECURITY]);
    return (at >= checksum && at < checksum + 4) || (at >= entry && at < entry + 8) ||
           (static_cast<int32_t>(tableSize) > 0 && at >= tableOffset && at < tableOffset + tableSize);
}

Outcome Expect(const std::vector<unsigned char>& image, std::wstring& digest)
{
    digest.clear();
    if (image.size() < kDosHeaderBytes) return kShortDosHeader;
    const uint32_t header = LoadU32(image, kPeHeaderOffsetField);
    if (static_cast<uint64_t>(header) + kPeHeaderBytes > image.size()) return kPeHeaderPastEnd;
    const uint64_t entry = header + offsetof(IMAGE_NT_HEADERS64, OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_SECURITY]);
    const uint32_t tableOffset = LoadU32(image, entry), tableSize = LoadU32(image, entry + 4);
    std::vector<unsigned char> kept;
    for (uint64_t at = 0; at < image.size(); ++at) {
        if (!LeftOut(at, header, tableOffset, tableSize)) kept.push_back(image[at]);
    }
    Sha256 hash;
    hash.Add(kept.data(), kept.size());
    digest = hash.Finish();
    return kComputed;
}

// ---- the mutations

uint32_t Interesting(Random& random, uint64_t size)
{
    const uint32_t s = static_cast<uint32_t>(size);
    const uint32_t values[] = {0, 1, 4, 8, 0x40, 0x1000, 0x10000, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0xFFFFFFF8,
                               s, s - 1, s + 1, s - 8, s - kPeHeaderBytes, s - kPeHeaderBytes + 1, 0u - s,
                               random.Below(s + 1), static_cast<uint32_t>(random.Next())};
    return values[random.Below(sizeof(values) / sizeof(values[0]))];
}

struct Layout {
    uint32_t header = 0, optionalHeader = 0, directories = 0, sections = 0, sectionCount = 0;
};

Layout Parse(const std::vector<unsigned char>& image)
{
    Layout layout;
    layout.header = LoadU32(image, kPeHeaderOffsetField);
    layout.optionalHeader = layout.header + 24;
    const uint32_t magic = LoadU32(image, layout.optionalHeader) & 0xFFFF;
    layout.directories = layout.optionalHeader + (magic == 0x10B ? 96 : 112);
    layout.sections = layout.optionalHeader + (LoadU32(image, layout.header + 20) & 0xFFFF);
    layout.sectionCount = LoadU32(image, layout.header + 6) & 0xFFFF;
    return layout;
}

// One to three faults.
void Mutate(std::vector<unsigned char>& image, Random& random)
{
    const int faults = 1 + static_cast<int>(random.Below(3));
    for (int f = 0; f < faults; ++f) {
        const Layout layout = Parse(image); // of the image as earlier faults left it
        const uint64_t size = image.size();
        switch (random.Below(8)) {
        case 0: // where the PE header lies
            StoreU32(image, kPeHeaderOffsetField, Interesting(random, size));
            break;
        case 1: { // a field of the file header or optional header
            const uint32_t offset = layout.header + 4 + 2 * random.Below(60);
            if (random.OneIn(2)) {
                StoreU32(image, offset, Interesting(random, size));
            } else if (offset + 1 < size) {
                image[offset] = static_cast<unsigned char>(random.Next());
                image[offset + 1] = static_cast<unsigned char>(random.Next());
            }
            break;
        }
        case 2: // the section table: a field of one entry, or the number of entries
            if (random.OneIn(4)) {
                StoreU32(image, layout.header + 6, (LoadU32(image, layout.header + 6) & 0xFFFF0000u) | (random.Next() & 0xFFFF));
            } else {
                const uint32_t section = random.Below(std::max<uint32_t>(layout.sectionCount, 1) + 1);
                StoreU32(image, layout.sections + 40 * section + 8 + 4 * random.Below(8), Interesting(random, size));
            }
            break;
        case 3: // an optional-header data directory
            StoreU32(image, layout.directories + 8 * random.Below(16) + 4 * random.Below(2), Interesting(random, size));
            break;
        case 4: { // the certificate table's place and size
            const uint32_t entry = layout.header + kCertificateEntryOffset;
            const uint32_t offset = LoadU32(image, entry), length = LoadU32(image, entry + 4);
            const uint32_t h = layout.header;
            const uint32_t pairs[][2] = {
                {static_cast<uint32_t>(size) + random.Below(4096), length}, {h + kChecksumOffset, 4},
                {h + 80, 200}, {0, static_cast<uint32_t>(size)}, {offset, 0x80000000u}, {0xFFFFFFF0u, 0x20},
                {offset, 0u - offset}, {static_cast<uint32_t>(size) - 8, 16}, {random.Below(size), random.Below(size)},
                {h + kCertificateEntryOffset, 8}, {offset, length + random.Below(4096)}, {offset, 0},
                {offset - random.Below(4096), length}, {0, 0}, {offset, 0xFFFFFFFFu}};
            const auto& pair = pairs[random.Below(sizeof(pairs) / sizeof(pairs[0]))];
            StoreU32(image, entry, pair[0]);
            StoreU32(image, entry + 4, pair[1]);
            break;
        }
        case 5: { // truncation: inside the headers, anywhere, or near the certificate table
            const uint64_t table = LoadU32(image, layout.header + kCertificateEntryOffset);
            const uint64_t choices[] = {random.Below(kDosHeaderBytes), layout.header + random.Below(kPeHeaderBytes + 16),
                                        random.Below(size), table + random.Below(64) - 32, size - random.Below(64)};
            const uint64_t length = choices[random.Below(5)];
            if (length < size) image.resize(length);
            break;
        }
        case 6: { // extension past the end, across chunk boundaries
            const uint32_t extra = random.Below(3 * kChunkBytes);
            const size_t old = image.size();
            image.resize(old + extra);
            for (size_t i = old; i < image.size(); ++i) image[i] = static_cast<unsigned char>(random.Next());
            break;
        }
        default: { // a few random bytes, most of them in the headers
            const int count = 1 + static_cast<int>(random.Below(8));
            for (int i = 0; i < count && size > 0; ++i) {
                const uint64_t limit = random.OneIn(4) ? size : std::min<uint64_t>(size, 1024);
                image[random.Below(static_cast<uint32_t>(limit))] = static_cast<unsigned char>(random.Next());
            }
            break;
        }
        }
    }
}

} // namespace

int DigestSoak(uint64_t count, uint64_t seed)
{
    Violations violations;
    const std::wstring original = ModuleFolder() + L"\\fixtures\\approved\\FnKeyAgent.exe";
    std::vector<unsigned char> pristine;
    if (!ReadWholeFile(original, pristine)) {
        ConsolePrint(L"cannot read %s\n", original.c_str());
        return 2;
    }
    if (!Replace("HeapAlloc", &GuardedHeapAlloc, g_realHeapAlloc) || !Replace("HeapFree", &GuardedHeapFree, g_realHeapFree) ||
        !Replace("ReadFile", &GuardedReadFile, g_realReadFile)) {
        ConsolePrint(L"cannot put the guard in front of HeapAlloc, HeapFree and ReadFile\n");
        return 2;
    }
    ::AddVectoredExceptionHandler(1, &GuardZoneHandler);
    ::SetUnhandledExceptionFilter(&CrashFilter);
    // Proof that the guard works: one deliberate read of 200 bytes into a 100-byte block must be caught.
    {
        g_guarding = true;
        const win::UniqueProcessHeapBlock block(::HeapAlloc(::GetProcessHeap(), 0, 100));
        const win::UniqueHandle file(::CreateFileW(original.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        DWORD read = 0;
        ::ReadFile(file.get(), block.get(), 200, &read, nullptr);
        g_guarding = false;
        if (g_overruns.exchange(0) != 1 || !g_lastOverrunByRead || g_lastOverrunBlock != 100) {
            violations.Add(L"the guard missed a deliberate read of 200 bytes into a 100-byte block");
        }
        g_reads = 0;
    }

    const std::wstring folder = TempFolder() + L"\\fn-soak-digest-" + std::to_wstring(::GetCurrentProcessId());
    ::CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring path = folder + L"\\mutated.exe";
    ConsolePrint(L"digest: %llu mutations of %s (%llu bytes), first seed 0x%016llX\n",
                 static_cast<unsigned long long>(count), original.c_str(), static_cast<unsigned long long>(pristine.size()),
                 static_cast<unsigned long long>(seed));

    // The unmutated file: its signature is trusted and both digests agree with the bytes.
    {
        std::wstring expected;
        Expect(pristine, expected);
        const std::wstring checked = ComputePeFileDigest(original.c_str());
        if (checked != expected) {
            violations.Add(L"the unmutated signed file: checked digest \"%s\", expected %s", checked.c_str(), expected.c_str());
        }
    }

    uint64_t outcomes[kOutcomes] = {}, trusted = 0, refusedBySignature = 0;
    const Stopwatch clock;
    for (uint64_t i = 0; i < count; ++i) {
        const uint64_t mutationSeed = seed + i;
        g_currentSeed = mutationSeed;
        std::vector<unsigned char> image = pristine;
        Random random(mutationSeed);
        Mutate(image, random);
        if (!WriteWholeFile(path, image.data(), image.size())) {
            violations.Add(L"seed 0x%016llX: the mutated file could not be written (%lu)",
                           static_cast<unsigned long long>(mutationSeed), ::GetLastError());
            continue;
        }
        std::wstring expected;
        const Outcome outcome = Expect(image, expected);
        const uint64_t overrunsBefore = g_overruns.load();
        g_guarding = true;
        const std::wstring digest = ComputePeFileDigestUnverified(path.c_str());
        const std::wstring checked = ComputePeFileDigest(path.c_str());
        g_guarding = false;
        if (g_overruns.load() != overrunsBefore) {
            if (g_lastOverrunByRead) {
                violations.Add(L"seed 0x%016llX: ReadFile of %lu bytes into a %llu-byte buffer, past its end",
                               static_cast<unsigned long long>(mutationSeed), g_lastReadLength,
                               static_cast<unsigned long long>(g_lastOverrunBlock));
            } else {
                violations.Add(L"seed 0x%016llX: an access past the end of a %llu-byte block",
                               static_cast<unsigned long long>(mutationSeed), static_cast<unsigned long long>(g_lastOverrunBlock));
            }
        }
        if (digest != expected) {
            violations.Add(L"seed 0x%016llX (%llu bytes): digest \"%s\", expected \"%s\" (%s)",
                           static_cast<unsigned long long>(mutationSeed), static_cast<unsigned long long>(image.size()),
                           digest.c_str(), expected.c_str(), kOutcomeNames[outcome]);
        } else {
            ++outcomes[outcome];
        }
        if (checked.empty()) {
            ++refusedBySignature;
        } else if (checked != expected) {
            violations.Add(L"seed 0x%016llX: signature-checked digest \"%s\", expected \"%s\"",
                           static_cast<unsigned long long>(mutationSeed), checked.c_str(), expected.c_str());
        } else {
            ++trusted;
        }
    }
    const double seconds = clock.Seconds();
    g_currentSeed = 0;
    RemoveTree(folder);

    for (int o = 0; o < kOutcomes; ++o) {
        ConsolePrint(L"  %-56s %llu\n", kOutcomeNames[o], static_cast<unsigned long long>(outcomes[o]));
    }
    ConsolePrint(L"  %-56s %llu\n", L"signature-checked digest: signature still trusted", static_cast<unsigned long long>(trusted));
    ConsolePrint(L"  %-56s %llu\n", L"signature-checked digest: refused", static_cast<unsigned long long>(refusedBySignature));
    ConsolePrint(L"  reads %llu, overruns caught %llu (and the deliberate one at the start)\n",
                 static_cast<unsigned long long>(g_reads), static_cast<unsigned long long>(g_overruns.load()));
    ConsolePrint(L"  %.1f s, %.1f mutations/s (both digests each)\n", seconds, seconds > 0 ? count / seconds : 0.0);
    return violations.Finish();
}

} // namespace soak
