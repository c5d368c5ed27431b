// The product information: the values that the firmware client reads from the stand-in registered in the
// prefix, each in a thread of its own as in the service, and the settings that the service makes of them.
#include "FirmwareStandIn.h"
#include "hardware/QvkWmi.h"
#include "registry/RegistryKeys.h"
#include "service/ProductInfoSettings.h"
#include "support/RegistryTestSupport.h"

#include <optional>
#include <thread>

using namespace testsupport;
using namespace regkeys;
using regtest::RecordsMatch;

namespace {

struct Value {
    HKEY root;
    const wchar_t* key;
    const wchar_t* name;
};
const Value kGameMachine{HKEY_LOCAL_MACHINE, kCapabilityKey, kIsGameMachine};
const Value kUserChanged{HKEY_LOCAL_MACHINE, kCapabilityKey, kIsUserChangedCapsNumLk};
const Value kIndicators[] = {{HKEY_LOCAL_MACHINE, kToastKey, kShowCapslkOsd},
                             {HKEY_LOCAL_MACHINE, kOsdKey, kShowCapsNumlkOsd},
                             {HKEY_CURRENT_USER, kUserOsdKey, kShowCapsNumlkOsd},
                             {HKEY_LOCAL_MACHINE, kToastKey, kShowNumlkOsd}};

std::optional<DWORD> Read(const Value& value)
{
    return ReadDword(value.root, value.key, value.name);
}

void Write(const Value& value, DWORD data)
{
    ASSERT_EQ(ERROR_SUCCESS, ::RegSetKeyValueW(value.root, value.key, value.name, REG_DWORD, &data, sizeof data));
}

class ProductInfo : public LoggedTest {
protected:
    ProductInfo() : LoggedTest(L"product-info-log") {}
    ~ProductInfo() override { ::RegDeleteTreeW(HKEY_CURRENT_USER, kUserOsdKey); }
    RegistryTreeGuard m_service{kServiceKey};
    RegistryTreeGuard m_behaviour{firmware::kBehaviourKey};
};

} // namespace

// The method's "Data" from the first instance that answers; a failed sequence gives nothing, logged in its texts.
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
        std::vector<std::wstring> records;
    };
    const Case cases[] = {
        {"first of three instances unreadable",
         {{telrune, kInstances, 3}, {telrune, kUnreadablePathInstance, 1}, {version, kData, 9}},
         ProductValue::Version, 9, {}},
        {"null Data", {{version, kNoData, 2}}, ProductValue::Version, 0, {}},
        {"output without Data", {{type, kNoData, 1}}, ProductValue::ProductType, std::nullopt,
         {L"_Thread_ProductInfoMonitor IsGameMachine Get GetProductInfoData failed Line: %d  GetLastError: %d"}},
        {"enumeration held", {{telrune, kHold, 1}}, ProductValue::Version, std::nullopt,
         {L"_Thread_CheckProductVersion ProductVersion Next timed out after 5000 ms",
          L"_Thread_CheckProductVersion  Get ProductVersion Object failed Line: %d  GetLastError: %d"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RegistryTreeGuard behaviour(kBehaviourKey);
        for (const auto& [subKey, name, data] : c.behaviours) {
            Write({HKEY_LOCAL_MACHINE, (std::wstring(kBehaviourKey) + L"\\" + subKey).c_str(), name}, data);
        }
        ClearLog();
        std::optional<LONG> read;
        std::thread([&] { read = CQvkWmi::ReadProductValue(c.value); }).join();
        EXPECT_EQ(c.read, read);
        EXPECT_TRUE(RecordsMatch(Messages(), c.records));
    }
}

// The gaming-product rule: "IsGameMachine" for every type; the four indicators and the user's
// choice set to 0 on a gaming product whose user never chose. The capability key starts deleted.
TEST_F(ProductInfo, ProductTypeDecidesTheIndicatorDefaults)
{
    struct Case {
        LONG type;
        std::optional<DWORD> userChangedBefore;
        DWORD gameMachine;
        std::optional<DWORD> userChangedAfter;
        DWORD indicators;
    };
    const Case cases[] = {
        {101, std::nullopt, 1, 0, 0},
        {102, 0, 1, 0, 0},
        {100, 1, 1, 1, 7},
        {103, 1, 0, 1, 7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        RegistryTreeGuard::Delete(kServiceKey);
        for (const Value& indicator : kIndicators) Write(indicator, 7);
        ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kCapabilityKey, kIsUserChangedCapsNumLk);
        if (c.userChangedBefore) Write(kUserChanged, *c.userChangedBefore);
        RecordProductType(c.type);
        EXPECT_EQ(c.gameMachine, Read(kGameMachine));
        EXPECT_EQ(c.userChangedAfter, Read(kUserChanged));
        for (const Value& indicator : kIndicators) EXPECT_EQ(c.indicators, Read(indicator)) << Narrow(indicator.name);
    }
}
