#include "support/RegistryTestSupport.h"

#include <sddl.h>

#include <algorithm>
#include <regex>

namespace regtest {
using testsupport::Narrow;
constexpr DWORD kLongestName = 16384; // characters of a registry key or value name, with its end
static std::string Describe(const RawValue& value)
{
    std::string text = value.exists ? "type " + std::to_string(value.type) + ":" : "missing";
    const char* const digits = "0123456789abcdef";
    for (BYTE byte : value.data) text += {' ', digits[byte >> 4], digits[byte & 15]};
    return text;
}
RawValue Dword(DWORD value)
{
    return {true, REG_DWORD, {BYTE(value), BYTE(value >> 8), BYTE(value >> 16), BYTE(value >> 24)}};
}
RawValue Binary(std::vector<BYTE> bytes) { return {true, REG_BINARY, std::move(bytes)}; }
RawValue ReadRaw(const std::wstring& subKey, const std::wstring& name)
{
    RawValue value;
    DWORD size = 0;
    const auto get = [&](BYTE* data) {
        return ::RegGetValueW(HKEY_LOCAL_MACHINE, subKey.c_str(), name.c_str(), RRF_RT_ANY | RRF_NOEXPAND,
                              &value.type, data, &size);
    };
    if (get(nullptr) != ERROR_SUCCESS) return value;
    value.data.resize(size + 1); // a buffer for an empty value too
    value.exists = get(value.data.data()) == ERROR_SUCCESS;
    value.data.resize(size);
    return value;
}
void CreateKey(const std::wstring& subKey, DWORD options)
{
    win::UniqueRegKey key;
    const LONG result = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, nullptr, options, KEY_ALL_ACCESS,
                                          nullptr, key.put(), nullptr);
    EXPECT_EQ(ERROR_SUCCESS, result) << Narrow(subKey);
}
Tree ReadTree(const std::wstring& root, bool withKeys)
{
    Tree tree;
    win::UniqueRegKey key;
    ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, root.c_str(), 0, KEY_READ, key.put());
    std::vector<wchar_t> name(kLongestName);
    DWORD size = kLongestName;
    for (DWORD index = 0; ::RegEnumValueW(key.get(), index, name.data(), &size, 0, 0, 0, 0) == 0; ++index) {
        tree[root + L"\\" + name.data()] = ReadRaw(root, name.data());
        size = kLongestName;
    }
    size = kLongestName;
    for (DWORD index = 0; ::RegEnumKeyExW(key.get(), index, name.data(), &size, 0, 0, 0, 0) == 0; ++index) {
        const std::wstring child = root + L"\\" + name.data();
        if (withKeys) tree[child + L"\\"] = {};
        tree.merge(ReadTree(child, withKeys));
        size = kLongestName;
    }
    return tree;
}
void WriteTree(const Tree& values)
{
    for (const auto& [path, value] : values) {
        const size_t cut = path.rfind(L'\\');
        const LONG result = ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, path.substr(0, cut).c_str(),
                                              path.substr(cut + 1).c_str(), value.type, value.data.data(),
                                              DWORD(value.data.size()));
        EXPECT_EQ(ERROR_SUCCESS, result) << Narrow(path);
    }
}
Tree PackageTree()
{
    Tree tree = ReadTree(regkeys::kServiceKey);
    tree.merge(ReadTree(regkeys::kHotkeyKey));
    return tree;
}
Tree DefaultTree()
{
    using namespace regkeys;
    const std::wstring list = kKeyboardListKey + std::wstring(L"\\");
    // Restart after 5 s and after 20 s, then nothing; the count of failures starts again after 100 hours.
    const RawValue failureActions = Binary({0x40, 0x7E, 0x05, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0x14, 0, 0, 0,
                                            1, 0, 0, 0, 0x88, 0x13, 0, 0, 1, 0, 0, 0, 0x20, 0x4E, 0, 0,
                                            0, 0, 0, 0, 0x20, 0x4E, 0, 0});
    Tree tree = {
        {kServiceKey + std::wstring(L"\\FailureActions"), failureActions},
        {kToastKey + std::wstring(L"\\"), {}},
        {kOsdKey + std::wstring(L"\\"), {}},
        {kCapabilityKey + std::wstring(L"\\"), {}},
        {list, {}},
        {kCaps, Dword(1)},
        {kNum, Dword(1)},
        {kShownCount, Dword(0)},
        {kNeverPop, Dword(0)},
        {kPopCount, Dword(0)},
    };
    const std::pair<const wchar_t*, std::vector<BYTE>> keyRecords[] = {
        {L"05", {0x00, 0x40, 0x00}},    {L"Ex_1A", {0x00, 0x02, 0x00}}, {L"Ex_1B", {0x10, 0x00, 0x18}},
        {L"Ex_20", {0x10, 0x00, 0x01}}, {L"Ex_25", {0x10, 0x00, 0x10}}, {L"Ex_27", {0x10, 0x00, 0x12}},
        {L"Ex_31", {0x00, 0x01, 0x00}}, {L"Ex_91", {0x08, 0x00, 0x00}}, {L"Ex_99", {0x10, 0x00, 0x2D}},
        {L"Ex_9A", {0x10, 0x00, 0x2E}}, {L"Ex_9B", {0x10, 0x00, 0x32}},
    };
    for (const wchar_t* keyboard : {L"VID_7A7A&PID_0101\\", L"VID_7A7A&PID_0102\\", L"VID_7B7B&PID_0201\\"}) {
        tree[list + keyboard] = {};
        for (const auto& [name, tail] : keyRecords) {
            tree[list + keyboard + name] = Binary({0x0C, 0x01, 0x03, tail[0], tail[1], tail[2]});
        }
    }
    return tree;
}
std::string Dump(const Tree& tree)
{
    std::string text;
    for (const auto& [path, value] : tree) text += Narrow(path) + (value.exists ? " = " + Describe(value) : "") + "\n";
    return text;
}
void ExpectExactlyTheDefaults(const std::vector<std::wstring>& toleratedCapabilityValues)
{
    Tree tree = PackageTree();
    for (const std::wstring& name : toleratedCapabilityValues) tree.erase(regkeys::kCapabilityKey + (L"\\" + name));
    EXPECT_EQ(Dump(DefaultTree()), Dump(tree));
}
bool RecordMatches(const std::wstring& record, const std::wstring& pattern)
{
    static const std::wregex special(L"[.^$|()\\[\\]{}*+?\\\\]");
    static const std::wregex number(L"%d");
    const std::wstring escaped = std::regex_replace(pattern, special, L"\\$&");
    return std::regex_match(record, std::wregex(std::regex_replace(escaped, number, L"-?[0-9]+")));
}
size_t CountLogged(const std::wstring& pattern, const std::wstring& log)
{
    const std::vector<std::wstring> records = testsupport::ReadLogMessages(log);
    return std::count_if(records.begin(), records.end(), [&](const std::wstring& record) {
        return RecordMatches(record, pattern);
    });
}
static std::wstring Join(const std::vector<std::wstring>& lines)
{
    std::wstring text;
    for (const std::wstring& line : lines) text += L"  <" + line + L">\n";
    return text;
}
::testing::AssertionResult RecordsMatch(const std::vector<std::wstring>& records,
                                        const std::vector<std::wstring>& patterns)
{
    if (std::equal(records.begin(), records.end(), patterns.begin(), patterns.end(), RecordMatches)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "records:\n" << Narrow(Join(records)) << "expected:\n"
                                         << Narrow(Join(patterns));
}
KeyAccessGuard::KeyAccessGuard(std::wstring key, const wchar_t* sddl) : m_key(std::move(key))
{
    CreateKey(m_key);
    Apply(sddl);
}
KeyAccessGuard::~KeyAccessGuard() { Apply(L"D:(A;;KA;;;WD)"); }
void KeyAccessGuard::Apply(const wchar_t* sddl)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr));
    const win::UniqueLocalMemory held(descriptor);
    win::UniqueRegKey key;
    EXPECT_EQ(ERROR_SUCCESS, ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, m_key.c_str(), 0, WRITE_DAC, key.put()));
    EXPECT_EQ(ERROR_SUCCESS, ::RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, descriptor));
}
void SettingsTest::ClearPackageKeys()
{
    Guard::Delete(regkeys::kServiceKey);
    Guard::Delete(regkeys::kHotkeyKey);
}
} // namespace regtest
