// The keyboard stand-in in the test prefix, reached the way the service reaches it (SetupAPI,
// CreateFileW, HidD_GetAttributes, HidP_GetCaps, WriteFile): its collections, its records.
#include "KeyboardStandIn.h"

#include <gtest/gtest.h>
#include <initguid.h>
#include <hidclass.h>
#include <setupapi.h>
extern "C" {
#include <hidsdi.h>  // lacks its own C linkage block
}

namespace {

struct Collection {
    USHORT page, usage, outputLength;
    std::wstring path;
    bool operator==(const Collection& o) const { return page == o.page && usage == o.usage && outputLength == o.outputLength; }
};

// Every HID collection of the prefix whose attributes carry the ids, in enumeration order.
std::vector<Collection> Collections(USHORT vendor, USHORT product)
{
    std::vector<Collection> found;
    HDEVINFO set = ::SetupDiGetClassDevsW(&GUID_DEVINTERFACE_HID, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof(data);
    for (DWORD i = 0; ::SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_HID, i, &data); ++i) {
        union { SP_DEVICE_INTERFACE_DETAIL_DATA_W detail; wchar_t space[600]; } buffer;
        buffer.detail.cbSize = sizeof(buffer.detail);
        ::SetupDiGetDeviceInterfaceDetailW(set, &data, &buffer.detail, sizeof(buffer), nullptr, nullptr);
        HANDLE device = ::CreateFileW(buffer.detail.DevicePath, GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING, 0, nullptr);
        HIDD_ATTRIBUTES attributes = {};
        attributes.Size = sizeof(attributes);
        PHIDP_PREPARSED_DATA preparsed = nullptr;
        HIDP_CAPS caps = {};
        if (::HidD_GetAttributes(device, &attributes) && attributes.VendorID == vendor && attributes.ProductID == product &&
            ::HidD_GetPreparsedData(device, &preparsed) && ::HidP_GetCaps(preparsed, &caps) == HIDP_STATUS_SUCCESS)
            found.push_back({caps.UsagePage, caps.Usage, caps.OutputReportByteLength, buffer.detail.DevicePath});
        if (preparsed) ::HidD_FreePreparsedData(preparsed);
        ::CloseHandle(device);
    }
    ::SetupDiDestroyDeviceInfoList(set);
    return found;
}

TEST(KeyboardStandIn, EachKeyboardRecordsItsOwnReportAndLeavesTheListWhenDetached)
{
    // A look-alike whose path also contains the text "101" is attached beside the keyboard.
    struct Case { USHORT product; unsigned char state; } const cases[] = {{0x0101, 0x02}, {0x1010, 0x01}};
    struct Detacher { ~Detacher() { for (USHORT p : {0x0101, 0x1010}) kbdstandin::DetachKeyboard(0x7A7A, p); } } detacher;
    for (const Case& c : cases) ASSERT_EQ(0u, kbdstandin::AttachKeyboard(0x7A7A, c.product, FN_TEST_KEYBOARD_DRIVER));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.product);
        const auto found = Collections(0x7A7A, c.product);
        ASSERT_EQ((std::vector<Collection>{{0x0001, 0x0006, 2, L""}, {0xFFA0, 0x0001, 3, L""}}), found);
        HANDLE vendorCollection = ::CreateFileW(found[1].path.c_str(), GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING, 0, nullptr);
        const unsigned char report[3] = {0x09, 0x74, c.state};
        DWORD written = 0;
        EXPECT_TRUE(::WriteFile(vendorCollection, report, 3, &written, nullptr));
        ::CloseHandle(vendorCollection);
    }
    for (const Case& c : cases) {
        EXPECT_EQ((std::vector<std::vector<unsigned char>>{{0x09, 0x74, c.state}}), kbdstandin::ReadReports(0x7A7A, c.product));
        ASSERT_EQ(0u, kbdstandin::DetachKeyboard(0x7A7A, c.product));
        EXPECT_TRUE(Collections(0x7A7A, c.product).empty());
    }
}

}  // namespace
