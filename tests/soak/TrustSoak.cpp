// trust: what only repetition or placement can break, tried `runs` times from a folder laid out like the package
// through the product's own decision (COsmiraAssemblyHelper) and its three launch ways: the validation library
// changed by a different byte each run, or missing from the package and planted in the current directory.
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

const struct Case {
    const wchar_t* name;
    bool plantedInCurrentDirectory; // otherwise changed in place
} kCases[] = {
    {L"library with one byte changed", false},
    {L"library planted in the current directory", true},
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

} // namespace

void Trust(DWORD runs)
{
    const std::wstring folder = ModuleFolder() + L"\\";
    const std::wstring library = folder + kValidationLibraryFileName;
    const std::wstring approvedLibraryPath = folder + L"fixtures\\approved\\" + kValidationLibraryFileName;
    const std::vector<unsigned char> approvedLibrary = ReadFileBytes(approvedLibraryPath);
    const std::wstring planted = folder + L"fixtures\\planted";
    const ScratchFolder scratch(L"soak_trust");
    const std::wstring marker = scratch.File(L"planted-load-marker.txt");
    const std::filesystem::path startDirectory = std::filesystem::current_path();
    ::SetEnvironmentVariableW(L"FN_PLANTED_LOAD_MARKER", marker.c_str());
    RemoveFolderTree(folder + L"records");
    SetValidationLibraryCheckedHookForTesting([](const wchar_t*) { ++g_libraryChecksPassed; });
    SetWaitDivisorForTesting(100); // the start-up launch's supervision passes in a fraction of a second
    std::mt19937 random(::GetTickCount());
    for (const Case& c : kCases) {
        const bool planting = c.plantedInCurrentDirectory;
        const bool ready = !approvedLibrary.empty() &&
                           (!planting || (::DeleteFileW(library.c_str()) && ::SetCurrentDirectoryW(planted.c_str())));
        if (!ready) {
            Violation(L"%s: the case's files could not be put in place (%lu)", c.name, ::GetLastError());
            continue;
        }
        for (DWORD run = 0; run < runs; ++run) {
            if (!planting) WriteFileBytes(library, ChangedLibrary(approvedLibrary, random));
            const LONG agentCode = COsmiraAssemblyHelper((folder + kAgentName).c_str()).Code();
            const LONG osdCode = COsmiraAssemblyHelper((folder + kLockOsdName).c_str()).Code();
            DWORD returnCode = 7;
            BOOL launched = FALSE;
            if (run % 3 == 0) launched = LaunchFnKeyAgentProcess(&returnCode);
            if (run % 3 == 1) launched = LaunchFnKeyAgentProcess(L" -SWITCH_AIRPLANE", &returnCode);
            if (run % 3 == 2) launched = LaunchUserProcess(&returnCode, kAgentName, L"");
            const LONG refused = COsmiraAssemblyHelper::kValidatorUnavailable;
            if (agentCode != refused || osdCode != refused || launched || returnCode != 0) {
                Violation(L"%s, run %lu: codes %ld and %ld, launch way %lu returned %d with the code %lu", c.name, run,
                          agentCode, osdCode, run % 3, launched, returnCode);
            }
        }
        const size_t records = StandInRecordsIn(ModuleFolder()).size();
        if (records != 0) Violation(L"%s: %u stand-ins started", c.name, unsigned(records));
        RemoveFolderTree(folder + L"records");
        if (g_libraryChecksPassed.exchange(0) != 0) Violation(L"%s: a library passed the loader's checks", c.name);
        if (FileExists(marker)) Violation(L"%s: the planted library was loaded", c.name);
        std::filesystem::current_path(startDirectory);
    }
    ::CopyFileW(approvedLibraryPath.c_str(), library.c_str(), FALSE);
    WaitUntil([] { return g_nCheckRunning.load() == 0; }, 30000); // the start-up launch's supervision thread
}

} // namespace soak
