// trust: from a folder laid out like the package, each way of offering a file that must not
// run is tried runs times through the product's own decision (COsmiraAssemblyHelper) and its
// launch functions: the library unsigned, changed by one byte, missing, or planted in the
// current directory; the companions unsigned or signed by another signer. Every try must be
// refused with the expected code and start nothing. "Nothing started" is seen two ways: an
// observer in front of the one process creation call of both launch ways, and the stand-ins'
// record folder, which must stay empty (whatever way a companion started, it records itself).
// The library cases also watch the loader's "file passed its checks" hook and the planted
// library's load marker.
#include "Soak.h"

#include "log/ConsolePrint.h"
#include "service/CompanionSupervision.h"
#include "support/Seams.h"
#include "trust/OsmiraAssemblyHelper.h"
#include "trust/PeFileDigest.h"
#include "win/Owners.h"

#include <atomic>
#include <map>

namespace soak {
namespace {

std::atomic<uint64_t> g_creations{0};
std::atomic<uint64_t> g_libraryChecksPassed{0};
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

void LibraryChecked(const wchar_t*) { ++g_libraryChecksPassed; }

enum Kind { kUnsignedLibrary, kChangedLibrary, kMissingLibrary, kPlantedLibrary, kUnsignedCompanions, kOtherSigner };

struct Case {
    Kind kind;
    const wchar_t* name;
    LONG expectedCode; // of COsmiraAssemblyHelper for both companions
};

// The library cases first: once the approved library is loaded it stays loaded.
const Case kCases[] = {
    {kUnsignedLibrary, L"validation library unsigned", COsmiraAssemblyHelper::kValidatorUnavailable},
    {kChangedLibrary, L"validation library with one byte changed", COsmiraAssemblyHelper::kValidatorUnavailable},
    {kMissingLibrary, L"validation library missing", COsmiraAssemblyHelper::kValidatorUnavailable},
    {kPlantedLibrary, L"validation library planted in the current directory", COsmiraAssemblyHelper::kValidatorUnavailable},
    {kUnsignedCompanions, L"companions replaced by unsigned files", 2},
    {kOtherSigner, L"companions signed by another signer", 5},
};

bool Copy(const std::wstring& from, const std::wstring& to, Violations& violations)
{
    if (::CopyFileW(from.c_str(), to.c_str(), FALSE)) return true;
    violations.Add(L"cannot copy %s to %s (%lu)", from.c_str(), to.c_str(), ::GetLastError());
    return false;
}

size_t RecordsIn(const std::wstring& folder)
{
    size_t count = 0;
    WIN32_FIND_DATAW found = {};
    const win::UniqueFindHandle find(::FindFirstFileW((folder + L"\\records\\*.txt").c_str(), &found));
    if (!find) return 0;
    do ++count;
    while (::FindNextFileW(find.get(), &found));
    return count;
}

// One byte of the approved library changed, never in the parts that signing leaves out (the
// checksum, the certificate entry and table): such a change must be refused.
std::vector<unsigned char> ChangedLibrary(const std::vector<unsigned char>& approved, Random& random, uint32_t& offset)
{
    auto load = [&](size_t at) {
        return static_cast<uint32_t>(approved[at]) | (approved[at + 1] << 8) | (approved[at + 2] << 16) |
               (static_cast<uint32_t>(approved[at + 3]) << 24);
    };
    const uint32_t header = load(pedigest::kPeHeaderOffsetField);
    const uint32_t table = load(header + pedigest::kCertificateEntryOffset);
    const uint32_t checksum = header + pedigest::kChecksumOffset, entry = header + pedigest::kCertificateEntryOffset;
    do offset = random.Below(table);
    while ((offset >= checksum && offset < checksum + 4) || (offset >= entry && offset < entry + 8));
    std::vector<unsigned char> changed = approved;
    changed[offset] ^= static_cast<unsigned char>(1 + random.Below(255));
    return changed;
}

} // namespace

int TrustSoak(uint64_t runs)
{
    Violations violations;
    const std::wstring folder = ModuleFolder();
    const std::wstring fixtures = folder + L"\\fixtures";
    const std::wstring library = folder + L"\\" + kValidationLibraryFileName;
    const std::wstring agent = folder + L"\\" + kAgentName, osd = folder + L"\\" + kLockOsdName;
    const std::wstring marker = TempFolder() + L"\\fn-soak-planted-" + std::to_wstring(::GetCurrentProcessId()) + L".txt";
    std::vector<unsigned char> approvedLibrary;
    if (!ReadWholeFile(fixtures + L"\\approved\\" + kValidationLibraryFileName, approvedLibrary)) {
        ConsolePrint(L"cannot read the approved library below %s\n", fixtures.c_str());
        return 2;
    }
    wchar_t startDirectory[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, startDirectory);
    ::DeleteFileW(marker.c_str());
    ::SetEnvironmentVariableW(L"FN_PLANTED_LOAD_MARKER", marker.c_str());
    RemoveTree(folder + L"\\records");
    g_platformCreate = SetCreateProcessAsUserForTesting(&CountingCreateProcessAsUser);
    SetValidationLibraryCheckedHookForTesting(&LibraryChecked);
    SetWaitDivisorForTesting(100); // the start-up form's supervision passes in a fraction of a second
    ConsolePrint(L"trust: %llu runs of each case from %s\n", static_cast<unsigned long long>(runs), folder.c_str());

    Random random(::GetTickCount64());
    const Stopwatch total;
    for (const Case& c : kCases) {
        const uint64_t creationsBefore = g_creations.load(), checksBefore = g_libraryChecksPassed.load();
        // The case's files, put in place once (the changed library: anew for every run).
        bool ready = true;
        switch (c.kind) {
        case kUnsignedLibrary:
            ready = Copy(fixtures + L"\\unsigned\\" + kValidationLibraryFileName, library, violations);
            break;
        case kMissingLibrary:
            ::DeleteFileW(library.c_str());
            break;
        case kPlantedLibrary:
            ::DeleteFileW(library.c_str());
            ready = ::SetCurrentDirectoryW((fixtures + L"\\planted").c_str()) != 0;
            break;
        case kUnsignedCompanions:
            ready = WriteWholeFile(library, approvedLibrary.data(), approvedLibrary.size()) &&
                    Copy(fixtures + L"\\unsigned\\" + kAgentName, agent, violations) &&
                    Copy(fixtures + L"\\unsigned\\" + kLockOsdName, osd, violations);
            break;
        case kOtherSigner:
            ready = Copy(fixtures + L"\\resigned\\" + kAgentName, agent, violations) &&
                    Copy(fixtures + L"\\resigned\\" + kLockOsdName, osd, violations);
            break;
        default:
            break;
        }
        if (!ready) {
            violations.Add(L"%s: the case's files could not be put in place", c.name);
            continue;
        }

        std::map<LONG, uint64_t> codes;
        uint64_t refusals = 0, launchesRefused = 0;
        const Stopwatch clock;
        for (uint64_t run = 0; run < runs; ++run) {
            if (c.kind == kChangedLibrary) {
                uint32_t offset = 0;
                const std::vector<unsigned char> changed = ChangedLibrary(approvedLibrary, random, offset);
                if (!WriteWholeFile(library, changed.data(), changed.size())) {
                    violations.Add(L"%s: cannot write the changed library (%lu)", c.name, ::GetLastError());
                    break;
                }
            }
            const uint64_t creations = g_creations.load();
            LONG agentCode = 0, osdCode = 0;
            {
                const COsmiraAssemblyHelper agentCheck(agent.c_str());
                const COsmiraAssemblyHelper osdCheck(osd.c_str());
                agentCode = agentCheck.Code();
                osdCode = osdCheck.Code();
            }
            ++codes[agentCode];
            ++codes[osdCode];
            // The three launch ways in turn: start-up, switch, and a named companion.
            DWORD returnCode = 7;
            BOOL launched = FALSE;
            const wchar_t* way = L"";
            switch (run % 3) {
            case 0:
                way = L"start-up launch";
                launched = LaunchFnKeyAgentProcess(&returnCode);
                break;
            case 1:
                way = L"switch launch";
                launched = LaunchFnKeyAgentProcess(L" -SWITCH_AIRPLANE", &returnCode);
                break;
            default:
                way = L"user launch";
                launched = LaunchUserProcess(&returnCode, kAgentName, L"");
                break;
            }
            const bool refused = agentCode == c.expectedCode && osdCode == c.expectedCode;
            if (!refused) {
                violations.Add(L"%s, run %llu: codes agent %ld, lock indicator %ld, expected %ld", c.name,
                               static_cast<unsigned long long>(run), agentCode, osdCode, c.expectedCode);
            }
            if (launched || g_creations.load() != creations) {
                violations.Add(L"%s, run %llu: the %s started something (returned %d, process creations %llu)", c.name,
                               static_cast<unsigned long long>(run), way, launched,
                               static_cast<unsigned long long>(g_creations.load() - creations));
            } else {
                ++launchesRefused;
            }
            if (returnCode != 0) {
                violations.Add(L"%s, run %llu: the %s left the return code at %lu", c.name, static_cast<unsigned long long>(run),
                               way, returnCode);
            }
            if (refused && !launched) ++refusals;
        }
        const double seconds = clock.Seconds();
        const size_t records = RecordsIn(folder);
        if (records != 0) violations.Add(L"%s: %llu stand-in records appeared", c.name, static_cast<unsigned long long>(records));
        RemoveTree(folder + L"\\records");
        const uint64_t checks = g_libraryChecksPassed.load() - checksBefore;
        const bool libraryCase = c.kind <= kPlantedLibrary;
        if (libraryCase && checks != 0) {
            violations.Add(L"%s: a library passed the loader's checks %llu times", c.name, static_cast<unsigned long long>(checks));
        }
        if (c.kind == kPlantedLibrary) {
            if (::GetFileAttributesW(marker.c_str()) != INVALID_FILE_ATTRIBUTES) {
                violations.Add(L"%s: the planted library was loaded", c.name);
            }
            ::SetCurrentDirectoryW(startDirectory);
        }

        std::wstring seen;
        for (const auto& [code, count] : codes) {
            seen += (seen.empty() ? L"" : L", ") + std::to_wstring(code) + L" x" + std::to_wstring(count);
        }
        ConsolePrint(L"  %-54s runs %llu, refused %llu, launches refused %llu, starts %llu, codes seen: %s; %.2f s\n", c.name,
                     static_cast<unsigned long long>(runs), static_cast<unsigned long long>(refusals),
                     static_cast<unsigned long long>(launchesRefused),
                     static_cast<unsigned long long>(g_creations.load() - creationsBefore), seen.c_str(), seconds);
    }

    // Back as the package lies: the signed companions and the approved library.
    Copy(fixtures + L"\\approved\\" + kAgentName, agent, violations);
    Copy(fixtures + L"\\approved\\" + kLockOsdName, osd, violations);
    std::vector<unsigned char> present;
    if (!ReadWholeFile(library, present) || present != approvedLibrary) {
        WriteWholeFile(library, approvedLibrary.data(), approvedLibrary.size());
    }
    // The start-up form's supervision thread ends by itself after its passes.
    const Stopwatch wait;
    while (g_nCheckRunning.load() != 0 && wait.Seconds() < 30) ::Sleep(20);
    if (g_nCheckRunning.load() != 0) violations.Add(L"the start-up launch's supervision thread did not end within 30 s");
    ::DeleteFileW(marker.c_str());
    SetCreateProcessAsUserForTesting(g_platformCreate);
    ConsolePrint(L"  %.1f s in all\n", total.Seconds());
    return violations.Finish();
}

} // namespace soak
