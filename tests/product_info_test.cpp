// The product information: the values that the firmware client reads from the stand-in registered in the
// prefix, each in a thread of its own as in the service, and the settings that the service makes of them.
#include "FirmwareStandIn.h"
#include "hardware/QvkWmi.h"
#include "service/ProductInfoSettings.h"
#include "support/RegistryTestSupport.h"

#include <thread>

using namespace testsupport;
using namespace regkeys;

namespace {

struct ProductInfo : LoggedTest {
    ~ProductInfo() override { ::RegDeleteTreeW(HKEY_CURRENT_USER, kUserOsdKey); }
    RegistryTreeGuard m_service{kServiceKey};
    RegistryTreeGuard m_behaviour{firmware::kBehaviourKey};
};

} // namespace

// The method's "Data" from the first instance that answers; a failed sequence gives nothing.
TEST_F(ProductInfo, FirmwareClientReadsTheValueOfTheFirstAnsweringInstance)
{
    using namespace firmware;
    const std::wstring telrune = kTelruneClass;
    const std::wstring type = telrune + L"\\GetProductInfo";
    const std::wstring version = telrune + L"\\GetVersion";
    struct Case {
        const char* what;
        std::vector<std::tuple<std::wstring, const wchar_t*, DWORD>> behaviours;  // under the behaviour key
        ProductValue value;
        std::optional<LONG> read;
    };
    const Case cases[] = {
        {"first of three instances unreadable",
         {{telrune, kInstances, 3}, {telrune, kUnreadablePathInstance, 1}, {version, kData, 9}},
         ProductValue::Version, 9},
        {"null Data", {{version, kNoData, 2}}, ProductValue::Version, 0},
        {"output without Data", {{type, kNoData, 1}}, ProductValue::ProductType, std::nullopt},
        {"enumeration held", {{telrune, kHold, 1}}, ProductValue::Version, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RegistryTreeGuard::Delete(kBehaviourKey);
        for (const auto& [subKey, name, data] : c.behaviours) {
            ASSERT_TRUE(WriteDword(HKEY_LOCAL_MACHINE, kBehaviourKey + (L"\\" + subKey), name, data));
        }
        std::optional<LONG> read;
        std::thread([&] { read = CQvkWmi::ReadProductValue(c.value); }).join();
        EXPECT_EQ(c.read, read);
    }
}

// The gaming-product rule: "IsGameMachine" for every type; the four indicators (one in the service's own
// HKEY_CURRENT_USER) and the user's choice set to 0 on a gaming product whose user never chose.
TEST_F(ProductInfo, ProductTypeDecidesTheIndicatorDefaults)
{
    const struct Indicator { HKEY root; const wchar_t* key; const wchar_t* name; } indicators[] = {
        {HKEY_LOCAL_MACHINE, kToastKey, kShowCapslkOsd},
        {HKEY_LOCAL_MACHINE, kOsdKey, kShowCapsNumlkOsd},
        {HKEY_CURRENT_USER, kUserOsdKey, kShowCapsNumlkOsd},
        {HKEY_LOCAL_MACHINE, kToastKey, kShowNumlkOsd},
    };
    const struct Case {
        LONG type;
        std::optional<DWORD> userChangedBefore;
        DWORD gameMachine;
        std::optional<DWORD> userChangedAfter;
        DWORD indicators;
    } cases[] = {
        {102, 0, 1, 0, 0},
        {100, 1, 1, 1, 7},
        {103, 1, 0, 1, 7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        RegistryTreeGuard::Delete(kServiceKey);
        for (const Indicator& indicator : indicators) WriteDword(indicator.root, indicator.key, indicator.name, 7);
        if (c.userChangedBefore) {
            WriteDword(HKEY_LOCAL_MACHINE, kCapabilityKey, kIsUserChangedCapsNumLk, *c.userChangedBefore);
        }
        RecordProductType(c.type);
        EXPECT_EQ(c.gameMachine, ReadDword(HKEY_LOCAL_MACHINE, kCapabilityKey, kIsGameMachine));
        EXPECT_EQ(c.userChangedAfter, ReadDword(HKEY_LOCAL_MACHINE, kCapabilityKey, kIsUserChangedCapsNumLk));
        for (const Indicator& indicator : indicators) {
            EXPECT_EQ(c.indicators, ReadDword(indicator.root, indicator.key, indicator.name)) << Narrow(indicator.key);
        }
    }
}
