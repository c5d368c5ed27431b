// trust: from a folder laid out like the package, each way of offering a file that must not run is tried `runs`
// times through the product's own decision (COsmiraAssemblyHelper) and its three launch ways: the validation
// library unsigned, changed by one byte, missing, or planted in the current directory; the companions unsigned or
// signed by another signer. Every try must be refused with the expected code, and no stand-in may leave a record
// of its start; no library may pass the loader's checks, nor the planted one leave its load marker.
#include "Soak.h"

#include "service/CompanionSupervision.h"
#include "support/Seams.h"
#include "support/StandIns.h"
#include "trust/OsmiraAssemblyHelper.h"
#include "trust/PeFileDigest.h"

#include <atomic>
#include <filesystem>
#include <random>

namespace soak {

using namespace testsupport;

namespace {

std::atomic<unsigned> g_libraryChecksPassed{0};

// The library cases come first: once the approved library is loaded it stays loaded.
const struct Case {
    const wchar_t* name;
    const wchar_t* library;
    const wchar_t* companions;
    bool plantedInCurrentDirectory;
    LONG expectedCode; // of COsmiraAssemblyHelper for both companions
} kCases[] = {
    {L"library unsigned", L"unsigned", L"", false, COsmiraAssemblyHelper::kValidatorUnavailable},
    {L"library with one byte changed", L"changed", L"", false, COsmiraAssemblyHelper::kValidatorUnavailable},
    {L"library missing", L"-", L"", false, COsmiraAssemblyHelper::kValidatorUnavailable},
    {L"library planted in the current directory", L"-", L"", true, COsmiraAssemblyHelper::kValidatorUnavailable},
    {L"companions unsigned", L"approved", L"unsigned", false, 2},
    {L"companions signed by another signer", L"", L"resigned", false, 5},
};

// One byte changed between the headers and the certificate table, where signing leaves nothing out.
std::vector<unsigned char> ChangedLibrary(std::vector<unsigned char> library, std::mt19937& random)
{
    constexpr uint32_t kHeadersEnd = 0x400;
    const uint32_t header = Load32(library, pedigest::kPeHeaderOffsetField);
    const uint32_t table = Load32(library, header + pedigest::kCertificateEntryOffset);
    library[kHeadersEnd + random() % (table - kHeadersEnd)] ^= static_cast<unsigned char>(1 + random() % 255);
    return library;
}

// Puts fixtures\<source>\<file> in place of the package's file: "" and "changed" leave it, "-" removes it.
bool Place(const std::wstring& folder, const std::wstring& source, const std::wstring& file)
{
    if (source.empty() || source == L"changed") return true;
    ::DeleteFileW((folder + file).c_str());
    const std::wstring from = folder + L"fixtures\\" + source + L"\\" + file;
    return source == L"-" || ::CopyFileW(from.c_str(), (folder + file).c_str(), FALSE);
}

} // namespace

void Trust(DWORD runs)
{
    const std::wstring folder = ModuleFolder() + L"\\";
    const std::wstring library = folder + kValidationLibraryFileName;
    const std::wstring approvedLibraryPath = folder + L"fixtures\\approved\\" + kValidationLibraryFileName;
    const std::vector<unsigned char> approvedLibrary = ReadFileBytes(approvedLibraryPath);
    const ScratchFolder scratch(L"soak_trust");
    const std::wstring marker = scratch.File(L"planted-load-marker.txt");
    const std::filesystem::path startDirectory = std::filesystem::current_path();
    ::SetEnvironmentVariableW(L"FN_PLANTED_LOAD_MARKER", marker.c_str());
    RemoveFolderTree(folder + L"records");
    SetValidationLibraryCheckedHookForTesting([](const wchar_t*) { ++g_libraryChecksPassed; });
    SetWaitDivisorForTesting(100); // the start-up launch's supervision passes in a fraction of a second
    std::mt19937 random(::GetTickCount());
    for (const Case& c : kCases) {
        const bool changed = wcscmp(c.library, L"changed") == 0;
        bool ready = !approvedLibrary.empty() && Place(folder, c.library, kValidationLibraryFileName) &&
                     Place(folder, c.companions, kAgentName) && Place(folder, c.companions, kLockOsdName);
        const std::wstring planted = folder + L"fixtures\\planted";
        if (c.plantedInCurrentDirectory) ready = ready && ::SetCurrentDirectoryW(planted.c_str());
        if (!ready) {
            Violation(L"%s: the case's files could not be put in place (%lu)", c.name, ::GetLastError());
            continue;
        }
        for (DWORD run = 0; run < runs; ++run) {
            if (changed) WriteFileBytes(library, ChangedLibrary(approvedLibrary, random));
            const LONG agentCode = COsmiraAssemblyHelper((folder + kAgentName).c_str()).Code();
            const LONG osdCode = COsmiraAssemblyHelper((folder + kLockOsdName).c_str()).Code();
            DWORD returnCode = 7;
            BOOL launched = FALSE;
            if (run % 3 == 0) launched = LaunchFnKeyAgentProcess(&returnCode);
            if (run % 3 == 1) launched = LaunchFnKeyAgentProcess(L" -SWITCH_AIRPLANE", &returnCode);
            if (run % 3 == 2) launched = LaunchUserProcess(&returnCode, kAgentName, L"");
            if (agentCode != c.expectedCode || osdCode != c.expectedCode || launched || returnCode != 0) {
                Violation(L"%s, run %lu: codes %ld and %ld, launch way %lu returned %d with the code %lu", c.name, run,
                          agentCode, osdCode, run % 3, launched, returnCode);
            }
        }
        const size_t records = StandInRecordsIn(ModuleFolder()).size();
        if (records != 0) Violation(L"%s: %u stand-ins started", c.name, unsigned(records));
        RemoveFolderTree(folder + L"records");
        if (g_libraryChecksPassed.exchange(0) != 0 && c.expectedCode == COsmiraAssemblyHelper::kValidatorUnavailable) {
            Violation(L"%s: a library passed the loader's checks", c.name);
        }
        if (FileExists(marker)) Violation(L"%s: the planted library was loaded", c.name);
        std::filesystem::current_path(startDirectory);
    }
    for (const wchar_t* file : {kAgentName, kLockOsdName, kValidationLibraryFileName}) {
        Place(folder, L"approved", file);
    }
    if (!WaitUntil([] { return g_nCheckRunning.load() == 0; }, 30000)) {
        Violation(L"the start-up launch's supervision thread did not end within 30 s");
    }
}

} // namespace soak
