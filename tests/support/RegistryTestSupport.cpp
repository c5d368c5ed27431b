#include "support/RegistryTestSupport.h"

#include "log/UtilityLog.h"
#include "registry/RegistryKeys.h"
#include "win/Owners.h"

#include <sddl.h>

#include <algorithm>
#include <cwctype>

namespace regtest {

RawValue ReadRaw(const std::wstring& subKey, const std::wstring& name)
{
    RawValue value;
    win::UniqueRegKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) {
        return value;
    }
    DWORD size = 0;
    if (::RegQueryValueExW(key.get(), name.c_str(), nullptr, &value.type, nullptr, &size) != ERROR_SUCCESS) {
        return value;
    }
    value.data.resize(size);
    if (::RegQueryValueExW(key.get(), name.c_str(), nullptr, &value.type, size ? value.data.data() : nullptr,
                           &size) != ERROR_SUCCESS) {
        return value;
    }
    value.data.resize(size);
    value.exists = true;
    return value;
}

void WriteRaw(const std::wstring& subKey, const std::wstring& name, DWORD type, const std::vector<BYTE>& data)
{
    win::UniqueRegKey key;
    ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                               nullptr, key.put(), nullptr));
    ASSERT_EQ(ERROR_SUCCESS, ::RegSetValueExW(key.get(), name.c_str(), 0, type, data.empty() ? nullptr : data.data(),
                                              static_cast<DWORD>(data.size())));
}

void WriteDword(const std::wstring& subKey, const std::wstring& name, DWORD value)
{
    WriteRaw(subKey, name, REG_DWORD, DwordBytes(value));
}

void CreateKey(const std::wstring& subKey)
{
    win::UniqueRegKey key;
    ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                               nullptr, key.put(), nullptr));
}

bool KeyExists(const std::wstring& subKey)
{
    win::UniqueRegKey key;
    return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

namespace {

std::vector<std::wstring> Enumerate(const std::wstring& subKey, bool values)
{
    std::vector<std::wstring> names;
    win::UniqueRegKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return names;
    for (DWORD index = 0;; ++index) {
        wchar_t name[16384] = {};
        DWORD length = 16384;
        const LONG status = values ? ::RegEnumValueW(key.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr)
                                   : ::RegEnumKeyExW(key.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (status != ERROR_SUCCESS) break;
        names.emplace_back(name, length);
    }
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

std::vector<std::wstring> SubKeyNames(const std::wstring& subKey) { return Enumerate(subKey, false); }
std::vector<std::wstring> ValueNames(const std::wstring& subKey) { return Enumerate(subKey, true); }

std::vector<BYTE> DwordBytes(DWORD value)
{
    return {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8), static_cast<BYTE>(value >> 16),
            static_cast<BYTE>(value >> 24)};
}

std::vector<BYTE> Utf16Bytes(const std::wstring& text, bool withTerminator)
{
    std::vector<BYTE> bytes;
    for (wchar_t c : text) {
        bytes.push_back(static_cast<BYTE>(c & 0xFF));
        bytes.push_back(static_cast<BYTE>(c >> 8));
    }
    if (withTerminator) bytes.insert(bytes.end(), {0, 0});
    return bytes;
}

::testing::AssertionResult IsDword(const RawValue& value, DWORD expected)
{
    if (!value.exists) return ::testing::AssertionFailure() << "value missing, expected REG_DWORD " << expected;
    if (value.type != REG_DWORD || value.data.size() != 4) {
        return ::testing::AssertionFailure() << "type " << value.type << " with " << value.data.size()
                                             << " bytes, expected REG_DWORD of 4 bytes";
    }
    const DWORD actual = value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) |
                         (static_cast<DWORD>(value.data[3]) << 24);
    if (actual != expected) return ::testing::AssertionFailure() << "REG_DWORD " << actual << ", expected " << expected;
    return ::testing::AssertionSuccess();
}

bool RecordMatches(const std::wstring& record, const std::wstring& pattern)
{
    size_t r = 0;
    size_t p = 0;
    while (p < pattern.size()) {
        if (pattern.compare(p, 2, L"%d") == 0) {
            if (r < record.size() && record[r] == L'-') ++r;
            const size_t digits = r;
            while (r < record.size() && std::iswdigit(record[r])) ++r;
            if (r == digits) return false;
            p += 2;
            continue;
        }
        if (r >= record.size() || record[r] != pattern[p]) return false;
        ++r;
        ++p;
    }
    return r == record.size();
}

std::wstring Join(const std::vector<std::wstring>& lines)
{
    std::wstring text;
    for (const std::wstring& line : lines) text += L"  <" + line + L">\n";
    return text;
}

::testing::AssertionResult RecordsMatch(const std::vector<std::wstring>& records,
                                        const std::vector<std::wstring>& patterns)
{
    bool same = records.size() == patterns.size();
    for (size_t i = 0; same && i < records.size(); ++i) same = RecordMatches(records[i], patterns[i]);
    if (same) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "records:\n"
                                         << testsupport::Narrow(Join(records)) << "expected:\n"
                                         << testsupport::Narrow(Join(patterns));
}

namespace {

const std::vector<BYTE> kExpectedFailureActions = {
    0x40, 0x7E, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00,
    0x00, 0x14, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x88, 0x13, 0x00, 0x00, 0x01, 0x00,
    0x00, 0x00, 0x20, 0x4E, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20, 0x4E, 0x00, 0x00};

const std::vector<std::pair<std::wstring, std::vector<BYTE>>> kExpectedKeyboardValues = {
    {L"05", {0x0C, 0x01, 0x03, 0x00, 0x40, 0x00}},    {L"Ex_1A", {0x0C, 0x01, 0x03, 0x00, 0x02, 0x00}},
    {L"Ex_1B", {0x0C, 0x01, 0x03, 0x10, 0x00, 0x18}}, {L"Ex_20", {0x0C, 0x01, 0x03, 0x10, 0x00, 0x01}},
    {L"Ex_25", {0x0C, 0x01, 0x03, 0x10, 0x00, 0x10}}, {L"Ex_27", {0x0C, 0x01, 0x03, 0x10, 0x00, 0x12}},
    {L"Ex_31", {0x0C, 0x01, 0x03, 0x00, 0x01, 0x00}}, {L"Ex_91", {0x0C, 0x01, 0x03, 0x08, 0x00, 0x00}},
    {L"Ex_99", {0x0C, 0x01, 0x03, 0x10, 0x00, 0x2D}}, {L"Ex_9A", {0x0C, 0x01, 0x03, 0x10, 0x00, 0x2E}},
    {L"Ex_9B", {0x0C, 0x01, 0x03, 0x10, 0x00, 0x32}},
};

} // namespace

const std::vector<std::wstring> kMicMuteKeyboardNames = {L"VID_7A7A&PID_0101", L"VID_7A7A&PID_0102", L"VID_7B7B&PID_0201"};

void ExpectExactlyTheDefaults(const std::vector<std::wstring>& toleratedCapabilityValues)
{
    using namespace regkeys;
    const std::wstring kService = kServiceKey;
    const std::wstring kToast = kToastKey;
    const std::wstring kKeyboards = kKeyboardListKey;
    EXPECT_EQ((std::vector<std::wstring>{L"Capbility", L"ControlShowOSD", L"PexaroToast"}), SubKeyNames(kService));
    EXPECT_EQ((std::vector<std::wstring>{L"FailureActions"}), ValueNames(kService));
    const RawValue failureActions = ReadRaw(kService, L"FailureActions");
    EXPECT_EQ(static_cast<DWORD>(REG_BINARY), failureActions.type);
    EXPECT_EQ(kExpectedFailureActions, failureActions.data);

    EXPECT_EQ((std::vector<std::wstring>{L"CountTimesPopToastCapsNumlkOSD", L"NeverPopToast", L"PopToastCapsNumlkOSD",
                                         L"ShowCapslkOSD", L"ShowNumlkOSD"}),
              ValueNames(kToast));
    EXPECT_TRUE(IsDword(ReadRaw(kToast, L"ShowCapslkOSD"), 1));
    EXPECT_TRUE(IsDword(ReadRaw(kToast, L"ShowNumlkOSD"), 1));
    EXPECT_TRUE(IsDword(ReadRaw(kToast, L"CountTimesPopToastCapsNumlkOSD"), 0));
    EXPECT_TRUE(IsDword(ReadRaw(kToast, L"NeverPopToast"), 0));
    EXPECT_TRUE(IsDword(ReadRaw(kToast, L"PopToastCapsNumlkOSD"), 0));
    EXPECT_TRUE(SubKeyNames(kToast).empty());
    for (const wchar_t* empty : {kOsdKey, kCapabilityKey}) {
        EXPECT_TRUE(SubKeyNames(empty).empty()) << testsupport::Narrow(empty);
    }
    EXPECT_TRUE(ValueNames(kOsdKey).empty());
    for (const std::wstring& name : ValueNames(kCapabilityKey)) {
        EXPECT_NE(toleratedCapabilityValues.end(),
                  std::find(toleratedCapabilityValues.begin(), toleratedCapabilityValues.end(), name))
            << "unexpected capability value " << testsupport::Narrow(name);
    }

    EXPECT_EQ((std::vector<std::wstring>{L"HIDKBMicMuteLED"}), SubKeyNames(kHotkeyKey));
    EXPECT_TRUE(ValueNames(kHotkeyKey).empty());
    EXPECT_TRUE(ValueNames(kKeyboards).empty());
    EXPECT_EQ(kMicMuteKeyboardNames, SubKeyNames(kKeyboards));
    for (const std::wstring& keyboard : kMicMuteKeyboardNames) {
        const std::wstring key = kKeyboards + L"\\" + keyboard;
        EXPECT_EQ(11u, ValueNames(key).size()) << testsupport::Narrow(keyboard);
        for (const auto& expected : kExpectedKeyboardValues) {
            const RawValue value = ReadRaw(key, expected.first);
            EXPECT_EQ(static_cast<DWORD>(REG_BINARY), value.type) << testsupport::Narrow(keyboard + L" " + expected.first);
            EXPECT_EQ(expected.second, value.data) << testsupport::Narrow(keyboard + L" " + expected.first);
        }
    }
}


namespace {

LONG ApplyAccessList(const std::wstring& subKey, const wchar_t* sddl)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr)) {
        return static_cast<LONG>(::GetLastError());
    }
    win::UniqueRegKey key;
    LONG status = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, WRITE_DAC, key.put());
    if (status == ERROR_SUCCESS) status = ::RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, descriptor);
    ::LocalFree(descriptor);
    return status;
}

} // namespace

KeyAccessGuard::KeyAccessGuard(const std::wstring& subKey, const wchar_t* sddl)
    : m_subKey(subKey), m_status(ApplyAccessList(subKey, sddl))
{
}

KeyAccessGuard::~KeyAccessGuard()
{
    EXPECT_EQ(ERROR_SUCCESS, ApplyAccessList(m_subKey, L"D:(A;;KA;;;WD)"))
        << "full access could not be given back to " << testsupport::Narrow(m_subKey);
}

void SettingsTest::SetUp()
{
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, regkeys::kServiceKey);
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, regkeys::kServiceKey);
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, regkeys::kHotkeyKey);
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, regkeys::kHotkeyKey);
    m_logFolder = std::make_unique<testsupport::ScratchFolder>(L"settings_log");
    CUtilityLog::InitLogFilePathAt(m_logFolder->Path());
    testsupport::SetLogSwitch(true);
}

void SettingsTest::TearDown()
{
    testsupport::SetLogSwitch(false);
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, regkeys::kServiceKey);
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, regkeys::kServiceKey);
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, regkeys::kHotkeyKey);
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, regkeys::kHotkeyKey);
    m_logFolder.reset();
}

std::vector<std::wstring> SettingsTest::LogMessages() const
{
    return testsupport::ReadLogMessages(CUtilityLog::CurrentLogFilePath());
}

void SettingsTest::ClearLog() const { ::DeleteFileW(CUtilityLog::CurrentLogFilePath().c_str()); }

} // namespace regtest
