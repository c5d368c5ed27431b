#include "support/TrustTestSupport.h"

#include "win/Owners.h"

#include <bcrypt.h>
#include <softpub.h>
#include <wintrust.h>

namespace trusttest {

namespace {

std::wstring WindowsPath(std::wstring path)
{
    for (auto& c : path) {
        if (c == L'/') c = L'\\';
    }
    return path;
}

} // namespace

std::wstring PackageFilePath(const std::wstring& name)
{
    return WindowsPath(std::wstring(FN_TEST_PACKAGE_DIR) + L"/" + name);
}

std::wstring PackageLibraryPath() { return PackageFilePath(L"Osmira.AssemblyValidation.Native.dll"); }

std::wstring FixtureLibraryPath(const std::wstring& kind)
{
    return WindowsPath(std::wstring(FN_TEST_TRUST_FIXTURES_DIR) + L"/" + kind +
                       L"/Osmira.AssemblyValidation.Native.dll");
}

std::wstring ProbePath() { return testsupport::ModuleFolder() + L"\\trust_probe.exe"; }

std::wstring FixtureProbePath(const std::wstring& name)
{
    return WindowsPath(std::wstring(FN_TEST_TRUST_FIXTURES_DIR) + L"/probe/" + name);
}

uint32_t LoadU32(const std::vector<unsigned char>& bytes, uint64_t offset)
{
    return static_cast<uint32_t>(bytes.at(offset)) | (static_cast<uint32_t>(bytes.at(offset + 1)) << 8) |
           (static_cast<uint32_t>(bytes.at(offset + 2)) << 16) | (static_cast<uint32_t>(bytes.at(offset + 3)) << 24);
}

void StoreU32(std::vector<unsigned char>& bytes, uint64_t offset, uint32_t value)
{
    for (int i = 0; i < 4; ++i) bytes.at(offset + i) = static_cast<unsigned char>(value >> (8 * i));
}

uint32_t PeHeaderOffset(const std::vector<unsigned char>& bytes) { return LoadU32(bytes, 60); }

std::wstring Sha256Hex(const std::vector<unsigned char>& bytes)
{
    unsigned char digest[32];
    win::UniqueBcryptAlgorithm algorithm;
    if (!BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(algorithm.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
        return L"(no SHA-256)";
    }
    win::UniqueBcryptHash hash;
    if (!BCRYPT_SUCCESS(::BCryptCreateHash(algorithm.get(), hash.put(), nullptr, 0, nullptr, 0, 0)) ||
        !BCRYPT_SUCCESS(::BCryptHashData(hash.get(), const_cast<PUCHAR>(bytes.data()),
                                         static_cast<ULONG>(bytes.size()), 0)) ||
        !BCRYPT_SUCCESS(::BCryptFinishHash(hash.get(), digest, sizeof(digest), 0))) {
        return L"(hash failed)";
    }
    static const wchar_t kDigits[] = L"0123456789ABCDEF";
    std::wstring text;
    for (unsigned char b : digest) {
        text.push_back(kDigits[b >> 4]);
        text.push_back(kDigits[b & 15]);
    }
    return text;
}

std::wstring ModelDigest(const std::vector<unsigned char>& file)
{
    const uint64_t size = file.size();
    if (size < 64) return L"";
    const uint64_t header = PeHeaderOffset(file);
    if (header + 264 > size) return L"";
    const uint64_t tableOffset = LoadU32(file, header + 168);
    const uint32_t tableSize = LoadU32(file, header + 172);
    const bool hasTable = static_cast<int32_t>(tableSize) > 0;
    std::vector<unsigned char> kept;
    kept.reserve(file.size());
    for (uint64_t i = 0; i < size; ++i) {
        if (i >= header + 88 && i < header + 92) continue;
        if (i >= header + 168 && i < header + 176) continue;
        if (hasTable && i >= tableOffset && i < tableOffset + tableSize) continue;
        kept.push_back(file[i]);
    }
    return Sha256Hex(kept);
}

win::UniqueHandle StartProgram(const std::wstring& commandLine, const std::wstring& currentDirectory,
                               const std::wstring& pathFolder, const std::wstring& loadMarker)
{
    // The child's environment: ours, with PATH and the load record set as asked.
    std::vector<wchar_t> environment;
    {
        LPWCH block = ::GetEnvironmentStringsW();
        for (LPWCH entry = block; entry != nullptr && *entry != L'\0'; entry += wcslen(entry) + 1) {
            std::wstring text = entry;
            const std::wstring upper = [&] {
                std::wstring u = text.substr(0, text.find(L'='));
                for (auto& c : u) c = static_cast<wchar_t>(towupper(c));
                return u;
            }();
            if (upper == L"FN_PLANTED_LOAD_MARKER") continue;
            if (upper == L"PATH" && !pathFolder.empty()) {
                text = L"PATH=" + pathFolder + L";" + text.substr(text.find(L'=') + 1);
            }
            environment.insert(environment.end(), text.begin(), text.end());
            environment.push_back(L'\0');
        }
        if (block != nullptr) ::FreeEnvironmentStringsW(block);
        if (!loadMarker.empty()) {
            const std::wstring text = L"FN_PLANTED_LOAD_MARKER=" + loadMarker;
            environment.insert(environment.end(), text.begin(), text.end());
            environment.push_back(L'\0');
        }
        environment.push_back(L'\0');
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    std::wstring mutableLine = commandLine;
    if (!::CreateProcessW(nullptr, &mutableLine[0], nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                          environment.data(), currentDirectory.empty() ? nullptr : currentDirectory.c_str(), &startup,
                          &info)) {
        return win::UniqueHandle();
    }
    ::CloseHandle(info.hThread);
    return win::UniqueHandle(info.hProcess);
}

DWORD RunProgram(const std::wstring& commandLine, const std::wstring& currentDirectory, const std::wstring& pathFolder,
                 const std::wstring& loadMarker, DWORD timeoutMs)
{
    win::UniqueHandle process = StartProgram(commandLine, currentDirectory, pathFolder, loadMarker);
    if (!process) return 0xFFFFFFFF;
    if (::WaitForSingleObject(process.get(), timeoutMs) != WAIT_OBJECT_0) {
        ::TerminateProcess(process.get(), 1);
        ::WaitForSingleObject(process.get(), 5000);
        return 0xFFFFFFFF;
    }
    DWORD exitCode = 0xFFFFFFFF;
    ::GetExitCodeProcess(process.get(), &exitCode);
    return exitCode;
}

LONG VerifyTrustResult(const std::wstring& path)
{
    WINTRUST_FILE_INFO fileInfo = {};
    fileInfo.cbStruct = sizeof(fileInfo);
    fileInfo.pcwszFilePath = path.c_str();
    WINTRUST_DATA trustData = {};
    trustData.cbStruct = sizeof(trustData);
    trustData.dwUIChoice = WTD_UI_NONE;
    trustData.fdwRevocationChecks = WTD_REVOKE_WHOLECHAIN;
    trustData.dwUnionChoice = WTD_CHOICE_FILE;
    trustData.pFile = &fileInfo;
    trustData.dwStateAction = WTD_STATEACTION_VERIFY;
    trustData.dwProvFlags = WTD_REVOCATION_CHECK_CHAIN | WTD_CACHE_ONLY_URL_RETRIEVAL;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG result = ::WinVerifyTrust(nullptr, &action, &trustData);
    trustData.dwStateAction = WTD_STATEACTION_CLOSE;
    ::WinVerifyTrust(nullptr, &action, &trustData);
    return result;
}

ProgramVersionGuard::ProgramVersionGuard(std::wstring fileName, const std::wstring& version)
    : m_subKey(L"Software\\Wine\\AppDefaults\\" + std::move(fileName))
{
    ::RegDeleteTreeW(HKEY_CURRENT_USER, m_subKey.c_str());
    ::RegSetKeyValueW(HKEY_CURRENT_USER, m_subKey.c_str(), L"Version", REG_SZ, version.c_str(),
                      static_cast<DWORD>((version.size() + 1) * sizeof(wchar_t)));
}

ProgramVersionGuard::~ProgramVersionGuard()
{
    ::RegDeleteTreeW(HKEY_CURRENT_USER, m_subKey.c_str());
    ::RegDeleteKeyW(HKEY_CURRENT_USER, m_subKey.c_str());
}

std::vector<std::string> ReadTextLines(const std::wstring& path)
{
    std::vector<std::string> lines;
    if (!testsupport::FileExists(path)) return lines;
    const std::vector<unsigned char> bytes = testsupport::ReadFileBytes(path);
    std::string line;
    for (unsigned char b : bytes) {
        if (b == '\n') {
            lines.push_back(line);
            line.clear();
        } else if (b != '\r') {
            line.push_back(static_cast<char>(b));
        }
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

std::wstring Quote(const std::wstring& text) { return L"\"" + text + L"\""; }

bool SamePath(const std::wstring& a, const std::wstring& b)
{
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                                  TRUE) == CSTR_EQUAL;
}

} // namespace trusttest
