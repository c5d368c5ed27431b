// Registry helpers of the settings tests: raw values, key trees compared whole, the install-time table,
// whole log records, and access lists that make the registry refuse.
#pragma once

#include "registry/RegistryKeys.h"
#include "support/TestSupport.h"

#include <map>

namespace regtest {
struct RawValue { bool exists = false; DWORD type = REG_NONE; std::vector<BYTE> data; };
RawValue Dword(DWORD value);
RawValue Binary(std::vector<BYTE> bytes);
RawValue ReadRaw(const std::wstring& subKey, const std::wstring& name); // HKLM\subKey, unconverted
void CreateKey(const std::wstring& subKey, DWORD options = 0);
using testsupport::KeyExists;
// Every key ("path\") and value below HKLM\root by full path; Dump prints one a line, so that a
// mismatch shows as a diff.
using Tree = std::map<std::wstring, RawValue>;
Tree ReadTree(const std::wstring& root, bool withKeys = true);
void WriteTree(const Tree& values);
Tree PackageTree(); // the service key's and the hotkey key's trees
Tree DefaultTree(); // what the install-time writer leaves there
std::string Dump(const Tree& tree);
inline std::wstring ValuePath(const wchar_t* key, const wchar_t* name) { return key + (L"\\" + std::wstring(name)); }
inline const std::wstring kCaps = ValuePath(regkeys::kToastKey, regkeys::kShowCapslkOsd);
inline const std::wstring kNum = ValuePath(regkeys::kToastKey, regkeys::kShowNumlkOsd);
inline const std::wstring kCombined = ValuePath(regkeys::kOsdKey, regkeys::kShowCapsNumlkOsd);
inline const std::wstring kPopCount = ValuePath(regkeys::kToastKey, regkeys::kPopToast);
inline const std::wstring kShownCount = ValuePath(regkeys::kToastKey, regkeys::kCountTimesPopToast);
inline const std::wstring kNeverPop = ValuePath(regkeys::kToastKey, regkeys::kNeverPopToast);
inline const std::wstring kOcr = ValuePath(regkeys::kCapabilityKey, regkeys::kOcrSnippingKey);
inline const std::wstring kUserChanged = ValuePath(regkeys::kCapabilityKey, regkeys::kIsUserChangedCapsNumLk);
// Exactly the install-time table; values that the start may add to the capability key are tolerated.
void ExpectExactlyTheDefaults(const std::vector<std::wstring>& toleratedCapabilityValues = {});
// A record equals the pattern, where every "%d" stands for a decimal number; RecordsMatch lists both
// sides when not.
bool RecordMatches(const std::wstring& record, const std::wstring& pattern);
::testing::AssertionResult RecordsMatch(const std::vector<std::wstring>& records,
                                        const std::vector<std::wstring>& patterns);
// How many records of the log (the installed service's unless named) match the pattern.
size_t CountLogged(const std::wstring& pattern, const std::wstring& log = testsupport::kServiceLog);
// Creates HKLM\key and gives it the SDDL access list while it lives, full access afterwards.
class KeyAccessGuard {
public:
    KeyAccessGuard(std::wstring key, const wchar_t* sddl);
    ~KeyAccessGuard();
private:
    void Apply(const wchar_t* sddl);
    std::wstring m_key;
};
// Logged into a scratch folder, with the package's two key trees removed before and after.
class SettingsTest : public testsupport::LoggedTest {
protected:
    using Guard = testsupport::RegistryTreeGuard;
    static void ClearPackageKeys();
    Guard m_service{regkeys::kServiceKey};
    Guard m_hotkey{regkeys::kHotkeyKey};
};
} // namespace regtest
