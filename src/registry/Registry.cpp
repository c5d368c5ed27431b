#include "registry/Registry.h"

#include "log/UtilityLog.h"
#include "registry/RegistryKeys.h"

#include <cstring>

namespace {

// The registry reports through its return value; the callers log the last-error value.
BOOL FailWith(LONG status)
{
    ::SetLastError(static_cast<DWORD>(status));
    return FALSE;
}

} // namespace

BOOL ZRegistry::CreateKey(const wchar_t* subKey)
{
    m_key.reset();
    LONG status = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                                    nullptr, m_key.put(), nullptr);
    if (status == ERROR_SUCCESS) return TRUE;
    status = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, nullptr, 0, KEY_QUERY_VALUE, nullptr, m_key.put(),
                               nullptr);
    if (status == ERROR_SUCCESS) return TRUE;
    return FailWith(status);
}

LONG QueryToastRegValue(const wchar_t* name, void* data, DWORD* size)
{
    if (name == nullptr || data == nullptr || size == nullptr) return ERROR_INVALID_PARAMETER;
    std::memset(data, 0, *size);
    win::UniqueRegKey key;
    const LONG status = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, regkeys::kToastKey, 0, KEY_QUERY_VALUE, key.put());
    if (status != ERROR_SUCCESS) return status;
    return ::RegQueryValueExW(key.get(), name, nullptr, nullptr, static_cast<BYTE*>(data), size);
}

BOOL OpenOrCreateRegKey(HKEY root, const wchar_t* subKey)
{
    win::UniqueRegKey key;
    if (::RegOpenKeyExW(root, subKey, 0, KEY_READ, key.put()) == ERROR_SUCCESS) return TRUE;
    const LONG status = ::RegCreateKeyExW(root, subKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr);
    if (status == ERROR_SUCCESS) return TRUE;
    return FailWith(status);
}

BOOL SetRegDwordValue(HKEY root, const wchar_t* subKey, const wchar_t* name, DWORD value)
{
    win::UniqueRegKey key;
    LONG status = ::RegOpenKeyExW(root, subKey, 0, KEY_READ | KEY_WRITE, key.put());
    if (status != ERROR_SUCCESS) return FailWith(status);
    status = ::RegSetValueExW(key.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    if (status != ERROR_SUCCESS) return FailWith(status);
    return TRUE;
}

BOOL ReadRegDwordValue(const wchar_t* subKey, const wchar_t* name, DWORD* value)
{
    win::UniqueRegKey key;
    LONG status = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, KEY_QUERY_VALUE, key.put());
    if (status != ERROR_SUCCESS) return FailWith(status);
    DWORD size = sizeof(DWORD);
    status = ::RegQueryValueExW(key.get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size);
    if (status != ERROR_SUCCESS) return FailWith(status);
    return TRUE;
}

std::mutex& SettingsWriteLock()
{
    static std::mutex lock;
    return lock;
}

BOOL TrySetRegKeyValueInt(HKEY root, const wchar_t* subKey, const wchar_t* name, DWORD value)
{
    std::lock_guard<std::mutex> guard(SettingsWriteLock());
    if (SetRegDwordValue(root, subKey, name, value)) return TRUE;
    if (!OpenOrCreateRegKey(root, subKey)) return FALSE;
    return SetRegDwordValue(root, subKey, name, value);
}

BOOL DeleteRegKeyTree(HKEY root, const wchar_t* subKey)
{
    if (::RegDeleteKeyW(root, subKey) == ERROR_SUCCESS) return TRUE;

    win::UniqueRegKey key;
    const LONG status = ::RegOpenKeyExW(root, subKey, 0, KEY_READ, key.put());
    if (status != ERROR_SUCCESS) {
        if (status == ERROR_FILE_NOT_FOUND) return TRUE;
        return FailWith(status);
    }
    // Index 0 every time: each successful pass removes the child it found. At most one pass per
    // child counted now: a child reported deleted that is still there (a link to a missing key)
    // or a tree that someone keeps adding to would otherwise hold this loop for ever.
    DWORD children = 0;
    ::RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &children, nullptr, nullptr, nullptr, nullptr, nullptr,
                       nullptr, nullptr);
    for (DWORD pass = 0; pass < children; ++pass) {
        wchar_t name[260] = {};
        DWORD length = 260;
        if (::RegEnumKeyExW(key.get(), 0, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        const std::wstring child = std::wstring(subKey) + L"\\" + name;
        if (!DeleteRegKeyTree(root, child.c_str())) break;
    }
    key.reset();
    const LONG deleted = ::RegDeleteKeyW(root, subKey);
    if (deleted != ERROR_SUCCESS) return FailWith(deleted);
    return TRUE;
}

std::vector<std::wstring> GetSubKeys(HKEY key)
{
    std::vector<std::wstring> names;
    wchar_t className[260] = {};
    DWORD classLength = 260;
    DWORD count = 0;
    if (::RegQueryInfoKeyW(key, className, &classLength, nullptr, &count, nullptr, nullptr, nullptr, nullptr, nullptr,
                           nullptr, nullptr) != ERROR_SUCCESS ||
        count == 0) {
        return names;
    }
    WriteLog(L"\nNumber of subkeys: %d", count);
    for (DWORD index = 0; index < count; ++index) {
        wchar_t name[260] = {};
        DWORD length = 255;
        if (::RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
            names.emplace_back(name, length);
        }
    }
    return names;
}
