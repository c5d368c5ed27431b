// digest: a signed executable of the build, mutated with seeded faults aimed at its PE structure, through the
// digest (its signature check is the trust test's); a read past its heap block or a crash is reported with the seed.
#include "Soak.h"

#include "log/ConsolePrint.h"
#include "support/TestSupport.h"
#include "trust/PeFileDigest.h"

#include <atomic>
#include <random>

namespace soak {

using namespace testsupport;

namespace {

// Little-endian 32-bit fields of a file's bytes; bytes past the end read as 0 and are not written.
uint32_t Load32(const std::vector<unsigned char>& bytes, uint64_t at)
{
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | (at + i < bytes.size() ? bytes[at + i] : 0);
    return value;
}

void Store32(std::vector<unsigned char>& bytes, uint64_t at, uint32_t value)
{
    for (int i = 0; i < 4 && at + i < bytes.size(); ++i) bytes[at + i] = static_cast<unsigned char>(value >> (8 * i));
}

// The PE format as the soak reads it, apart from the product's reading: the PE header's place at 0x3C of the DOS
// header; the PE header ("PE\0\0", the 20-byte file header, the 64-bit optional header of 240 bytes) with the
// checksum 64 bytes and the certificate directory entry (offset, size) 112 + 4 * 8 bytes into the optional header.
constexpr uint32_t kHeaderPlace = 0x3C;
constexpr uint32_t kHeaderBytes = 4 + 20 + 240;
constexpr uint32_t kChecksumAt = 4 + 20 + 64;
constexpr uint32_t kCertificateEntryAt = 4 + 20 + 112 + 4 * 8;
// Extensions reach over up to three of the 64 KiB pieces that the product reads.
constexpr uint32_t kExtensionBytes = 3 * 65536;

std::atomic<bool> g_guarding{false};
std::atomic<uint64_t> g_seed{0};
std::atomic<unsigned> g_overruns{0};

BOOL WINAPI GuardedReadFile(HANDLE file, LPVOID buffer, DWORD length, LPDWORD read, LPOVERLAPPED overlapped)
{
    static const auto readFile = reinterpret_cast<decltype(&::ReadFile)>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "ReadFile")));
    // (SIZE_T)-1 for a buffer elsewhere, and outside the digest run.
    const SIZE_T block = g_guarding ? ::HeapSize(::GetProcessHeap(), 0, buffer) : SIZE_T(-1);
    if (block == SIZE_T(-1) || length <= block) return readFile(file, buffer, length, read, overlapped);
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

// Left out by the PE format: the checksum, the certificate directory entry and, when that entry's size is
// positive as a signed number, the table it points at; the rest hashed by the host's sha256sum through the file
// keptPath, in upper case. Empty for a file ending inside its headers.
std::wstring ExpectedDigest(const std::vector<unsigned char>& image, const std::wstring& keptPath)
{
    const uint32_t header = Load32(image, kHeaderPlace);
    if (uint64_t(header) + kHeaderBytes > image.size()) return L""; // a file shorter than its DOS header too
    const uint64_t checksum = uint64_t(header) + kChecksumAt;
    const uint64_t entry = uint64_t(header) + kCertificateEntryAt;
    const uint64_t tableOffset = Load32(image, entry);
    const uint32_t tableSize = static_cast<int32_t>(Load32(image, entry + 4)) > 0 ? Load32(image, entry + 4) : 0;
    std::vector<unsigned char> kept;
    for (uint64_t at = 0; at < image.size(); ++at) {
        const bool leftOut = (at >= checksum && at < checksum + 4) || (at >= entry && at < entry + 8) ||
                             (at >= tableOffset && at < tableOffset + tableSize);
        if (!leftOut) kept.push_back(image[at]);
    }
    WriteFileBytes(L"Z:" + keptPath, kept);
    // Wine does not wait for a host program: its hash is awaited as a file that appears whole.
    const std::wstring sum = keptPath + L".sum";
    const std::wstring part = sum + L"~";
    ::DeleteFileW((L"Z:" + sum).c_str());
    const std::wstring command =
        L"/usr/bin/sha256sum " + keptPath + L" | head -c64 | tr a-f A-F >" + part + L" && mv " + part + L" " + sum;
    RunAndCapture(L"Z:\\bin\\sh -c \"" + command + L"\"");
    WaitUntil([&] { return FileExists(L"Z:" + sum); }, 10000, 1);
    const std::vector<unsigned char> text = ReadFileBytes(L"Z:" + sum);
    return std::wstring(text.begin(), text.end());
}

// One to three faults, each with a value near an edge: a field of the headers (once in four where the PE
// header lies), the certificate entry's place or size, truncation, extension.
void Mutate(std::vector<unsigned char>& image, std::mt19937_64& random)
{
    const auto below = [&](uint64_t bound) { return bound == 0 ? 0 : uint32_t(random() % bound); };
    for (uint32_t fault = below(3); fault < 3; ++fault) {
        const uint32_t size = uint32_t(image.size());
        const uint32_t header = Load32(image, kHeaderPlace);
        const uint32_t entry = header + kCertificateEntryAt;
        const uint32_t table = Load32(image, entry);
        const uint32_t edges[] = {0, 1, 8, 0x7FFFFFFF, 0x80000000, 0xFFFFFFF8, size, size - 1, size + 1, size - 8,
                                  0u - size, header + below(kHeaderBytes), table, table - below(4096), size - table,
                                  0u - table, below(size + 1), uint32_t(random())};
        const uint32_t value = edges[below(std::size(edges))];
        switch (below(4)) {
        case 0:
            Store32(image, below(4) == 0 ? kHeaderPlace : header + 4 + 2 * below(200), value);
            break;
        case 1:
            Store32(image, entry + 4 * below(2), value);
            break;
        case 2:
            image.resize(std::min(size, value));
            break;
        default:
            image.resize(size + below(kExtensionBytes), static_cast<unsigned char>(random()));
        }
    }
}

} // namespace

// Every call of ReadFile in this program, the product's among them, goes through this pointer, which takes the place
// of the one in kernel32's import library.
extern "C" {
decltype(&::ReadFile) __imp_ReadFile = &GuardedReadFile;
}

void Digest(uint64_t count, uint64_t seed)
{
    const std::wstring original = ModuleFolder() + L"\\fixtures\\approved\\FnKeyAgent.exe";
    const std::vector<unsigned char> pristine = ReadFileBytes(original);
    if (pristine.empty()) {
        Violation(L"cannot read %s", original.c_str());
        return;
    }
    g_guarding = true;
    ::SetUnhandledExceptionFilter(&CrashFilter);
    const ScratchFolder folder(L"soak_digest");
    const std::wstring path = folder.File(L"mutated.exe");
    const std::wstring keptPath = L"/tmp/fn_soak_digest." + std::to_wstring(::GetCurrentProcessId());
    // The soak's reading of the PE format and the host's SHA-256 are the oracle; the product's are under test.
    for (uint64_t i = 0; i < count; ++i) {
        g_seed = seed + i;
        std::mt19937_64 random(seed + i);
        std::vector<unsigned char> image = pristine;
        if (i != 0) Mutate(image, random); // the first, unmutated, proves the oracle
        WriteFileBytes(path, image); // a file not written shows as a digest other than expected
        const std::wstring expected = ExpectedDigest(image, keptPath);
        const std::wstring digest = ComputePeFileDigestUnverified(path.c_str());
        if (g_overruns.exchange(0) != 0) Violation(L"seed 0x%016llX: a read past its heap block", seed + i);
        if (digest != expected) {
            Violation(L"seed 0x%016llX (%llu bytes): digest \"%s\", expected \"%s\"", seed + i,
                      static_cast<unsigned long long>(image.size()), digest.c_str(), expected.c_str());
        }
    }
    for (const wchar_t* suffix : {L"", L".sum"}) ::DeleteFileW((L"Z:" + keptPath + suffix).c_str());
    ConsolePrint(L"digest: %llu mutations from seed 0x%016llX\n", static_cast<unsigned long long>(count), seed);
}

} // namespace soak
