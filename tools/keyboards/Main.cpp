// fn_keyboards: attaches, detaches and lists the stand-in HID keyboards of the running prefix
// and prints the output reports each one received. The driver file is taken from beside this
// program.
#include "KeyboardStandIn.h"

#include "log/ConsolePrint.h"
#include "win/Owners.h"

extern "C" {
#include <hidsdi.h>  // lacks its own C linkage block
}
#include <cwchar>

namespace {

int Usage()
{
    ConsolePrint(L"usage: fn_keyboards attach|detach|reports|hold|unhold <vid> <pid>  (hexadecimal ids)\n"
                 L"       hold: the keyboard leaves its output-report writes pending until detached;\n"
                 L"       unhold: new writes go through again\n"
                 L"       fn_keyboards list\n");
    return 2;
}

int Result(const wchar_t* step, DWORD error)
{
    if (error) ConsolePrint(L"fn_keyboards: %s failed: error %u\n", step, error);
    return error ? 1 : 0;
}

// Every HID collection of the prefix: path, ids, usage page, usage, output report length.
int List()
{
    for (const std::wstring& path : kbdstandin::HidInterfaces()) {
        win::UniqueHandle device(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
        HIDD_ATTRIBUTES attributes = {};
        attributes.Size = sizeof(attributes);
        PHIDP_PREPARSED_DATA preparsed = nullptr;
        HIDP_CAPS caps = {};
        if (device && ::HidD_GetAttributes(device.get(), &attributes) &&
            ::HidD_GetPreparsedData(device.get(), &preparsed)) {
            ::HidP_GetCaps(preparsed, &caps);
            ::HidD_FreePreparsedData(preparsed);
        }
        ConsolePrint(L"%s vid %04X pid %04X usage %04X/%04X output %u\n", path.c_str(), attributes.VendorID,
                     attributes.ProductID, caps.UsagePage, caps.Usage, caps.OutputReportByteLength);
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 2 && !_wcsicmp(argv[1], L"list")) return List();
    if (argc != 4) return Usage();
    const unsigned vendor = wcstoul(argv[2], nullptr, 16), product = wcstoul(argv[3], nullptr, 16);
    if (!_wcsicmp(argv[1], L"attach")) {
        wchar_t driver[MAX_PATH];
        const DWORD length = ::GetModuleFileNameW(nullptr, driver, MAX_PATH);
        std::wstring path(driver, length);
        path = path.substr(0, path.find_last_of(L'\\') + 1) + FN_KBD_DRIVER_FILE;
        return Result(L"attach", kbdstandin::AttachKeyboard(vendor, product, path));
    }
    if (!_wcsicmp(argv[1], L"detach")) return Result(L"detach", kbdstandin::DetachKeyboard(vendor, product));
    if (!_wcsicmp(argv[1], L"hold")) return Result(L"hold", kbdstandin::HoldWrites(vendor, product, true));
    if (!_wcsicmp(argv[1], L"unhold")) return Result(L"unhold", kbdstandin::HoldWrites(vendor, product, false));
    if (!_wcsicmp(argv[1], L"reports")) {
        for (const auto& report : kbdstandin::ReadReports(vendor, product)) {
            std::wstring line;
            for (unsigned char byte : report) {
                wchar_t hex[4];
                _snwprintf(hex, 4, L"%02X ", byte);
                line += hex;
            }
            if (!line.empty()) line.back() = L'\n';
            ConsolePrint(L"%s", line.c_str());
        }
        return 0;
    }
    return Usage();
}
