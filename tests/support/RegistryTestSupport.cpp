#include "support/RegistryTestSupport.h"

#include <sddl.h>

#include <regex>

namespace regtest {

using testsupport::Narrow;

static std::string Describe(const RawValue& value)
{
    std::string text = value.exists ? "type " + std::to_string(value.type) + ":" : "missing";
    for (BYTE b : value.data) text += {' ', "0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
    return text;
}

::testing::AssertionResult IsDword(const RawValue& value, DWORD expected)
{
    if (Describe(value) == Describe(Dword(expected))) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "expected " << Describe(Dword(expected)) << ", found " << Describe(value);
}

RawValue ReadRaw(const std::wstring& subKey, const std::wstring& name)
{
    RawValue v;
    DWORD size = 0;
    const auto get = [&](BYTE* data) { return ::RegGetValueW(HKEY_LOCAL_MACHINE, subKey.c_str(), name.c_str(), RRF_RT_ANY | RRF_NOEXPAND, &v.type, data, &size); };
    if (get(nullptr) != ERROR_SUCCESS) return v;
    v.data.resize(size + 1); // a buffer for an empty value too
    v.exists = get(v.data.data()) == ERROR_SUCCESS;
    v.data.resize(size);
    return v;
}

static win::UniqueRegKey Created(const std::wstring& subKey, DWORD options)
{
    win::UniqueRegKey key;
    EXPECT_EQ(0, ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, 0, options, KEY_ALL_ACCESS, 0, key.put(), 0)) << Narrow(subKey);
    return key;
}

void CreateKey(const std::wstring& subKey, DWORD options) { Created(subKey, options); }

bool KeyExists(const std::wstring& subKey)
{
    win::UniqueRegKey key;
    return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

Tree ReadTree(const std::wstring& root, bool withKeys)
{
    Tree tree;
    win::UniqueRegKey key;
    ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, root.c_str(), 0, KEY_READ, key.put());
    wchar_t name[16384];
    for (DWORD i = 0, size = 16384; !::RegEnumValueW(key.get(), i, name, &size, 0, 0, 0, 0); ++i, size = 16384) tree[root + L"\\" + name] = ReadRaw(root, name);
    for (DWORD i = 0, size = 16384; !::RegEnumKeyExW(key.get(), i, name, &size, 0, 0, 0, 0); ++i, size = 16384) {
        if (withKeys) tree[root + L"\\" + name + L"\\"] = {};
        tree.merge(ReadTree(root + L"\\" + name, withKeys));
    }
    return tree;
}

void WriteTree(const Tree& values)
{
    for (const auto& [path, v] : values) {
        const size_t cut = path.rfind(L'\\');
        EXPECT_EQ(0, ::RegSetValueExW(Created(path.substr(0, cut), 0).get(), path.substr(cut + 1).c_str(), 0, v.type, v.data.data(), DWORD(v.data.size())));
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
    const std::wstring toast = kToastKey + std::wstring(L"\\"), list = kKeyboardListKey + std::wstring(L"\\");
    // Restart after 5 s and after 20 s, then nothing; the count of failures starts again after 100 hours.
    Tree tree = {{kServiceKey + std::wstring(L"\\FailureActions"), Binary({0x40, 0x7E, 0x05, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0x14, 0, 0, 0, 1, 0,
                  0, 0, 0x88, 0x13, 0, 0, 1, 0, 0, 0, 0x20, 0x4E, 0, 0, 0, 0, 0, 0, 0x20, 0x4E, 0, 0})},
                 {toast, {}}, {kOsdKey + std::wstring(L"\\"), {}}, {kCapabilityKey + std::wstring(L"\\"), {}}, {list, {}},
                 {toast + L"ShowCapslkOSD", Dword(1)}, {toast + L"ShowNumlkOSD", Dword(1)}, {toast + L"CountTimesPopToastCapsNumlkOSD", Dword(0)},
                 {toast + L"NeverPopToast", Dword(0)}, {toast + L"PopToastCapsNumlkOSD", Dword(0)}};
    const std::pair<const wchar_t*, std::vector<BYTE>> records[] = {
        {L"05", {0x00, 0x40, 0x00}}, {L"Ex_1A", {0x00, 0x02, 0x00}}, {L"Ex_1B", {0x10, 0x00, 0x18}}, {L"Ex_20", {0x10, 0x00, 0x01}},
        {L"Ex_25", {0x10, 0x00, 0x10}}, {L"Ex_27", {0x10, 0x00, 0x12}}, {L"Ex_31", {0x00, 0x01, 0x00}}, {L"Ex_91", {0x08, 0x00, 0x00}},
        {L"Ex_99", {0x10, 0x00, 0x2D}}, {L"Ex_9A", {0x10, 0x00, 0x2E}}, {L"Ex_9B", {0x10, 0x00, 0x32}}};
    for (const wchar_t* keyboard : {L"VID_7A7A&PID_0101\\", L"VID_7A7A&PID_0102\\", L"VID_7B7B&PID_0201\\"}) {
        tree[list + keyboard] = {};
        for (const auto& [name, t] : records) tree[list + keyboard + name] = Binary({0x0C, 0x01, 0x03, t[0], t[1], t[2]});
    }
    return tree;
}

std::string Dump(const Tree& tree)
{
    std::string text;
    for (const auto& [path, v] : tree) text += Narrow(path) + (v.exists ? " = " + Describe(v) : "") + "\n";
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
    static const std::wregex special(L"[.^$|()\\[\\]{}*+?\\\\]"), number(L"%d");
    return std::regex_match(record, std::wregex(std::regex_replace(std::regex_replace(pattern, special, L"\\$&"), number, L"-?[0-9]+")));
}

std::wstring Join(const std::vector<std::wstring>& lines)
{
    std::wstring text;
    for (const std::wstring& line : lines) text += L"  <" + line + L">\n";
    return text;
}

::testing::AssertionResult RecordsMatch(const std::vector<std::wstring>& records, const std::vector<std::wstring>& patterns)
{
    bool same = records.size() == patterns.size();
    for (size_t i = 0; same && i < records.size(); ++i) same = RecordMatches(records[i], patterns[i]);
    if (same) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "records:\n" << Narrow(Join(records)) << "expected:\n" << Narrow(Join(patterns));
}

void KeyAccessGuard::Apply(const wchar_t* sddl)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr));
    win::UniqueRegKey key;
    EXPECT_EQ(ERROR_SUCCESS, ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, m_key.c_str(), 0, WRITE_DAC, key.put()));
    EXPECT_EQ(ERROR_SUCCESS, ::RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, descriptor));
    ::LocalFree(descriptor);
}

} // namespace regtest
