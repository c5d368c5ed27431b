// trust: from a folder laid out like the package, each way of offering a file that must not run is tried `runs`
// times through the product's own decision (COsmiraAssemblyHelper) and its launch functions: the validation
// library unsigned, changed by one byte, missing, or planted in the current directory; the companions unsigned or
// signed by another signer. Every try must be refused with the expected code and start nothing, seen two ways:
// an observer in front of the one process creation call of the launch ways, and the stand-ins' records, which
// must not appear. The library cases also watch the loader's "file passed its checks" hook and the planted
// library's load marker.
#include "Soak.h"

#include "service/CompanionSupervision.h"
#include "support/Seams.h"
#include "support/StandIns.h"
#include "trust/OsmiraAssemblyHelper.h"
#include "trust/PeFileDigest.h"

#include <atomic>
#include <random>

namespace soak {

using namespace testsupport;

namespace {

std::atomic<unsigned> g_creations{0};
std::atomic<unsigned> g_libraryChecksPassed{0};
CreateProcessAsUserFunction g_platformCreate = nullptr;

BOOL WINAPI CountingCreateProcessAsUser(HANDLE token, LPCWSTR application, LPWSTR commandLine,
                                        LPSECURITY_ATTRIBUTES processAttributes, LPSECURITY_ATTRIBUTES threadAttributes,
                                        BOOL inherit, DWORD flags, LPVOID environment, LPCWSTR directory,
                                        LPSTARTUPINFOW startup, LPPROCESS_INFORMATION information)
{
    ++g_creations;
    return g_platformCreate(token, application, commandLine, processAttributes, threadAttributes, inherit, flags,
                            environment, directory, startup, information);
}

// The files of a case, below fixtures\, put in place of the package's; "" leaves a file as it is, "-" removes it.
// The library cases come first: once the approved library is loaded it stays loaded.
const struct Case {
    const wchar_t* name;
    const wchar_t* library;
    const wchar_t* companions;
    bool plantedInCurrentDirectory;
    LONG expectedCode; // of COsmiraAssemblyHelper for both companions
} kCases[] = {
    {L"validation library unsigned", L"unsigned", L"", false, COsmiraAssemblyHelper::kValidatorUnavailable},
    {L"validation library with one byte changed", L"changed", L"", false, COsmiraAssemblyHelper::kValidatorUnavailable},
    {L"validation library missing", L"-", L"", false, COsmiraAssemblyHelper::kValidatorUnavailable},
    {L"validation library planted in the current directory", L"-", L"", true,
     COsmiraAssemblyHelper::kValidatorUnavailable},
    {L"companions replaced by unsigned files", L"approved", L"unsigned", false, 2},
    {L"companions signed by another signer", L"", L"resigned", false, 5},
};

// One byte of the approved library changed between its headers and its certificate table, where signing leaves
// nothing out: such a change must be refused.
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
    const std::wstring fixtures = folder + L"fixtures\\";
    const std::wstring library = folder + kValidationLibraryFileName;
    const ScratchFolder scratch(L"soak_trust");
    const std::wstring marker = scratch.File(L"planted-load-marker.txt");
    const std::wstring approvedPath = fixtures + L"approved\\" + kValidationLibraryFileName;
    const std::vector<unsigned char> approvedLibrary = ReadFileBytes(approvedPath);
    if (approvedLibrary.empty()) {
        Violation(L"cannot read the approved library below %s", fixtures.c_str());
        return;
    }
    wchar_t startDirectory[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, startDirectory);
    ::SetEnvironmentVariableW(L"FN_PLANTED_LOAD_MARKER", marker.c_str());
    RemoveFolderTree(folder + L"records");
    g_platformCreate = SetCreateProcessAsUserForTesting(&CountingCreateProcessAsUser);
    SetValidationLibraryCheckedHookForTesting([](const wchar_t*) { ++g_libraryChecksPassed; });
    SetWaitDivisorForTesting(100); // the start-up launch's supervision passes in a fraction of a second
    std::mt19937 random(::GetTickCount());
    for (const Case& c : kCases) {
        const unsigned checksBefore = g_libraryChecksPassed.load();
        bool ready = true;
        if (*c.library != L'\0' && wcscmp(c.library, L"changed") != 0) {
            ::DeleteFileW(library.c_str());
            const std::wstring source = fixtures + c.library + L"\\" + kValidationLibraryFileName;
            ready = *c.library == L'-' || ::CopyFileW(source.c_str(), library.c_str(), FALSE);
        }
        for (const wchar_t* companion : {kAgentName, kLockOsdName}) {
            const std::wstring source = fixtures + c.companions + L"\\" + companion;
            const bool kept = *c.companions == L'\0';
            ready = ready && (kept || ::CopyFileW(source.c_str(), (folder + companion).c_str(), FALSE));
        }
        if (c.plantedInCurrentDirectory) ready = ready && ::SetCurrentDirectoryW((fixtures + L"planted").c_str());
        if (!ready) {
            Violation(L"%s: the case's files could not be put in place (%lu)", c.name, ::GetLastError());
            continue;
        }
        for (DWORD run = 0; run < runs; ++run) {
            const bool changed = wcscmp(c.library, L"changed") == 0;
            if (changed && !WriteFileBytes(library, ChangedLibrary(approvedLibrary, random))) {
                Violation(L"%s: cannot write the changed library (%lu)", c.name, ::GetLastError());
                break;
            }
            const LONG agentCode = COsmiraAssemblyHelper((folder + kAgentName).c_str()).Code();
            const LONG osdCode = COsmiraAssemblyHelper((folder + kLockOsdName).c_str()).Code();
            if (agentCode != c.expectedCode || osdCode != c.expectedCode) {
                Violation(L"%s, run %lu: codes agent %ld, lock indicator %ld, expected %ld", c.name, run, agentCode,
                          osdCode, c.expectedCode);
            }
            // The three launch ways in turn: start-up, switch, and a named companion.
            const unsigned creations = g_creations.load();
            DWORD returnCode = 7;
            const wchar_t* const ways[] = {L"start-up launch", L"switch launch", L"user launch"};
            BOOL launched = FALSE;
            if (run % 3 == 0) launched = LaunchFnKeyAgentProcess(&returnCode);
            if (run % 3 == 1) launched = LaunchFnKeyAgentProcess(L" -SWITCH_AIRPLANE", &returnCode);
            if (run % 3 == 2) launched = LaunchUserProcess(&returnCode, kAgentName, L"");
            if (launched || g_creations.load() != creations || returnCode != 0) {
                Violation(L"%s, run %lu: the %s returned %d with the code %lu after %u process creations", c.name, run,
                          ways[run % 3], launched, returnCode, g_creations.load() - creations);
            }
        }
        const size_t records = StandInRecordsIn(ModuleFolder()).size();
        if (records != 0) Violation(L"%s: %u stand-in records appeared", c.name, unsigned(records));
        RemoveFolderTree(folder + L"records");
        const unsigned checks = g_libraryChecksPassed.load() - checksBefore;
        if (c.expectedCode == COsmiraAssemblyHelper::kValidatorUnavailable && checks != 0) {
            Violation(L"%s: a library passed the loader's checks %u times", c.name, checks);
        }
        if (FileExists(marker)) Violation(L"%s: the planted library was loaded", c.name);
        ::SetCurrentDirectoryW(startDirectory);
    }
    // Back as the package lies: the signed companions and the approved library.
    for (const wchar_t* file : {kAgentName, kLockOsdName, kValidationLibraryFileName}) {
        ::CopyFileW((fixtures + L"approved\\" + file).c_str(), (folder + file).c_str(), FALSE);
    }
    // The start-up launch's supervision thread ends by itself after its passes.
    if (!WaitUntil([] { return g_nCheckRunning.load() == 0; }, 30000)) {
        Violation(L"the start-up launch's supervision thread did not end within 30 s");
    }
    SetCreateProcessAsUserForTesting(g_platformCreate);
}

} // namespace soak
