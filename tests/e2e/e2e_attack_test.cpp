// Attacks that an unprivileged user can play against the installed service, one row each (SECURITY.md
// lists them with their guards). A row plants what the attacker can write, lets the running service meet
// it, and checks that the target is untouched; every row also requires that the service stayed RUNNING
// and still stops within a second. scripts/e2e runs this program in a fresh prefix.
#include "FirmwareStandIn.h"
#include "support/RegistryTestSupport.h"
#include "support/StandIns.h"

#include <map>

using namespace testsupport;

namespace {

const wchar_t* const kName = L"OsmiraUtilityService";
const std::wstring kPackage = L"C:\\Program Files\\Osmira\\FnKey\\";
const std::wstring kLogFolder = L"C:\\Windows\\Temp\\_OsmiraUtility_";

struct Attack {
    const char* name;
    // As the attacker, before the service is started; may be null.
    void (*plant)();
    // As the attacker, against the running service; may be null.
    void (*provoke)(TestService& service);
    // The attack's target is untouched and nothing was started for the attacker.
    void (*verify)();
};

// Rows: each section adds its functions above the table and its rows in it.

// ---- The log folder and its files ----

const std::wstring kOutside = L"C:\\fnkey_outside"; // the attacker's own folder
const std::wstring kOutsideFile = kOutside + L"\\keep.txt";
std::map<std::string, std::string> g_outsideBefore;

// Each file's size and digest: a record appended, a file moved in or emptied all show.
std::map<std::string, std::string> OutsideFiles()
{
    std::map<std::string, std::string> files;
    WIN32_FIND_DATAW found = {};
    const win::UniqueFindHandle find(::FindFirstFileW((kOutside + L"\\*.*").c_str(), &found));
    for (bool more = bool(find); more; more = ::FindNextFileW(find.get(), &found)) {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        const std::vector<unsigned char> bytes = ReadFileBytes(kOutside + L"\\" + found.cFileName);
        const std::string content(bytes.begin(), bytes.end());
        const size_t digest = std::hash<std::string>()(content);
        files[Narrow(found.cFileName)] = std::to_string(bytes.size()) + " " + std::to_string(digest);
    }
    return files;
}

// Under Wine a user may run the host's programs; a link made that way is the one a Windows program cannot make.
std::wstring HostPath(const wchar_t* path)
{
    using Convert = char*(CDECL*)(const wchar_t*);
    const auto convert = reinterpret_cast<Convert>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* name = convert(path);
    const std::wstring text = Widen(name);
    ::HeapFree(::GetProcessHeap(), 0, name);
    return text;
}

// The log folder a link to the attacker's folder, which holds a log due for rotation and a backup.
void PlantLogFolderLink()
{
    ::CreateDirectoryW(kOutside.c_str(), nullptr);
    WriteFileBytes(kOutside + L"\\_FnHotkeySvcUtility.log", std::vector<unsigned char>(2097153, 'o'));
    WriteFileBytes(kOutside + L"\\_FnHotkeySvcUtility_1.log", {'o'});
    g_outsideBefore = OutsideFiles();
    RemoveFolderTree(kLogFolder);
    RunAndCapture(L"Z:\\bin\\ln -s \"" + HostPath(kOutside.c_str()) + L"\" \"" + HostPath(kLogFolder.c_str()) + L"\"");
    ASSERT_NE(0u, ::GetFileAttributesW(kLogFolder.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT);
}

void ProvokeRecords(TestService& service) { EXPECT_EQ(0u, service.Control(149)); } // logged in the handler

void VerifyLogFolderLink()
{
    EXPECT_EQ(g_outsideBefore, OutsideFiles());
    const std::string status = RunAndCapture(L"\"" + kPackage + L"fnkeyctl.exe\" status").output;
    EXPECT_NE(std::string::npos, status.find("\n  log folder not trusted: a link to another place (reparse point)\n"))
        << status;
    // Removed by the host: a Windows call would delete the target instead.
    RunAndCapture(L"Z:\\bin\\rm \"" + HostPath(kLogFolder.c_str()) + L"\"");
}

// The current log a hard link to the attacker's file, due for rotation, and the first backup slot a folder: a rotation
// by name would fail to move it and then empty it.
const std::wstring kLogFile = kLogFolder + L"\\_FnHotkeySvcUtility.log";
const std::wstring kFirstSlot = kLogFolder + L"\\_FnHotkeySvcUtility_1.log";

void PlantLogHardLink()
{
    ::CreateDirectoryW(kOutside.c_str(), nullptr);
    WriteFileBytes(kOutsideFile, std::vector<unsigned char>(2097153, 'k'));
    g_outsideBefore = OutsideFiles();
    ::DeleteFileW(kLogFile.c_str());
    ::CreateDirectoryW(kFirstSlot.c_str(), nullptr);
    ASSERT_TRUE(::CreateHardLinkW(kLogFile.c_str(), kOutsideFile.c_str(), nullptr));
}

void VerifyLogHardLink()
{
    EXPECT_EQ(g_outsideBefore, OutsideFiles());
    ::DeleteFileW(kLogFile.c_str());
    ::RemoveDirectoryW(kFirstSlot.c_str());
}

const Attack kAttacks[] = {
    {"LogFolderIsALink", PlantLogFolderLink, ProvokeRecords, VerifyLogFolderLink},
    {"LogFileIsAHardLink", PlantLogHardLink, ProvokeRecords, VerifyLogHardLink},
};

class AttackTable : public ::testing::TestWithParam<Attack> {
protected:
    void SetUp() override
    {
        SetLogSwitch(true);
        RemoveFolderTree(kPackage + L"records");
        ASSERT_EQ(0u, RunAndCapture(L"\"" + kPackage + L"OsmiraUtilityService.exe\" -install").exitCode);
    }
    TestService m_service{kName, L""};
};

} // namespace

TEST_P(AttackTable, HoldsAndTheServiceStaysRunning)
{
    const Attack& attack = GetParam();
    if (attack.plant) attack.plant();
    ASSERT_TRUE(m_service.Start());
    if (attack.provoke) attack.provoke(m_service);
    attack.verify();
    EXPECT_EQ(DWORD(SERVICE_RUNNING), m_service.Status().dwCurrentState);
    EXPECT_TRUE(m_service.Stop(1000)) << "STOPPED within a second";
}

INSTANTIATE_TEST_SUITE_P(Rows, AttackTable, ::testing::ValuesIn(kAttacks),
                         [](const ::testing::TestParamInfo<Attack>& info) { return std::string(info.param.name); });
