#include "hardware/HidKbLed.h"

#include "log/UtilityLog.h"
#include "win/Owners.h"

#include <setupapi.h>
#include <shlwapi.h>
#include <strsafe.h>
extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}

#include <algorithm>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

namespace {

// GUID_DEVINTERFACE_HID {4D1E55B2-F16F-11CF-88CB-001111000030}
constexpr GUID kHidInterfaceClass = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
constexpr USAGE kLedUsagePage = 0xFFA0;
constexpr USAGE kLedUsage = 0x0001;
constexpr size_t kBufferChars = 260;
// How long a keyboard may take over the LED report, and then how long a cancelled write may take to end.
constexpr DWORD kWriteDeadlineMs = 1000;
constexpr DWORD kCancelGraceMs = 200;

struct PreparsedDataTraits {
    using value_type = PHIDP_PREPARSED_DATA;
    static value_type invalid() noexcept { return nullptr; }
    static bool is_valid(value_type p) noexcept { return p != nullptr; }
    static void close(value_type p) noexcept { ::HidD_FreePreparsedData(p); }
};
using win::UniqueDeviceInfoList;
using win::UniqueLocalMemory;
using UniquePreparsedData = win::UniqueResource<PreparsedDataTraits>;

// The two forms of a keyboard's subkey name.
struct NameForm {
    wchar_t separator;
    const wchar_t* vendorPrefix;
    size_t vendorDigits;
    const wchar_t* productPrefix;
    size_t productDigits;
};
constexpr NameForm kUsbForm = {L'&', L"Vid_", 4, L"Pid_", 4};
constexpr NameForm kBluetoothForm = {L'_', L"VID&", 8, L"PID&", 4};
// The Bluetooth service class of HID devices, as it leads a Bluetooth keyboard's name.
constexpr wchar_t kBluetoothPrefix[] = L"{00001124-0000-1000-8000-00805F9B34FB}_";

bool IsHexDigit(wchar_t c) { return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F'); }

// A field is its prefix and exactly the digit count of hexadecimal digits.
bool ParseIdField(const std::wstring& field, const wchar_t* prefix, size_t digits, DWORD* id)
{
    const size_t prefixLength = std::wcslen(prefix);
    if (field.size() != prefixLength + digits || _wcsnicmp(field.c_str(), prefix, prefixLength) != 0) return false;
    std::wstring number = L"0X";
    for (size_t i = prefixLength; i < field.size(); ++i) {
        if (!IsHexDigit(field[i])) return false;
        number += field[i];
    }
    int parsed = 0;
    if (!::StrToIntExW(number.c_str(), STIF_SUPPORT_HEX, &parsed)) return false;
    *id = static_cast<DWORD>(parsed);
    return true;
}

// The keyboard's LED collection behind one HID interface, opened for overlapped writes, and its
// output report length; nothing when it is another one.
win::UniqueHandle OpenLedCollection(HDEVINFO list, SP_DEVICE_INTERFACE_DATA* interfaceData, const wchar_t* vendorText,
                                    const wchar_t* productText, DWORD vendorId, DWORD productId, USHORT* outputLength)
{
    DWORD required = 0;
    if (::SetupDiGetDeviceInterfaceDetailW(list, interfaceData, nullptr, 0, &required, nullptr) ||
        ::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        WriteLog(L"CHidKBLedInterface::FindHidDeviceHandle SetupDiGetDeviceInterfaceDetail error line:%d, lasterror:%d",
                 __LINE__, ::GetLastError());
        return {};
    }
    UniqueLocalMemory buffer(::LocalAlloc(LPTR, required));
    if (!buffer) {
        WriteLog(L"CHidKBLedInterface::FindHidDeviceHandle LocalAlloc error line:%d, lasterror:%d", __LINE__,
                 ::GetLastError());
        return {};
    }
    auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.get());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!::SetupDiGetDeviceInterfaceDetailW(list, interfaceData, detail, required, nullptr, nullptr)) {
        WriteLog(L"CHidKBLedInterface::FindHidDeviceHandle SetupDiGetDeviceInterfaceDetail error line:%d, lasterror:%d",
                 __LINE__, ::GetLastError());
        return {};
    }

    wchar_t path[kBufferChars] = {};
    // A cut copy could lose the id texts; HID collection paths stay well below this length.
    if (FAILED(::StringCchCopyW(path, kBufferChars, detail->DevicePath))) return {};
    const DWORD length = static_cast<DWORD>(std::wcslen(path));
    if (::CharLowerBuffW(path, length) != length) {
        WriteLog(L"CHidKBLedInterface::FindHidDeviceHandle  Trans Path to lowcase failed");
    }
    // Only a filter: the attributes and the capabilities decide.
    if (!std::wcsstr(path, productText) || !std::wcsstr(path, vendorText)) return {};

    win::UniqueHandle device(::CreateFileW(detail->DevicePath, GENERIC_READ | GENERIC_WRITE,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                           FILE_FLAG_OVERLAPPED, nullptr));
    if (!device) return {};
    HIDD_ATTRIBUTES attributes = {};
    attributes.Size = sizeof attributes;
    if (!::HidD_GetAttributes(device.get(), &attributes)) return {};
    // A Bluetooth-form vendor field carries the id's source in its upper four digits (0002: USB-IF);
    // the device reports only the 16-bit id, which is the lower half.
    if (attributes.VendorID != (vendorId & 0xFFFF) || attributes.ProductID != productId) return {};

    UniquePreparsedData preparsed;
    if (!::HidD_GetPreparsedData(device.get(), preparsed.put())) {
        WriteLog(L"CHidKBLedInterface::FindHidDeviceHandle HidD_GetPreparsedData error line:%d, lasterror:%d", __LINE__,
                 ::GetLastError());
        return {};
    }
    HIDP_CAPS caps = {};
    if (::HidP_GetCaps(preparsed.get(), &caps) != HIDP_STATUS_SUCCESS) {
        WriteLog(L"CHidKBLedInterface::FindHidDeviceHandle HidP_GetCaps error line:%d, lasterror:%d", __LINE__,
                 ::GetLastError());
        return {};
    }
    if (caps.UsagePage != kLedUsagePage || caps.Usage != kLedUsage) return {};
    if (outputLength) *outputLength = caps.OutputReportByteLength;
    return device;
}

// One overlapped write and what the kernel uses until it ends.
struct PendingWrite {
    OVERLAPPED overlapped = {};
    win::UniqueHandle done{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::vector<BYTE> report;
};

// Writes the report within kWriteDeadlineMs; a keyboard that does not take it by then has the
// write cancelled, logged, and fails with ERROR_TIMEOUT, so a hung keyboard holds its caller
// for a bounded time only.
BOOL WriteWithDeadline(HANDLE device, std::vector<BYTE> report)
{
    auto write = std::make_unique<PendingWrite>();
    if (!write->done) return FALSE;
    write->overlapped.hEvent = write->done.get();
    write->report = std::move(report);
    DWORD written = 0;
    const DWORD size = static_cast<DWORD>(write->report.size());
    if (::WriteFile(device, write->report.data(), size, nullptr, &write->overlapped)) return TRUE;
    if (::GetLastError() != ERROR_IO_PENDING) return FALSE;
    if (::WaitForSingleObject(write->done.get(), kWriteDeadlineMs) == WAIT_OBJECT_0) {
        return ::GetOverlappedResult(device, &write->overlapped, &written, FALSE);
    }
    ::CancelIoEx(device, &write->overlapped);
    WriteLog(L"CHidKBLedInterface::SetHidKBLedStatus write not taken within %d ms, cancelled line:%d", kWriteDeadlineMs,
             __LINE__);
    // The kernel may still write the block until the write ends; one that not even the cancel
    // ends keeps its block for good rather than have it freed under the kernel.
    if (::WaitForSingleObject(write->done.get(), kCancelGraceMs) != WAIT_OBJECT_0) write.release();
    ::SetLastError(ERROR_TIMEOUT);
    return FALSE;
}

} // namespace

BOOL DeviceIdString2Number(const wchar_t* name, DWORD* vendorId, DWORD* productId)
{
    if (!name || !vendorId || !productId) return FALSE;
    std::vector<wchar_t> buffer(kBufferChars);
    if (FAILED(::StringCchCopyW(buffer.data(), buffer.size(), name))) return FALSE;

    const size_t prefixLength = std::wcslen(kBluetoothPrefix);
    const bool bluetooth = _wcsnicmp(buffer.data(), kBluetoothPrefix, prefixLength) == 0;
    const NameForm& form = bluetooth ? kBluetoothForm : kUsbForm;
    const std::wstring text(buffer.data() + (bluetooth ? prefixLength : 0));

    const size_t separator = text.find(form.separator);
    if (separator == std::wstring::npos) return FALSE;
    const std::wstring vendorField = text.substr(0, separator);
    std::wstring productField = text.substr(separator + 1);
    const size_t productLength = std::wcslen(form.productPrefix) + form.productDigits;
    // What follows the product digits (an interface suffix, for example) is not part of the id.
    if (productField.size() < productLength) return FALSE;
    productField.resize(productLength);

    DWORD vendor = 0, product = 0;
    if (!ParseIdField(vendorField, form.vendorPrefix, form.vendorDigits, &vendor) ||
        !ParseIdField(productField, form.productPrefix, form.productDigits, &product)) {
        return FALSE;
    }
    *vendorId = vendor;
    *productId = product;
    return TRUE;
}

BOOL CHidKBLedInterface::FindHidDeviceHandle(DWORD vendorId, DWORD productId, HANDLE* handle, USHORT* outputLength)
{
    if (!handle) return FALSE;
    wchar_t productText[kBufferChars] = {}, vendorText[kBufferChars] = {};
    ::StringCchPrintfW(productText, kBufferChars, L"%x", productId);
    ::StringCchPrintfW(vendorText, kBufferChars, L"%x", vendorId);

    const DWORD flags = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE;
    UniqueDeviceInfoList list(::SetupDiGetClassDevsW(&kHidInterfaceClass, nullptr, nullptr, flags));
    if (!list) {
        WriteLog(L"CHidKBLedInterface::FindHidDeviceHandle SetupDiGetClassDevs error line:%d, lasterror:%d", __LINE__,
                 ::GetLastError());
        return FALSE;
    }
    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA interfaceData = {};
        interfaceData.cbSize = sizeof interfaceData;
        if (!::SetupDiEnumDeviceInterfaces(list.get(), nullptr, &kHidInterfaceClass, index, &interfaceData)) {
            return FALSE;
        }
        win::UniqueHandle device =
            OpenLedCollection(list.get(), &interfaceData, vendorText, productText, vendorId, productId, outputLength);
        if (device) {
            *handle = device.release();
            return TRUE;
        }
    }
}

BOOL CHidKBLedInterface::SetHidKBLedStatus(DWORD vendorId, DWORD productId, BOOL flag)
{
    HANDLE found = nullptr;
    USHORT outputLength = 0;
    if (!FindHidDeviceHandle(vendorId, productId, &found, &outputLength)) {
        WriteLog(L"CHidKBLedInterface::FindHidDeviceHandle vid:%d, pid:%d warnning line:%d", vendorId, productId,
                 __LINE__);
        return FALSE;
    }
    const win::UniqueHandle device(found);
    // Padded to the collection's output report length: a keyboard may refuse a shorter report.
    std::vector<BYTE> report(std::max<size_t>(3, outputLength), 0);
    report[0] = 0x09;
    report[1] = 0x74;
    report[2] = static_cast<BYTE>(flag ? 0x01 : 0x02);
    if (!WriteWithDeadline(device.get(), std::move(report))) {
        WriteLog(L"CHidKBLedInterface::SetHidKBLedStatus HidD_SetFeature error line%d, last error:%d", __LINE__,
                 ::GetLastError());
        return FALSE;
    }
    return TRUE;
}

BOOL CMicMuteStatusGuard::WriteStatusToHIDKeyboard(bool mute, const std::vector<std::wstring>& keyboards)
{
    BOOL anyWritten = FALSE;
    for (const std::wstring& name : keyboards) {
        wchar_t copy[kBufferChars] = {};
        if (FAILED(::StringCchCopyW(copy, kBufferChars, name.c_str()))) {
            WriteLog(L" CMicMuteStatusGuard.WriteStatusToHIDKeyboard StringCchCopy line:%d, lasterror:%d", __LINE__,
                     ::GetLastError());
            continue;
        }
        DWORD vendorId = 0, productId = 0;
        if (!DeviceIdString2Number(copy, &vendorId, &productId)) {
            WriteLog(L" CMicMuteStatusGuard.WriteStatusToHIDKeyboard DeviceIdString2Number line:%d, lasterror:%d",
                     __LINE__, ::GetLastError());
            continue;
        }
        if (CHidKBLedInterface::SetHidKBLedStatus(vendorId, productId, mute ? FALSE : TRUE)) {
            WriteLog(L" CMicMuteStatusGuard.WriteStatusToHIDKeyboard SetHidKBLedStatus line:%d success, VID&PID:%s",
                     __LINE__, copy);
            anyWritten = TRUE;
        } else {
            WriteLog(
                L" CMicMuteStatusGuard.WriteStatusToHIDKeyboard SetHidKBLedStatus line:%d, lasterror:%d, VID&PID:%s",
                __LINE__, ::GetLastError(), copy);
        }
    }
    return anyWritten;
}
