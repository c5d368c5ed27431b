// The product information read from the firmware stand-in registered in the prefix: what each
// answer of the firmware records in the registry and the log, and the failure paths of the WMI
// sequence. Each thread runs in an apartment of its own, as in the service.
#include "FirmwareStandIn.h"
#include "hardware/ProductInfoMonitor.h"
#include "registry/RegistryKeys.h"
#include "support/TestSupport.h"

#include <optional>
#include <thread>

using namespace testsupport;
using namespace regkeys;

namespace {

struct Value {
    HKEY root;
    const wchar_t* key;
    const wchar_t* name;
};
const Value kGame{HKEY_LOCAL_MACHINE, kCapabilityKey, kIsGameMachine};
const Value kVersionValue{HKEY_LOCAL_MACHINE, kCapabilityKey, kGameMachineVersion};
const Value kIndicators[] = {{HKEY_LOCAL_MACHINE, kCapabilityKey, kIsUserChangedCapsNumLk},
                             {HKEY_LOCAL_MACHINE, kToastKey, kShowCapslkOsd},
                             {HKEY_LOCAL_MACHINE, kOsdKey, kShowCapsNumlkOsd},
                             {HKEY_CURRENT_USER, kUserOsdKey, kShowCapsNumlkOsd},
                             {HKEY_LOCAL_MACHINE, kToastKey, kShowNumlkOsd}};

std::optional<DWORD> Read(const Value& v)
{
    DWORD data = 0, size = sizeof data;
    if (::RegGetValueW(v.root, v.key, v.name, RRF_RT_REG_DWORD, nullptr, &data, &size) != ERROR_SUCCESS) return std::nullopt;
    return data;
}

void Write(const Value& v, DWORD data)
{
    ::RegSetKeyValueW(v.root, v.key, v.name, REG_DWORD, &data, sizeof data);
}

void Behave(const std::wstring& subKey, const wchar_t* name, DWORD data)
{
    Write({HKEY_LOCAL_MACHINE, (std::wstring(firmware::kBehaviourKey) + L"\\" + subKey).c_str(), name}, data);
}

class ProductInfo : public LoggedTest {
protected:
    ProductInfo() : LoggedTest(L"product-info-log") {}
    RegistryTreeGuard m_service{kServiceKey}, m_behaviour{firmware::kBehaviourKey};
};

TEST_F(ProductInfo, FirmwareAnswersBecomeSettings)
{
    const std::wstring telrune = firmware::kTelruneClass;
    const struct Case {
        const char* name;
        std::vector<std::pair<std::wstring, std::pair<const wchar_t*, DWORD>>> behaviour; // subkey, value, data
        std::optional<DWORD> userChanged;
        LPTHREAD_START_ROUTINE thread;
        std::optional<DWORD> game, version, indicator; // expected; indicator: each of the five
        const wchar_t* record;                          // a log record expected (prefix), or null
    } cases[] = {
        {"gaming product, no user choice", {{telrune + L"\\GetProductInfo", {L"Data", 101}}}, std::nullopt,
         &_Thread_ProductInfoMonitor, 1, std::nullopt, 0, L"_Thread_ProductInfoMonitor GetRegForUserHistory:[0]"},
        {"gaming product, user chose", {{telrune + L"\\GetProductInfo", {L"Data", 100}}}, 1, &_Thread_ProductInfoMonitor, 1,
         std::nullopt, 7, L"_Thread_ProductInfoMonitor GetRegForUserHistory:[1]"},
        {"other product", {{telrune + L"\\GetProductInfo", {L"Data", 103}}}, std::nullopt, &_Thread_ProductInfoMonitor, 0,
         std::nullopt, 7, nullptr},
        {"negative version", {{telrune + L"\\GetVersion", {L"Data", static_cast<DWORD>(-5)}}}, std::nullopt,
         &_Thread_CheckProductVersion, std::nullopt, 0, 7, nullptr},
        {"first of several instances unreadable",
         {{telrune, {L"Instances", 3}}, {telrune, {L"UnreadablePathInstance", 1}}, {telrune + L"\\GetVersion", {L"Data", 9}}},
         std::nullopt, &_Thread_CheckProductVersion, std::nullopt, 9, 7, nullptr},
        {"null Data", {{telrune + L"\\GetVersion", {L"NoData", 2}}}, std::nullopt, &_Thread_CheckProductVersion,
         std::nullopt, 0, 7, nullptr},
        {"output without Data", {{telrune + L"\\GetProductInfo", {L"NoData", 1}}}, std::nullopt, &_Thread_ProductInfoMonitor,
         std::nullopt, std::nullopt, 7, L"_Thread_ProductInfoMonitor IsGameMachine Get GetProductInfoData failed Line: "},
        {"enumeration held", {{telrune, {L"Hold", 1}}}, std::nullopt, &_Thread_CheckProductVersion, std::nullopt,
         std::nullopt, 7, L"_Thread_CheckProductVersion ProductVersion Next timed out after 5000 ms"},
        {"no instance", {{telrune, {L"Instances", 0}}}, std::nullopt, &_Thread_ProductInfoMonitor, std::nullopt,
         std::nullopt, 7, L"_Thread_ProductInfoMonitor IsGameMachine Get GetProductInfoObject failed Line: "},
        {"no output object from any instance",
         {{telrune, {L"Instances", 2}}, {telrune + L"\\GetVersion", {L"ExecMethodError", 0x80041001}}}, std::nullopt,
         &_Thread_CheckProductVersion, std::nullopt, std::nullopt, 7,
         L"_Thread_CheckProductVersion  Get ProductVersion Object failed Line: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kServiceKey);
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, firmware::kBehaviourKey);
        ::RegDeleteTreeW(HKEY_CURRENT_USER, kUserOsdKey);
        ClearLog();
        for (const Value& v : kIndicators) Write(v, 7);
        ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kCapabilityKey, kIsUserChangedCapsNumLk);
        if (c.userChanged) Write(kIndicators[0], *c.userChanged);
        for (const auto& [subKey, setting] : c.behaviour) Behave(subKey, setting.first, setting.second);

        std::thread(c.thread, nullptr).join(); // a thread of its own, as in the service
        EXPECT_EQ(c.game, Read(kGame));
        EXPECT_EQ(c.version, Read(kVersionValue));
        EXPECT_EQ(c.indicator == 0u ? std::optional<DWORD>(0) : c.userChanged, Read(kIndicators[0]));
        for (size_t i = 1; i < std::size(kIndicators); ++i) {
            EXPECT_EQ(c.indicator, Read(kIndicators[i])) << Narrow(kIndicators[i].name);
        }
        if (c.record != nullptr) {
            EXPECT_TRUE(HasRecord(Messages(), c.record, true));
        }
    }
    ::RegDeleteTreeW(HKEY_CURRENT_USER, kUserOsdKey);
}

} // namespace
