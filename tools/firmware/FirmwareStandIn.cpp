// The firmware's WMI provider, stood in by an in-process COM server that plays WMI's locator,
// namespace, enumerator and class objects for two classes of ROOT\WMI. Every method call is
// recorded, the LED states are kept and the behaviour is read from the prefix's registry
// (names and formats in FirmwareStandIn.h).
#include "FirmwareStandIn.h"
#include "win/Owners.h"

#include <wbemcli.h>

#include <string>
#include <vector>

namespace {

using namespace firmware;

LONG g_liveObjects = 0;  // objects and server locks, for DllCanUnloadNow

struct MethodDef {
    const wchar_t* name;
    const wchar_t* input;  // the one input property, a string; null when the method takes none
};
struct ClassDef {
    const wchar_t* name;
    MethodDef methods[2];
};
const ClassDef kClasses[] = {
    {kUtilityClass, {{L"SetFeature", L"featuretype"}, {nullptr, nullptr}}},
    {kTelruneClass, {{L"GetProductInfo", nullptr}, {L"GetVersion", nullptr}}},
};

const ClassDef* FindClass(const std::wstring& name)
{
    for (const ClassDef& def : kClasses)
        if (_wcsicmp(def.name, name.c_str()) == 0) return &def;
    return nullptr;
}

const MethodDef* FindMethod(const ClassDef& def, const wchar_t* name)
{
    for (const MethodDef& method : def.methods)
        if (method.name != nullptr && _wcsicmp(method.name, name) == 0) return &method;
    return nullptr;
}

std::wstring BehaviourKey(const ClassDef& def, const MethodDef* method = nullptr)
{
    return std::wstring(kBehaviourKey) + L"\\" + def.name + (method ? std::wstring(L"\\") + method->name : L"");
}

DWORD ReadDword(const std::wstring& key, const wchar_t* value, DWORD fallback)
{
    DWORD data = 0, size = sizeof data;
    return ::RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), value, RRF_RT_REG_DWORD, nullptr, &data,
                          &size) == ERROR_SUCCESS
               ? data : fallback;
}

void WriteDword(const std::wstring& key, const wchar_t* value, DWORD data)
{
    ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), value, REG_DWORD, &data, sizeof data);
}

// The prefix-wide lock of the record file and of the counted-down behaviour values.
class PrefixLock {
public:
    PrefixLock() : m_mutex(::CreateMutexW(nullptr, FALSE, kRecordMutex))
    {
        const DWORD wait = m_mutex ? ::WaitForSingleObject(m_mutex.get(), 10000) : WAIT_FAILED;
        m_owned = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;  // an abandoned lock passes to the next owner
    }
    ~PrefixLock()
    {
        if (m_owned) ::ReleaseMutex(m_mutex.get());
    }
    PrefixLock(const PrefixLock&) = delete;
    PrefixLock& operator=(const PrefixLock&) = delete;

private:
    win::UniqueHandle m_mutex;
    bool m_owned;
};

void AppendRecord(const std::wstring& line)
{
    const std::wstring path = RecordFilePath();
    PrefixLock lock;
    ::CreateDirectoryW(path.substr(0, path.rfind(L'\\')).c_str(), nullptr);  // the Windows folder's temp folder exists
    const win::UniqueHandle file(::CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    const std::wstring text = (::GetLastError() == ERROR_ALREADY_EXISTS ? L"" : L"\xFEFF") + line;
    DWORD written = 0;
    ::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &written, nullptr);
}

HRESULT PutString(VARIANT* out, const std::wstring& text)
{
    if (out == nullptr) return WBEM_S_NO_ERROR;
    out->vt = VT_BSTR;
    out->bstrVal = ::SysAllocString(text.c_str());
    return out->bstrVal ? WBEM_S_NO_ERROR : WBEM_E_OUT_OF_MEMORY;
}

// COM identity shared by every object of the server: the reference count and the module's
// count of live objects.
class Counted {
public:
    Counted() { ::InterlockedIncrement(&g_liveObjects); }
    virtual ~Counted() { ::InterlockedDecrement(&g_liveObjects); }

protected:
    LONG m_refs = 1;
};

#define FN_REFCOUNT                                                                             \
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(::InterlockedIncrement(&m_refs)); } \
    ULONG STDMETHODCALLTYPE Release() override                                                 \
    {                                                                                           \
        const LONG left = ::InterlockedDecrement(&m_refs);                                      \
        if (left == 0) delete this;                                                             \
        return static_cast<ULONG>(left);                                                        \
    }
#define FN_NOTIMPL(name, ...) \
    HRESULT STDMETHODCALLTYPE name(__VA_ARGS__) override { return E_NOTIMPL; }

template <class Interface>
HRESULT Answer(Interface* self, REFIID riid, void** out)
{
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (riid != IID_IUnknown && riid != __uuidof(Interface)) return E_NOINTERFACE;
    self->AddRef();
    *out = self;
    return S_OK;
}

struct Property {
    std::wstring name;
    CIMTYPE type;
    VARIANT value;
    Property(std::wstring propertyName, CIMTYPE cimType) : name(std::move(propertyName)), type(cimType)
    {
        ::VariantInit(&value);
        value.vt = VT_NULL;
    }
    Property(const Property& other) : name(other.name), type(other.type)
    {
        ::VariantInit(&value);
        ::VariantCopy(&value, const_cast<VARIANT*>(&other.value));
    }
    Property& operator=(const Property&) = delete;
    ~Property() { ::VariantClear(&value); }
};

// One class object of WMI's kinds: a class definition or a method signature (both can spawn
// instances), an instance of a class (with a path when the namespace enumerated it) or a
// parameter object.
class ClassObject : public Counted, public IWbemClassObject {
public:
    ClassObject(const ClassDef* def, std::wstring className, bool isClass, int instance = -1)
        : m_def(def), m_className(std::move(className)), m_isClass(isClass), m_instance(instance) {}
    std::vector<Property> properties;
    bool pathReadable = true;

    FN_REFCOUNT
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override
    {
        return Answer<IWbemClassObject>(this, riid, out);
    }

    HRESULT STDMETHODCALLTYPE Get(LPCWSTR name, LONG, VARIANT* value, CIMTYPE* type, LONG* flavor) override
    {
        if (name == nullptr) return WBEM_E_INVALID_PARAMETER;
        if (flavor) *flavor = name[0] == L'_' && name[1] == L'_' ? WBEM_FLAVOR_ORIGIN_SYSTEM : WBEM_FLAVOR_ORIGIN_LOCAL;
        if (_wcsicmp(name, L"__CLASS") == 0) {
            Typed(type, CIM_STRING);
            return PutString(value, m_className);
        }
        const bool relative = _wcsicmp(name, L"__RELPATH") == 0;
        if (relative || _wcsicmp(name, L"__PATH") == 0) {
            Typed(type, CIM_STRING);
            if (!pathReadable) return kGetObjectFailure;
            if (m_def == nullptr || (!m_isClass && m_instance < 0)) {  // not stored in the namespace
                if (value) value->vt = VT_NULL;
                return WBEM_S_NO_ERROR;
            }
            const std::wstring path = m_isClass ? m_def->name : InstanceRelativePath(m_def->name, m_instance);
            return PutString(value, relative ? path : ObjectPath(path));
        }
        AcquireSRWLockShared(&m_lock);
        HRESULT hr = WBEM_E_NOT_FOUND;
        for (const Property& property : properties) {
            if (_wcsicmp(property.name.c_str(), name) != 0) continue;
            Typed(type, property.type);
            hr = value ? ::VariantCopy(value, const_cast<VARIANT*>(&property.value)) : S_OK;
        }
        ReleaseSRWLockShared(&m_lock);
        return hr;
    }

    HRESULT STDMETHODCALLTYPE Put(LPCWSTR name, LONG, VARIANT* value, CIMTYPE) override
    {
        if (name == nullptr) return WBEM_E_INVALID_PARAMETER;
        if (name[0] == L'_' && name[1] == L'_') return WBEM_E_SYSTEM_PROPERTY;
        // A null BSTR is a null string: VariantCopy would turn it into an empty one.
        const bool isNull = value == nullptr || value->vt == VT_NULL || value->vt == VT_EMPTY ||
                            (value->vt == VT_BSTR && value->bstrVal == nullptr);
        AcquireSRWLockExclusive(&m_lock);
        HRESULT hr = WBEM_E_NOT_FOUND;
        for (Property& property : properties) {
            if (_wcsicmp(property.name.c_str(), name) != 0) continue;
            const VARTYPE expected = property.type == CIM_STRING ? VT_BSTR : VT_I4;
            if (!isNull && value->vt != expected) {
                hr = WBEM_E_TYPE_MISMATCH;
            } else if (isNull) {
                ::VariantClear(&property.value);
                property.value.vt = VT_NULL;
                hr = WBEM_S_NO_ERROR;
            } else {
                hr = ::VariantCopy(&property.value, value);
            }
        }
        ReleaseSRWLockExclusive(&m_lock);
        return hr;
    }

    HRESULT STDMETHODCALLTYPE GetMethod(LPCWSTR name, LONG, IWbemClassObject** in, IWbemClassObject** out) override
    {
        if (name == nullptr) return WBEM_E_INVALID_PARAMETER;
        if (!m_isClass || m_def == nullptr) return WBEM_E_ILLEGAL_OPERATION;
        const MethodDef* method = FindMethod(*m_def, name);
        if (method == nullptr) return WBEM_E_NOT_FOUND;
        if (in) {
            *in = nullptr;
            if (method->input != nullptr && ReadDword(BehaviourKey(*m_def, method), kNoInputSignature, 0) != 1)
                *in = Signature(method->input, CIM_STRING);
        }
        if (out) *out = Signature(kData, CIM_SINT32);
        return WBEM_S_NO_ERROR;
    }

    HRESULT STDMETHODCALLTYPE SpawnInstance(LONG, IWbemClassObject** instance) override
    {
        if (instance == nullptr) return WBEM_E_INVALID_PARAMETER;
        *instance = nullptr;
        if (!m_isClass) return WBEM_E_ILLEGAL_OPERATION;
        auto* spawned = new ClassObject(m_def, m_className, false);
        for (const Property& property : properties) spawned->properties.emplace_back(property.name, property.type);
        *instance = spawned;
        return WBEM_S_NO_ERROR;
    }

    FN_NOTIMPL(GetQualifierSet, IWbemQualifierSet**)
    FN_NOTIMPL(Delete, LPCWSTR)
    FN_NOTIMPL(GetNames, LPCWSTR, LONG, VARIANT*, SAFEARRAY**)
    FN_NOTIMPL(BeginEnumeration, LONG)
    FN_NOTIMPL(Next, LONG, BSTR*, VARIANT*, CIMTYPE*, LONG*)
    FN_NOTIMPL(EndEnumeration)
    FN_NOTIMPL(GetPropertyQualifierSet, LPCWSTR, IWbemQualifierSet**)
    FN_NOTIMPL(Clone, IWbemClassObject**)
    FN_NOTIMPL(GetObjectText, LONG, BSTR*)
    FN_NOTIMPL(SpawnDerivedClass, LONG, IWbemClassObject**)
    FN_NOTIMPL(CompareTo, LONG, IWbemClassObject*)
    FN_NOTIMPL(GetPropertyOrigin, LPCWSTR, BSTR*)
    FN_NOTIMPL(InheritsFrom, LPCWSTR)
    FN_NOTIMPL(PutMethod, LPCWSTR, LONG, IWbemClassObject*, IWbemClassObject*)
    FN_NOTIMPL(DeleteMethod, LPCWSTR)
    FN_NOTIMPL(BeginMethodEnumeration, LONG)
    FN_NOTIMPL(NextMethod, LONG, BSTR*, IWbemClassObject**, IWbemClassObject**)
    FN_NOTIMPL(EndMethodEnumeration)
    FN_NOTIMPL(GetMethodQualifierSet, LPCWSTR, IWbemQualifierSet**)
    FN_NOTIMPL(GetMethodOrigin, LPCWSTR, BSTR*)

    // A method's input or output signature: a __PARAMETERS class with one property.
    static ClassObject* Signature(const wchar_t* property, CIMTYPE type)
    {
        auto* signature = new ClassObject(nullptr, L"__PARAMETERS", true);
        signature->properties.emplace_back(property, type);
        return signature;
    }

    // A class definition, or an instance of it as the namespace enumerates it.
    static ClassObject* Of(const ClassDef& def, int instance)
    {
        auto* object = new ClassObject(&def, def.name, instance < 0, instance);
        object->properties.emplace_back(L"InstanceName", CIM_STRING);
        if (instance >= 0) {
            object->properties[0].value.vt = VT_BSTR;
            object->properties[0].value.bstrVal =
                ::SysAllocString((L"ACPI\\PNP0C14\\0_" + std::to_wstring(instance)).c_str());
        }
        return object;
    }

private:
    static void Typed(CIMTYPE* type, CIMTYPE value)
    {
        if (type) *type = value;
    }

    const ClassDef* m_def;  // null for parameter objects
    std::wstring m_className;
    bool m_isClass;
    int m_instance;  // index in the enumeration; -1 when not stored in the namespace
    SRWLOCK m_lock = SRWLOCK_INIT;
};

// Waits for the release event, for the hold's deadline (none when for ever) or the caller's
// time-out, whichever ends first; false when the caller's time-out did.
bool HoldUntilReleased(bool forever, DWORD timeout = INFINITE)
{
    const win::UniqueHandle release(::CreateEventW(nullptr, FALSE, FALSE, kReleaseEvent));
    if (!release) return true;
    const bool callerFirst = forever || timeout < kHoldDeadlineMs;
    const DWORD wait = ::WaitForSingleObject(release.get(), callerFirst ? timeout : kHoldDeadlineMs);
    return wait == WAIT_OBJECT_0 || !callerFirst;
}

class Enumerator : public Counted, public IEnumWbemClassObject {
public:
    explicit Enumerator(const ClassDef* def)
    {
        if (def == nullptr) return;  // an unknown class enumerates nothing, as Wine's WMI does
        const std::wstring key = BehaviourKey(*def);
        const DWORD count = ReadDword(key, kInstances, 1), unreadable = ReadDword(key, kUnreadablePathInstance, 0);
        m_hold = ReadDword(key, kHold, 0);
        for (DWORD i = 0; i < count; ++i) {
            m_objects.push_back(ClassObject::Of(*def, static_cast<int>(i)));
            m_objects.back()->pathReadable = unreadable != i + 1;
        }
    }
    ~Enumerator() override
    {
        for (ClassObject* object : m_objects) object->Release();
    }

    FN_REFCOUNT
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override
    {
        return Answer<IEnumWbemClassObject>(this, riid, out);
    }

    HRESULT STDMETHODCALLTYPE Next(LONG timeout, ULONG count, IWbemClassObject** objects, ULONG* returned) override
    {
        if (objects == nullptr || returned == nullptr) return WBEM_E_INVALID_PARAMETER;
        *returned = 0;
        const bool held = m_hold == 1 || m_hold == kHoldForever;
        if (held && !HoldUntilReleased(m_hold == kHoldForever, static_cast<DWORD>(timeout))) return WBEM_S_TIMEDOUT;
        AcquireSRWLockExclusive(&m_lock);
        for (*returned = 0; *returned < count && m_next < m_objects.size(); ++*returned, ++m_next) {
            m_objects[m_next]->AddRef();
            objects[*returned] = m_objects[m_next];
        }
        ReleaseSRWLockExclusive(&m_lock);
        return *returned == count ? WBEM_S_NO_ERROR : WBEM_S_FALSE;
    }
    FN_NOTIMPL(Reset)
    FN_NOTIMPL(Skip, LONG, ULONG)
    FN_NOTIMPL(NextAsync, ULONG, IWbemObjectSink*)
    FN_NOTIMPL(Clone, IEnumWbemClassObject**)

private:
    std::vector<ClassObject*> m_objects;
    size_t m_next = 0;
    DWORD m_hold = 0;
    SRWLOCK m_lock = SRWLOCK_INIT;
};

HRESULT Enumerate(const ClassDef* def, IEnumWbemClassObject** out)
{
    if (out == nullptr) return WBEM_E_INVALID_PARAMETER;
    *out = new Enumerator(def);
    return WBEM_S_NO_ERROR;
}

std::wstring InputText(const MethodDef& method, IWbemClassObject* in)
{
    if (in == nullptr) return L"-";
    if (method.input == nullptr) return L"";
    VARIANT value;
    ::VariantInit(&value);
    std::wstring text = method.input;
    if (FAILED(in->Get(method.input, 0, &value, nullptr, nullptr)) || value.vt != VT_BSTR || value.bstrVal == nullptr)
        text += L"=null";
    else
        text += L"=\"" + std::wstring(value.bstrVal) + L"\"";
    ::VariantClear(&value);
    return text;
}

std::wstring RecordLine(const ClassDef& def, const MethodDef& method, const wchar_t* path, const std::wstring& input)
{
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    wchar_t time[40] = {};
    _snwprintf(time, 39, L"%04u-%02u-%02u %02u:%02u:%02u.%03u", now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute,
               now.wSecond, now.wMilliseconds);
    return std::wstring(time) + L"\t" + std::to_wstring(::GetCurrentProcessId()) + L"\t" + def.name + L"\t" +
           method.name + L"\t" + path + L"\t" + input + L"\r\n";
}

void SetLeds(const std::wstring& input)
{
    static const struct { const wchar_t* input; const wchar_t* led; DWORD state; } kSwitches[] = {
        {L"featuretype=\"1\"", kMicMuteLed, 1}, {L"featuretype=\"2\"", kMicMuteLed, 0},
        {L"featuretype=\"4\"", kSpeakerLed, 1}, {L"featuretype=\"5\"", kSpeakerLed, 0},
    };
    for (const auto& entry : kSwitches)
        if (input == entry.input) WriteDword(kStateKey, entry.led, entry.state);
}

class Services : public Counted, public IWbemServices, public IClientSecurity {
public:
    FN_REFCOUNT
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override
    {
        if (out != nullptr && riid == IID_IClientSecurity) {
            AddRef();
            *out = static_cast<IClientSecurity*>(this);
            return S_OK;
        }
        return Answer<IWbemServices>(this, riid, out);
    }

    // IClientSecurity: what CoSetProxyBlanket calls; there is no proxy between client and provider.
    HRESULT STDMETHODCALLTYPE SetBlanket(IUnknown*, DWORD, DWORD, OLECHAR*, DWORD, DWORD, void*, DWORD) override
    {
        return S_OK;
    }
    FN_NOTIMPL(QueryBlanket, IUnknown*, DWORD*, DWORD*, OLECHAR**, DWORD*, DWORD*, void**, DWORD*)
    FN_NOTIMPL(CopyProxy, IUnknown*, IUnknown**)

    HRESULT STDMETHODCALLTYPE GetObject(const BSTR path, LONG, IWbemContext*, IWbemClassObject** object,
                                        IWbemCallResult** callResult) override
    {
        if (callResult) *callResult = nullptr;
        if (object == nullptr || path == nullptr) return WBEM_E_INVALID_PARAMETER;
        *object = nullptr;
        const ClassDef* def = FindClass(path);
        if (def == nullptr) return WBEM_E_NOT_FOUND;
        {
            PrefixLock lock;
            const DWORD failures = ReadDword(BehaviourKey(*def), kGetObjectFailures, 0);
            if (failures > 0) {
                WriteDword(BehaviourKey(*def), kGetObjectFailures, failures - 1);
                return kGetObjectFailure;
            }
        }
        *object = ClassObject::Of(*def, -1);
        return WBEM_S_NO_ERROR;
    }

    HRESULT STDMETHODCALLTYPE CreateInstanceEnum(const BSTR className, LONG, IWbemContext*,
                                                 IEnumWbemClassObject** out) override
    {
        if (className == nullptr) return WBEM_E_INVALID_PARAMETER;
        return Enumerate(FindClass(className), out);
    }

    HRESULT STDMETHODCALLTYPE ExecQuery(const BSTR language, const BSTR query, LONG, IWbemContext*,
                                        IEnumWbemClassObject** out) override
    {
        if (language == nullptr || query == nullptr || out == nullptr) return WBEM_E_INVALID_PARAMETER;
        if (_wcsicmp(language, L"WQL") != 0) return WBEM_E_INVALID_QUERY_TYPE;
        std::vector<std::wstring> words;  // the one form served: SELECT * FROM <class>
        for (const wchar_t* p = query; *p != L'\0';) {
            const size_t blanks = wcsspn(p, L" \t\r\n"), length = wcscspn(p + blanks, L" \t\r\n");
            if (length > 0) words.emplace_back(p + blanks, length);
            p += blanks + length;
        }
        if (words.size() != 4 || _wcsicmp(words[0].c_str(), L"SELECT") != 0 || words[1] != L"*" ||
            _wcsicmp(words[2].c_str(), L"FROM") != 0)
            return WBEM_E_INVALID_QUERY;
        return Enumerate(FindClass(words[3]), out);
    }

    HRESULT STDMETHODCALLTYPE ExecMethod(const BSTR path, const BSTR methodName, LONG, IWbemContext*,
                                         IWbemClassObject* in, IWbemClassObject** out,
                                         IWbemCallResult** callResult) override
    {
        if (callResult) *callResult = nullptr;
        if (out) *out = nullptr;
        if (path == nullptr || methodName == nullptr) return WBEM_E_INVALID_PARAMETER;
        const wchar_t* colon = wcschr(path, L':');
        const std::wstring relative = colon ? colon + 1 : path;
        const ClassDef* def = FindClass(relative.substr(0, relative.find(L'.')));
        if (def == nullptr) return WBEM_E_INVALID_CLASS;
        const MethodDef* method = FindMethod(*def, methodName);
        if (method == nullptr) return WBEM_E_INVALID_METHOD;
        const int count = static_cast<int>(ReadDword(BehaviourKey(*def), kInstances, 1));
        int instance = 0;
        while (instance < count && _wcsicmp(InstanceRelativePath(def->name, instance).c_str(), relative.c_str()) != 0)
            ++instance;
        if (instance == count) return WBEM_E_NOT_FOUND;

        const std::wstring key = BehaviourKey(*def, method), input = InputText(*method, in);
        AppendRecord(RecordLine(*def, *method, path, input));
        const DWORD hold = ReadDword(key, kHold, 0);
        if (hold == 1 || hold == kHoldForever) HoldUntilReleased(hold == kHoldForever);
        ::Sleep(ReadDword(key, kCallMilliseconds, 0));
        const HRESULT failure = static_cast<HRESULT>(ReadDword(key, kExecMethodError, 0));
        if (failure != 0) return failure;
        SetLeds(input);
        if (out) {
            const DWORD noData = ReadDword(key, kNoData, 0);
            const wchar_t* property = noData == 1 ? L"ReturnValue" : kData;
            ClassObject* parameters = ClassObject::Signature(property, CIM_SINT32);
            IWbemClassObject* result = nullptr;
            parameters->SpawnInstance(0, &result);
            parameters->Release();
            VARIANT data;
            data.vt = noData == 2 ? VT_NULL : VT_I4;
            data.lVal = static_cast<LONG>(ReadDword(key, kData, 0));
            result->Put(property, 0, &data, 0);
            *out = result;
        }
        return WBEM_S_NO_ERROR;
    }

    FN_NOTIMPL(OpenNamespace, const BSTR, LONG, IWbemContext*, IWbemServices**, IWbemCallResult**)
    FN_NOTIMPL(CancelAsyncCall, IWbemObjectSink*)
    FN_NOTIMPL(QueryObjectSink, LONG, IWbemObjectSink**)
    FN_NOTIMPL(GetObjectAsync, const BSTR, LONG, IWbemContext*, IWbemObjectSink*)
    FN_NOTIMPL(PutClass, IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**)
    FN_NOTIMPL(PutClassAsync, IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*)
    FN_NOTIMPL(DeleteClass, const BSTR, LONG, IWbemContext*, IWbemCallResult**)
    FN_NOTIMPL(DeleteClassAsync, const BSTR, LONG, IWbemContext*, IWbemObjectSink*)
    FN_NOTIMPL(CreateClassEnum, const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**)
    FN_NOTIMPL(CreateClassEnumAsync, const BSTR, LONG, IWbemContext*, IWbemObjectSink*)
    FN_NOTIMPL(PutInstance, IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**)
    FN_NOTIMPL(PutInstanceAsync, IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*)
    FN_NOTIMPL(DeleteInstance, const BSTR, LONG, IWbemContext*, IWbemCallResult**)
    FN_NOTIMPL(DeleteInstanceAsync, const BSTR, LONG, IWbemContext*, IWbemObjectSink*)
    FN_NOTIMPL(CreateInstanceEnumAsync, const BSTR, LONG, IWbemContext*, IWbemObjectSink*)
    FN_NOTIMPL(ExecQueryAsync, const BSTR, const BSTR, LONG, IWbemContext*, IWbemObjectSink*)
    FN_NOTIMPL(ExecNotificationQuery, const BSTR, const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**)
    FN_NOTIMPL(ExecNotificationQueryAsync, const BSTR, const BSTR, LONG, IWbemContext*, IWbemObjectSink*)
    FN_NOTIMPL(ExecMethodAsync, const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*, IWbemObjectSink*)
};

class Locator : public Counted, public IWbemLocator {
public:
    FN_REFCOUNT
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override
    {
        return Answer<IWbemLocator>(this, riid, out);
    }

    HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR resource, const BSTR, const BSTR, const BSTR, LONG, const BSTR,
                                            IWbemContext*, IWbemServices** services) override
    {
        if (services == nullptr || resource == nullptr) return WBEM_E_INVALID_PARAMETER;
        *services = nullptr;
        const wchar_t* name = resource;
        if (wcsncmp(name, L"\\\\.\\", 4) == 0) name += 4;  // the local machine named explicitly
        if (_wcsicmp(name, kNamespace) != 0) return WBEM_E_INVALID_NAMESPACE;
        *services = new Services;
        return WBEM_S_NO_ERROR;
    }
};

// The one class factory of the server, alive as long as the module.
class Factory : public IClassFactory {
public:
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override
    {
        return Answer<IClassFactory>(this, riid, out);
    }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** out) override
    {
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        if (outer != nullptr) return CLASS_E_NOAGGREGATION;
        auto* locator = new Locator;
        const HRESULT hr = locator->QueryInterface(riid, out);
        locator->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override
    {
        lock ? ::InterlockedIncrement(&g_liveObjects) : ::InterlockedDecrement(&g_liveObjects);
        return S_OK;
    }
};

Factory g_factory;

} // namespace

HRESULT RegisterFirmwareClassObject(DWORD* cookie)
{
    return ::CoRegisterClassObject(CLSID_WbemLocator, &g_factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, cookie);
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** out)
{
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (clsid != CLSID_WbemLocator) return CLASS_E_CLASSNOTAVAILABLE;
    return g_factory.QueryInterface(riid, out);
}

STDAPI DllCanUnloadNow()
{
    return g_liveObjects == 0 ? S_OK : S_FALSE;
}
