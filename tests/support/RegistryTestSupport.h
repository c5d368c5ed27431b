// Registry and log helpers of the settings tests: raw reads and writes of values, the
// package's key trees cleared around a test, and log records compared whole.
#pragma once

#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <memory>
#include <string>
#include <vector>

namespace regtest {

struct RawValue {
    bool exists = false;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

// What HKLM\subKey holds under the name, read without any conversion.
RawValue ReadRaw(const std::wstring& subKey, const std::wstring& name);
// Writes a value of any type and size, creating the key when it is missing.
void WriteRaw(const std::wstring& subKey, const std::wstring& name, DWORD type, const std::vector<BYTE>& data);
void WriteDword(const std::wstring& subKey, const std::wstring& name, DWORD value);
void CreateKey(const std::wstring& subKey);
bool KeyExists(const std::wstring& subKey);
std::vector<std::wstring> SubKeyNames(const std::wstring& subKey);   // sorted
std::vector<std::wstring> ValueNames(const std::wstring& subKey);    // sorted

std::vector<BYTE> DwordBytes(DWORD value);
std::vector<BYTE> Utf16Bytes(const std::wstring& text, bool withTerminator = true);

// A REG_DWORD value of 4 bytes holding the number.
::testing::AssertionResult IsDword(const RawValue& value, DWORD expected);

// True when the record equals the pattern, where every "%d" of the pattern stands for a
// decimal number (the source lines and error codes that a test cannot know).
bool RecordMatches(const std::wstring& record, const std::wstring& pattern);
// Compares a whole sequence of records with patterns, printing both on a mismatch.
::testing::AssertionResult RecordsMatch(const std::vector<std::wstring>& records,
                                        const std::vector<std::wstring>& patterns);
std::wstring Join(const std::vector<std::wstring>& lines);

// Gives HKLM\subKey the access list written in SDDL for as long as the guard lives, so that a
// test can make the platform refuse a write or a deletion. When it ends, everyone gets full
// access again, so that the test's own clean-up can remove the key.
class KeyAccessGuard {
public:
    KeyAccessGuard(const std::wstring& subKey, const wchar_t* sddl);
    ~KeyAccessGuard();
    KeyAccessGuard(const KeyAccessGuard&) = delete;
    KeyAccessGuard& operator=(const KeyAccessGuard&) = delete;
    // The registry's code of the change (0 when the access list is in place).
    LONG Status() const { return m_status; }

private:
    std::wstring m_subKey;
    LONG m_status;
};

// The three keyboards of the mic-mute LED list, in the order they are written.
extern const std::vector<std::wstring> kMicMuteKeyboardNames;
// Exactly the install-time table under the service key and the hotkey key: every key and
// value named there, byte for byte, and nothing else. Values that other parts of the service
// write into the capability key at start may be named as tolerated.
void ExpectExactlyTheDefaults(const std::vector<std::wstring>& toleratedCapabilityValues = {});

// The package's two key trees (service key and hotkey key) removed before and after a test,
// and the log switched on into a scratch folder.
class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::vector<std::wstring> LogMessages() const;
    void ClearLog() const;

private:
    std::unique_ptr<testsupport::ScratchFolder> m_logFolder;
};

} // namespace regtest
