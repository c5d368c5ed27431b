// Attacks that an unprivileged user can play against the installed service, one row each (SECURITY.md
// lists them with their guards). A row plants what the attacker can write, lets the running service meet
// it, and checks that the target is untouched; every row also requires that the service stayed RUNNING
// and still stops within a second. scripts/e2e runs this program in a fresh prefix.
#include "FirmwareStandIn.h"
#include "support/RegistryTestSupport.h"
#include "support/StandIns.h"

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

// The attacker's file, named as the log and due for rotation: a record, a rotation or an emptying shows in its size.
const std::wstring kOutside = L"C:\\fnkey_outside", kOutsideLog = kOutside + L"\\_FnHotkeySvcUtility.log";
const std::wstring kLogFile = kLogFolder + L"\\_FnHotkeySvcUtility.log";
const std::wstring kFirstSlot = kLogFolder + L"\\_FnHotkeySvcUtility_1.log";

// Under Wine a user may run the host's programs, and make so the folder links that Windows code cannot.
void OnHost(const std::wstring& command) { RunAndCapture(L"Z:\\bin\\sh -c \"" + command + L"\""); }

void PlantLogFolderLink()
{
    ::CreateDirectoryW(kOutside.c_str(), nullptr);
    WriteFileBytes(kOutsideLog, std::vector<unsigned char>(2097153, 'o'));
    RemoveFolderTree(kLogFolder);
    OnHost(L"ln -s $WINEPREFIX/drive_c/fnkey_outside $WINEPREFIX/drive_c/windows/temp/_OsmiraUtility_");
    ASSERT_NE(0u, ::GetFileAttributesW(kLogFolder.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT);
}

void VerifyLogFolderLink()
{
    EXPECT_EQ(2097153u, ReadFileBytes(kOutsideLog).size());
    const std::string out = RunAndCapture(L"\"" + kPackage + L"fnkeyctl.exe\" status").output;
    EXPECT_NE(std::string::npos, out.find("  log folder not trusted: a link to another place (reparse point)")) << out;
    OnHost(L"rm $WINEPREFIX/drive_c/windows/temp/_OsmiraUtility_"); // a Windows call would delete the target instead
}

// The current log a hard link to the attacker's file and the first backup slot a folder: a rotation by name would fail
// to move the log and then empty it.
void PlantLogHardLink()
{
    ::CreateDirectoryW(kOutside.c_str(), nullptr);
    WriteFileBytes(kOutsideLog, std::vector<unsigned char>(2097153, 'o'));
    ::DeleteFileW(kLogFile.c_str());
    ::CreateDirectoryW(kFirstSlot.c_str(), nullptr);
    ASSERT_TRUE(::CreateHardLinkW(kLogFile.c_str(), kOutsideLog.c_str(), nullptr));
}

void VerifyLogHardLink()
{
    EXPECT_EQ(2097153u, ReadFileBytes(kOutsideLog).size());
    ::DeleteFileW(kLogFile.c_str());
    ::RemoveDirectoryW(kFirstSlot.c_str());
}

const Attack kAttacks[] = {
    {"LogFolderIsALink", PlantLogFolderLink, nullptr, VerifyLogFolderLink}, // the service logs from its start
    {"LogFileIsAHardLink", PlantLogHardLink, nullptr, VerifyLogHardLink},
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
