// Loading the validation library and COsmiraAssemblyHelper: which library gets loaded (only
// the approved one, only from the program's own folder, also when it arrives later), the codes
// the helper answers, what it logs, and the lock it keeps on the executable.
#include "log/UtilityLog.h"
#include "support/TrustTestSupport.h"
#include "trust/FileSignature.h"
#include "trust/OsmiraAssemblyHelper.h"
#include "trust/PeFileDigest.h"
#include "trust/ValidationLibrary.h"

#include <gtest/gtest.h>

using namespace testsupport;
using namespace trusttest;

namespace {

const DWORD kSharingViolation = ERROR_SHARING_VIOLATION;

// A folder laid out as an installation: service\ holds the probe (the "service") and, when a
// test puts one there, a library; cwd\ and path\ are where a careless loader would look.
class ProbeInstallation : public ::testing::Test {
protected:
    ProbeInstallation() : m_root(L"trust-install") {}
    void SetUp() override
    {
        for (const wchar_t* sub : {L"service", L"cwd", L"path"}) {
            ASSERT_TRUE(::CreateDirectoryW(m_root.File(sub).c_str(), nullptr)) << Narrow(m_root.File(sub));
        }
        ASSERT_TRUE(::CopyFileW(ProbePath().c_str(), Probe().c_str(), FALSE));
    }
    std::wstring Service(const std::wstring& name = L"") const { return m_root.File(L"service") + L"\\" + name; }
    std::wstring Probe() const { return Service(L"trust_probe.exe"); }
    std::wstring Library() const { return Service(kValidationLibraryFileName); }
    std::wstring Results() const { return m_root.File(L"results.txt"); }
    std::wstring Marker() const { return m_root.File(L"planted-loads.txt"); }

    void PlantEverywhereElse()
    {
        for (const wchar_t* sub : {L"cwd", L"path"}) {
            const std::wstring target = m_root.File(sub) + L"\\" + kValidationLibraryFileName;
            ASSERT_TRUE(::CopyFileW(FixtureLibraryPath(L"planted").c_str(), target.c_str(), FALSE));
        }
    }
    void PutLibrary(const std::wstring& source)
    {
        ASSERT_TRUE(::CopyFileW(source.c_str(), Library().c_str(), FALSE)) << Narrow(source);
    }
    // Runs the probe on itself from cwd\ with path\ first on PATH; its result lines.
    std::vector<std::string> Validate()
    {
        const DWORD exitCode = RunProgram(Quote(Probe()) + L" validate " + Quote(Results()) + L" " + Quote(Probe()),
                                          m_root.File(L"cwd"), m_root.File(L"path"), Marker());
        EXPECT_EQ(0u, exitCode);
        return ReadTextLines(Results());
    }

    ScratchFolder m_root;
};

TEST_F(ProbeInstallation, ApprovedLibraryBesideTheProgramIsLoadedAndAcceptsItsSigner)
{
    PutLibrary(PackageLibraryPath());
    PlantEverywhereElse();
    const auto lines = Validate();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("0 " + Narrow(Library()), lines[0]);
    EXPECT_FALSE(FileExists(Marker())) << Narrow(ReadUtf16File(Marker()));
}

// The approved library re-signed by another certificate of a trusted chain is still the
// approved library: the pinned digest leaves the signature out.
TEST_F(ProbeInstallation, ApprovedLibraryWithAnotherTrustedSignatureIsLoaded)
{
    PutLibrary(FixtureLibraryPath(L"resigned"));
    const auto lines = Validate();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("0 " + Narrow(Library()), lines[0]);
}

TEST_F(ProbeInstallation, WithoutAnApprovedLibraryEveryValidationAnswersSix)
{
    struct Variant {
        const char* name;
        std::function<void()> place;
    };
    const Variant variants[] = {
        {"absent", [] {}},
        {"unsigned", [&] { PutLibrary(FixtureLibraryPath(L"unsigned")); }},
        {"replaced by a signed impostor", [&] { PutLibrary(FixtureLibraryPath(L"planted")); }},
        {"signed under an untrusted root", [&] { PutLibrary(FixtureLibraryPath(L"untrusted")); }},
        {"changed in one byte", [&] {
             std::vector<unsigned char> bytes = ReadFileBytes(PackageLibraryPath());
             bytes.at(bytes.size() / 3) ^= 0x40;
             WriteFileBytes(Library(), bytes); }},
        {"cut short", [&] {
             std::vector<unsigned char> bytes = ReadFileBytes(PackageLibraryPath());
             bytes.resize(1000);
             WriteFileBytes(Library(), bytes); }},
    };
    PlantEverywhereElse();
    for (const Variant& variant : variants) {
        SCOPED_TRACE(variant.name);
        ::DeleteFileW(Library().c_str());
        ::DeleteFileW(Results().c_str());
        variant.place();
        const auto lines = Validate();
        ASSERT_EQ(1u, lines.size());
        EXPECT_EQ("6 none", lines[0]);
        EXPECT_FALSE(FileExists(Marker())) << Narrow(ReadUtf16File(Marker()));
    }
}

// The companions the package ships are signed by the package's signer, so the service may
// start them; a companion whose signature is stripped is refused by the library.
TEST_F(ProbeInstallation, PackagedCompanionsAreAcceptedAndAnUnsignedOneIsNot)
{
    PutLibrary(PackageLibraryPath());
    for (const wchar_t* companion : {L"FnKeyAgent.exe", L"FnKeyLockOsd.exe"}) {
        SCOPED_TRACE(Narrow(companion));
        const std::wstring source = PackageFilePath(companion);
        ASSERT_TRUE(::CopyFileW(source.c_str(), Service(companion).c_str(), FALSE)) << Narrow(source);
        ::DeleteFileW(Results().c_str());
        const DWORD exitCode = RunProgram(Quote(Probe()) + L" validate " + Quote(Results()) + L" " +
                                              Quote(Service(companion)),
                                          m_root.File(L"cwd"), m_root.File(L"path"), Marker());
        EXPECT_EQ(0u, exitCode);
        EXPECT_EQ(std::vector<std::string>{"0 " + Narrow(Library())}, ReadTextLines(Results()));
    }

    // The probe's own unsigned twin stands for any executable without the package's signature.
    const std::wstring unsignedCopy = Service(L"unsigned.exe");
    ASSERT_TRUE(::CopyFileW(FixtureProbePath(L"unsigned.exe").c_str(), unsignedCopy.c_str(), FALSE));
    ::DeleteFileW(Results().c_str());
    RunProgram(Quote(Probe()) + L" validate " + Quote(Results()) + L" " + Quote(unsignedCopy), m_root.File(L"cwd"),
               m_root.File(L"path"), Marker());
    const std::vector<std::string> lines = ReadTextLines(Results());
    ASSERT_EQ(1u, lines.size());
    EXPECT_NE('0', lines[0][0]) << lines[0];
}

// The impostor does record its loads, so the absent record above means it was never loaded.
TEST_F(ProbeInstallation, PlantedLibraryRecordsALoad)
{
    PlantEverywhereElse();
    const std::wstring planted = m_root.File(L"cwd") + L"\\" + kValidationLibraryFileName;
    EXPECT_EQ(0u, RunProgram(Quote(Probe()) + L" load " + Quote(planted), m_root.File(L"cwd"), L"", Marker()));
    EXPECT_TRUE(WaitUntil([&] { return FileExists(Marker()); }, 5000));
}

TEST_F(ProbeInstallation, LibraryPutInPlaceLaterIsLoadedWithoutRestart)
{
    const std::wstring go = m_root.File(L"go");
    win::UniqueHandle probe = StartProgram(Quote(Probe()) + L" validate " + Quote(Results()) + L" " + Quote(Probe()) +
                                               L" " + Quote(go),
                                           m_root.File(L"cwd"));
    ASSERT_TRUE(probe);
    std::vector<std::string> lines;
    ASSERT_TRUE(WaitUntil([&] { return !(lines = ReadTextLines(Results())).empty(); }, 30000))
        << "the probe wrote no first result";
    EXPECT_EQ("6 none", lines[0]);

    PutLibrary(PackageLibraryPath());
    WriteFileBytes(go, {'g', 'o'});
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(probe.get(), 60000));
    DWORD exitCode = 0xFFFFFFFF;
    ::GetExitCodeProcess(probe.get(), &exitCode);
    EXPECT_EQ(0u, exitCode);
    lines = ReadTextLines(Results());
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("0 " + Narrow(Library()), lines[1]);
}

// A chain that never reaches a root (0x800B010A) is tolerated only on systems older than 6.2,
// whatever else is wrong stays refused there. The prefix reports Windows 10; a copy of the probe
// under a name of its own sees Windows 7 through Wine's per-program version setting.
TEST_F(ProbeInstallation, ChainErrorIsToleratedOnlyBeforeVersion62)
{
    const std::wstring cyclic = FixtureLibraryPath(L"cyclic");
    ASSERT_EQ(static_cast<LONG>(0x800B010A), VerifyTrustResult(cyclic)) << "the fixture should give the chaining error";
    ASSERT_EQ(static_cast<LONG>(0x800B0109), VerifyTrustResult(FixtureLibraryPath(L"untrusted")));
    EXPECT_EQ(std::wstring(PinnedValidationLibraryDigest()), ComputePeFileDigestUnverified(cyclic.c_str()));
    EXPECT_FALSE(VerifyFileSignature(cyclic.c_str()));
    EXPECT_EQ(L"", ComputePeFileDigest(cyclic.c_str()));

    PutLibrary(cyclic);
    EXPECT_EQ(std::vector<std::string>{"6 none"}, Validate());

    const std::wstring oldSystemName = L"trust_probe_nt61.exe";
    const std::wstring oldSystemProbe = Service(oldSystemName);
    ASSERT_TRUE(::CopyFileW(ProbePath().c_str(), oldSystemProbe.c_str(), FALSE));
    ProgramVersionGuard version(oldSystemName, L"win7");
    auto validateOnOldSystem = [&] {
        ::DeleteFileW(Results().c_str());
        EXPECT_EQ(0u, RunProgram(Quote(oldSystemProbe) + L" validate " + Quote(Results()) + L" " + Quote(oldSystemProbe),
                                 m_root.File(L"cwd")));
        return ReadTextLines(Results());
    };
    EXPECT_EQ(std::vector<std::string>{"0 " + Narrow(Library())}, validateOnOldSystem());

    PutLibrary(FixtureLibraryPath(L"untrusted"));
    EXPECT_EQ(std::vector<std::string>{"6 none"}, validateOnOldSystem());
}

// The first validations of a process may race to load the library: every one of them ends
// with the approved library loaded and its verdict.
TEST_F(ProbeInstallation, ConcurrentFirstValidationsAllSeeTheApprovedLibrary)
{
    PutLibrary(PackageLibraryPath());
    const int kThreads = 8;
    EXPECT_EQ(0u, RunProgram(Quote(Probe()) + L" validate-threads " + Quote(Results()) + L" " + Quote(Probe()) + L" " +
                                 std::to_wstring(kThreads),
                             m_root.File(L"cwd")));
    const auto lines = ReadTextLines(Results());
    EXPECT_EQ(std::vector<std::string>(kThreads, "0 " + Narrow(Library())), lines);
}

// In this process: the helper's codes and log records, with the library bound explicitly.
class AssemblyHelper : public LoggedTest {
protected:
    static std::wstring PackageFolder()
    {
        const std::wstring library = PackageLibraryPath();
        return library.substr(0, library.find_last_of(L'\\'));
    }
};

TEST_F(AssemblyHelper, EmptyPathGivesMinusOneAndLogsTheOpenError)
{
    ::SetLastError(0);
    HANDLE probe = ::CreateFileW(L"", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                 nullptr);
    const DWORD expectedError = ::GetLastError();
    ASSERT_EQ(INVALID_HANDLE_VALUE, probe);

    COsmiraAssemblyHelper helper(L"");
    EXPECT_EQ(-1, helper.Code());
    const std::vector<std::wstring> expected = {L"COsmiraAssemblyHelper CreateFileW name:, failed code:" +
                                                std::to_wstring(expectedError)};
    EXPECT_EQ(expected, Messages());
}

TEST_F(AssemblyHelper, MissingFileGivesMinusOne)
{
    const std::wstring path = m_logFolder.File(L"nowhere.exe");
    COsmiraAssemblyHelper helper(path.c_str());
    EXPECT_EQ(-1, helper.Code());
    const std::vector<std::wstring> expected = {L"COsmiraAssemblyHelper CreateFileW name:" + path +
                                                L", failed code:" + std::to_wstring(ERROR_FILE_NOT_FOUND)};
    EXPECT_EQ(expected, Messages());
}

// This test program's folder has no library: the process's binding stays empty.
TEST_F(AssemblyHelper, NoLibraryBesideTheProgramGivesSix)
{
    ASSERT_FALSE(FileExists(ModuleFolder() + L"\\" + kValidationLibraryFileName));
    const std::wstring probe = ProbePath();
    COsmiraAssemblyHelper helper(probe.c_str());
    EXPECT_EQ(6, helper.Code());
    const std::vector<std::wstring> expected = {
        L"COsmiraAssemblyHelper OsmiraAssemblyValidation::ValidateAssembly name:" + probe + L", code:6"};
    EXPECT_EQ(expected, Messages());
    OsmiraAssemblyValidation* binding = GetValidationLibrary();
    ASSERT_NE(nullptr, binding);
    EXPECT_EQ(binding, GetValidationLibrary());
    EXPECT_EQ(nullptr, binding->module);
    EXPECT_EQ(nullptr, binding->ValidateAssembly);
}

TEST_F(AssemblyHelper, BindingIsApprovedByExactDigestOnly)
{
    OsmiraAssemblyValidation binding;
    std::wstring lower = PinnedValidationLibraryDigest();
    for (auto& c : lower) c = static_cast<wchar_t>(towlower(c));
    ASSERT_NE(lower, std::wstring(PinnedValidationLibraryDigest())) << "the pinned digest should contain letters";
    EXPECT_FALSE(LoadValidationLibraryFrom(&binding, PackageFolder().c_str(), lower.c_str()));
    const std::wstring shorter = std::wstring(PinnedValidationLibraryDigest()).substr(0, 63);
    EXPECT_FALSE(LoadValidationLibraryFrom(&binding, PackageFolder().c_str(), shorter.c_str()));
    EXPECT_EQ(nullptr, binding.module);

    // The impostor is signed by the package's signer, yet its digest is not the pinned one; bound
    // with its own digest it loads, which shows the digest is what keeps it out.
    const std::wstring plantedFolder = FixtureLibraryPath(L"planted").substr(0, FixtureLibraryPath(L"planted").find_last_of(L'\\'));
    EXPECT_FALSE(LoadValidationLibraryFrom(&binding, plantedFolder.c_str(), PinnedValidationLibraryDigest()));
    EXPECT_EQ(nullptr, ::GetModuleHandleW(FixtureLibraryPath(L"planted").c_str()));
    const std::wstring plantedDigest = ComputePeFileDigest(FixtureLibraryPath(L"planted").c_str());
    ASSERT_EQ(64u, plantedDigest.size());
    EXPECT_TRUE(LoadValidationLibraryFrom(&binding, plantedFolder.c_str(), plantedDigest.c_str()));
    EXPECT_NE(nullptr, binding.module);
}

TEST_F(AssemblyHelper, LibraryVerdictsArePassedOnAndRefusalsLogged)
{
    OsmiraAssemblyValidation binding;
    ASSERT_TRUE(LoadValidationLibraryFrom(&binding, PackageFolder().c_str(), PinnedValidationLibraryDigest()));
    ASSERT_NE(nullptr, binding.module);
    EXPECT_NE(nullptr, binding.ValidateAssembly);
    EXPECT_NE(nullptr, binding.ValidateCertFile);
    EXPECT_NE(nullptr, binding.IsCatalogSigned);
    // Bound once, the binding answers at once and keeps its module.
    const HMODULE module = binding.module;
    EXPECT_TRUE(LoadValidationLibraryFrom(&binding, L"C:\\nowhere", PinnedValidationLibraryDigest()));
    EXPECT_EQ(module, binding.module);

    std::vector<unsigned char> changed = ReadFileBytes(ProbePath());
    changed.at(changed.size() / 2) ^= 0x10;
    const std::wstring changedPath = m_logFolder.File(L"changed.exe");
    WriteFileBytes(changedPath, changed);

    struct Case {
        std::wstring path;
        LONG code;
    };
    const Case cases[] = {
        {ProbePath(), 0},                                // signed by the package's signer
        {FixtureProbePath(L"unsigned.exe"), 2},          // no signature
        {changedPath, 3},                                // signature no longer matches
        {FixtureProbePath(L"untrusted.exe"), 3},         // the package signer's name under an untrusted root
        {FixtureProbePath(L"other-signer.exe"), 5},      // trusted, but another signer
    };
    std::vector<std::wstring> expectedLog;
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.path));
        COsmiraAssemblyHelper helper(c.path.c_str(), binding);
        EXPECT_EQ(c.code, helper.Code());
        if (c.code != 0) {
            expectedLog.push_back(L"COsmiraAssemblyHelper OsmiraAssemblyValidation::ValidateAssembly name:" + c.path +
                                  L", code:" + std::to_wstring(c.code));
        }
    }
    EXPECT_EQ(expectedLog, Messages());
}

TEST_F(AssemblyHelper, ExecutableIsLockedAgainstWritingWhileTheHelperLives)
{
    const std::wstring target = m_logFolder.File(L"target.exe");
    ASSERT_TRUE(::CopyFileW(ProbePath().c_str(), target.c_str(), FALSE));
    const std::wstring probe = Quote(ProbePath());
    {
        COsmiraAssemblyHelper helper(target.c_str());
        EXPECT_EQ(6, helper.Code()); // no library beside this test program; the lock holds regardless
        EXPECT_EQ(kSharingViolation, RunProgram(probe + L" open-write " + Quote(target), m_logFolder.Path()));
        EXPECT_NE(0u, RunProgram(probe + L" delete " + Quote(target), m_logFolder.Path()));
        EXPECT_EQ(0u, RunProgram(probe + L" open-read " + Quote(target), m_logFolder.Path()));
    }
    EXPECT_EQ(0u, RunProgram(probe + L" open-write " + Quote(target), m_logFolder.Path()));
}

} // namespace
