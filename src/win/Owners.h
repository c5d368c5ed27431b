// Small owners for the system resources the service obtains. Each releases its resource
// exactly once, on every path, and can be moved but not copied.
//
// Every release keeps the thread's last error: failure lines are often written after a scope
// has closed its key or handle, and they must carry the code of the failure they report,
// not that of the close.
#pragma once

#include <windows.h>
#include <oleauto.h>
#include <bcrypt.h>
#include <userenv.h>
#include <wtsapi32.h>
#include <setupapi.h>
#include <utility>

namespace win {

// Runs a release without letting it change the thread's last error.
template <typename Release>
void ReleaseKeepingLastError(Release&& release) noexcept
{
    const DWORD lastError = ::GetLastError();
    release();
    ::SetLastError(lastError);
}

template <typename Traits>
class UniqueResource {
public:
    using value_type = typename Traits::value_type;

    UniqueResource() noexcept : m_value(Traits::invalid()) {}
    explicit UniqueResource(value_type value) noexcept : m_value(value) {}
    ~UniqueResource() { reset(); }

    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    UniqueResource(UniqueResource&& other) noexcept : m_value(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept
    {
        if (this != &other) reset(other.release());
        return *this;
    }

    value_type get() const noexcept { return m_value; }
    explicit operator bool() const noexcept { return Traits::is_valid(m_value); }

    value_type release() noexcept
    {
        value_type value = m_value;
        m_value = Traits::invalid();
        return value;
    }

    void reset(value_type value = Traits::invalid()) noexcept
    {
        if (Traits::is_valid(m_value)) {
            const value_type old = m_value;
            ReleaseKeepingLastError([old] { Traits::close(old); });
        }
        m_value = value;
    }

    // For out-parameters: releases what is held and hands out the slot to fill.
    value_type* put() noexcept
    {
        reset();
        return &m_value;
    }

private:
    value_type m_value;
};

// Kernel handles: both null and INVALID_HANDLE_VALUE mean "nothing", because the API
// uses one or the other depending on the call.
struct HandleTraits {
    using value_type = HANDLE;
    static value_type invalid() noexcept { return nullptr; }
    static bool is_valid(value_type h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void close(value_type h) noexcept { ::CloseHandle(h); }
};

struct RegKeyTraits {
    using value_type = HKEY;
    static value_type invalid() noexcept { return nullptr; }
    static bool is_valid(value_type h) noexcept { return h != nullptr; }
    static void close(value_type h) noexcept { ::RegCloseKey(h); }
};

struct ServiceHandleTraits {
    using value_type = SC_HANDLE;
    static value_type invalid() noexcept { return nullptr; }
    static bool is_valid(value_type h) noexcept { return h != nullptr; }
    static void close(value_type h) noexcept { ::CloseServiceHandle(h); }
};

struct LibraryTraits {
    using value_type = HMODULE;
    static value_type invalid() noexcept { return nullptr; }
    static bool is_valid(value_type h) noexcept { return h != nullptr; }
    static void close(value_type h) noexcept { ::FreeLibrary(h); }
};

struct EnvironmentBlockTraits {
    using value_type = LPVOID;
    static value_type invalid() noexcept { return nullptr; }
    static bool is_valid(value_type p) noexcept { return p != nullptr; }
    static void close(value_type p) noexcept { ::DestroyEnvironmentBlock(p); }
};

struct BstrTraits {
    using value_type = BSTR;
    static value_type invalid() noexcept { return nullptr; }
    static bool is_valid(value_type s) noexcept { return s != nullptr; }
    static void close(value_type s) noexcept { ::SysFreeString(s); }
};

// FindFirstFileW gives INVALID_HANDLE_VALUE on failure and is closed with FindClose.
struct FindHandleTraits {
    using value_type = HANDLE;
    static value_type invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static bool is_valid(value_type h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void close(value_type h) noexcept { ::FindClose(h); }
};

struct ThreadpoolWorkTraits {
    using value_type = PTP_WORK;
    static value_type invalid() noexcept { return nullptr; }
    static bool is_valid(value_type w) noexcept { return w != nullptr; }
    static void close(value_type w) noexcept { ::CloseThreadpoolWork(w); }
};

// Buffers that the terminal services hand out.
struct WtsMemoryTraits {
    using value_type = void*;
    static value_type invalid() noexcept { return nullptr; }
    static bool is_valid(value_type p) noexcept { return p != nullptr; }
    static void close(value_type p) noexcept { ::WTSFreeMemory(p); }
};

// SetupAPI device information lists.
struct DeviceInfoListTraits {
    using value_type = HDEVINFO;
    static value_type invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static bool is_valid(value_type h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void close(value_type h) noexcept { ::SetupDiDestroyDeviceInfoList(h); }
};

// Blocks of LocalAlloc.
struct LocalMemoryTraits {
    using value_type = HLOCAL;
    static value_type invalid() noexcept { return nullptr; }
    static bool is_valid(value_type p) noexcept { return p != nullptr; }
    static void close(value_type p) noexcept { ::LocalFree(p); }
};

using UniqueHandle = UniqueResource<HandleTraits>;
using UniqueDeviceInfoList = UniqueResource<DeviceInfoListTraits>;
using UniqueLocalMemory = UniqueResource<LocalMemoryTraits>;
using UniqueFindHandle = UniqueResource<FindHandleTraits>;
using UniqueThreadpoolWork = UniqueResource<ThreadpoolWorkTraits>;
using UniqueWtsMemory = UniqueResource<WtsMemoryTraits>;
using UniqueRegKey = UniqueResource<RegKeyTraits>;
using UniqueServiceHandle = UniqueResource<ServiceHandleTraits>;
using UniqueLibrary = UniqueResource<LibraryTraits>;
using UniqueEnvironmentBlock = UniqueResource<EnvironmentBlockTraits>;
using UniqueBstr = UniqueResource<BstrTraits>;
// Tokens and Tool Help snapshots are kernel handles.
using UniqueToken = UniqueHandle;
using UniqueSnapshot = UniqueHandle;

// A VARIANT that is cleared when it goes out of scope.
class UniqueVariant {
public:
    UniqueVariant() noexcept { ::VariantInit(&m_value); }
    ~UniqueVariant() { Clear(); }
    UniqueVariant(const UniqueVariant&) = delete;
    UniqueVariant& operator=(const UniqueVariant&) = delete;

    VARIANT* get() noexcept { return &m_value; }
    const VARIANT* get() const noexcept { return &m_value; }
    VARIANT* put() noexcept
    {
        Clear();
        return &m_value;
    }

private:
    void Clear() noexcept
    {
        ReleaseKeepingLastError([this] { ::VariantClear(&m_value); });
    }

    VARIANT m_value;
};

// Both handles that process creation hands back, closed together.
class UniqueProcessInformation {
public:
    UniqueProcessInformation() noexcept = default;
    ~UniqueProcessInformation() { reset(); }
    UniqueProcessInformation(const UniqueProcessInformation&) = delete;
    UniqueProcessInformation& operator=(const UniqueProcessInformation&) = delete;

    const PROCESS_INFORMATION& get() const noexcept { return m_value; }
    // For the creation call to fill.
    PROCESS_INFORMATION* put() noexcept
    {
        reset();
        return &m_value;
    }
    void reset() noexcept
    {
        UniqueHandle process(m_value.hProcess), thread(m_value.hThread);
        m_value = {};
    }

private:
    PROCESS_INFORMATION m_value = {};
};

// A COM interface pointer that is released when it goes out of scope.
template <typename T>
class ComPtr {
public:
    ComPtr() noexcept = default;
    ~ComPtr() { reset(); }
    ComPtr(const ComPtr& other) noexcept : m_ptr(other.m_ptr)
    {
        if (m_ptr) m_ptr->AddRef();
    }
    ComPtr& operator=(const ComPtr& other) noexcept
    {
        if (this != &other) {
            if (other.m_ptr) other.m_ptr->AddRef();
            reset();
            m_ptr = other.m_ptr;
        }
        return *this;
    }
    ComPtr(ComPtr&& other) noexcept : m_ptr(std::exchange(other.m_ptr, nullptr)) {}
    ComPtr& operator=(ComPtr&& other) noexcept
    {
        if (this != &other) {
            reset();
            m_ptr = std::exchange(other.m_ptr, nullptr);
        }
        return *this;
    }

    T* get() const noexcept { return m_ptr; }
    T* operator->() const noexcept { return m_ptr; }
    explicit operator bool() const noexcept { return m_ptr != nullptr; }

    T** put() noexcept
    {
        reset();
        return &m_ptr;
    }
    void** put_void() noexcept { return reinterpret_cast<void**>(put()); }

    void reset() noexcept
    {
        if (m_ptr) {
            T* old = std::exchange(m_ptr, nullptr);
            ReleaseKeepingLastError([old] { old->Release(); });
        }
    }

private:
    T* m_ptr = nullptr;
};

// CNG objects: an algorithm provider and a hash object.
struct BcryptAlgorithmTraits {
    using value_type = BCRYPT_ALG_HANDLE;
    static value_type invalid() noexcept { return nullptr; }
    static bool is_valid(value_type h) noexcept { return h != nullptr; }
    static void close(value_type h) noexcept { ::BCryptCloseAlgorithmProvider(h, 0); }
};

struct BcryptHashTraits {
    using value_type = BCRYPT_HASH_HANDLE;
    static value_type invalid() noexcept { return nullptr; }
    static bool is_valid(value_type h) noexcept { return h != nullptr; }
    static void close(value_type h) noexcept { ::BCryptDestroyHash(h); }
};

// A block from the process heap.
struct ProcessHeapBlockTraits {
    using value_type = void*;
    static value_type invalid() noexcept { return nullptr; }
    static bool is_valid(value_type p) noexcept { return p != nullptr; }
    static void close(value_type p) noexcept { ::HeapFree(::GetProcessHeap(), 0, p); }
};

using UniqueBcryptAlgorithm = UniqueResource<BcryptAlgorithmTraits>;
using UniqueBcryptHash = UniqueResource<BcryptHashTraits>;
using UniqueProcessHeapBlock = UniqueResource<ProcessHeapBlockTraits>;

} // namespace win
