// The keyboard stand-in in the test prefix, reached the way the service reaches it (SetupAPI's HID
// interfaces, CreateFileW, HidD_GetAttributes, HidP_GetCaps, WriteFile): its collections, its records.
#include "KeyboardStandIn.h"

#include <gtest/gtest.h>
#include <array>
extern "C" {
#include <hidsdi.h>  // lacks its own C linkage block
}

// Usage page, usage and output report length of every HID collection of the prefix whose
// attributes carry the ids, in enumeration order; their paths too when asked.
static std::vector<std::array<int, 3>> Collections(USHORT vendor, USHORT product, std::vector<std::wstring>* paths = nullptr)
{
    std::vector<std::array<int, 3>> found;
    for (const std::wstring& path : kbdstandin::HidInterfaces()) {
        HANDLE device = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING, 0, nullptr);
        HIDD_ATTRIBUTES attributes = {sizeof(attributes), 0, 0, 0};
        PHIDP_PREPARSED_DATA preparsed = nullptr;
        HIDP_CAPS caps = {};
        if (::HidD_GetAttributes(device, &attributes) && attributes.VendorID == vendor && attributes.ProductID == product &&
            ::HidD_GetPreparsedData(device, &preparsed) && ::HidP_GetCaps(preparsed, &caps) == HIDP_STATUS_SUCCESS) {
            found.push_back({caps.UsagePage, caps.Usage, caps.OutputReportByteLength});
            if (paths) paths->push_back(path);
        }
        if (preparsed) ::HidD_FreePreparsedData(preparsed);
        ::CloseHandle(device);
    }
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
        std::vector<std::wstring> paths;
        ASSERT_EQ((std::vector<std::array<int, 3>>{{0x0001, 0x0006, 2}, {0xFFA0, 0x0001, 3}}), Collections(0x7A7A, c.product, &paths));
        HANDLE vendorCollection = ::CreateFileW(paths[1].c_str(), GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING, 0, nullptr);
        const unsigned char report[3] = {0x09, 0x74, c.state};
        DWORD written = 0;
        EXPECT_TRUE(::WriteFile(vendorCollection, report, 3, &written, nullptr));
        ::CloseHandle(vendorCollection);
    }
    for (const Case& c : cases) {  // records survive the detach
        EXPECT_EQ((std::vector<std::vector<unsigned char>>{{0x09, 0x74, c.state}}), kbdstandin::ReadReports(0x7A7A, c.product));
        ASSERT_EQ(0u, kbdstandin::DetachKeyboard(0x7A7A, c.product));
        EXPECT_TRUE(Collections(0x7A7A, c.product).empty());
    }
}
