// Owners keep the thread's last error across their release, so that a failure line written
// after a scope ends carries the failure's code; the validation library file is held from its
// check until it is loaded.
#include "support/Seams.h"
#include "support/TestSupport.h"
#include "trust/ValidationLibrary.h"
#include "win/Owners.h"

namespace {

constexpr DWORD kFailure = ERROR_PATH_NOT_FOUND;

// A COM object whose release fails loudly, as a misbehaving object would.
struct NoisyUnknown : IUnknown {
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        ::SetLastError(ERROR_GEN_FAILURE);
        return 1;
    }
};

TEST(Owners, ReleaseKeepsTheLastErrorOfTheFailureBeforeIt)
{
    // A handle value that is already closed, so that closing it again sets ERROR_INVALID_HANDLE.
    const HANDLE closed = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ::CloseHandle(closed);
    {
        win::UniqueHandle handle(closed);
        ::SetLastError(kFailure);
    }
    EXPECT_EQ(kFailure, ::GetLastError()) << "UniqueHandle";
    NoisyUnknown noisy;
    {
        win::ComPtr<IUnknown> object;
        *object.put() = &noisy;
        ::SetLastError(kFailure);
    }
    EXPECT_EQ(kFailure, ::GetLastError()) << "ComPtr";
    {
        win::UniqueVariant variant;
        variant.get()->vt = VT_UNKNOWN;
        variant.get()->punkVal = &noisy;
        ::SetLastError(kFailure);
    }
    EXPECT_EQ(kFailure, ::GetLastError()) << "UniqueVariant";
}

DWORD g_writeAttempt = 0;
DWORD g_removeAttempt = 0;

// Runs between the check and the load: writing the file and removing it must fail (a move over it is a removal).
void TrySwap(const wchar_t* path)
{
    const DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const win::UniqueHandle writer(::CreateFileW(path, GENERIC_WRITE, shareAll, nullptr, OPEN_EXISTING, 0, nullptr));
    g_writeAttempt = writer ? ERROR_SUCCESS : ::GetLastError();
    g_removeAttempt = ::DeleteFileW(path) ? ERROR_SUCCESS : ::GetLastError();
}

TEST(LibraryHold, FileCannotBeReplacedBetweenCheckAndLoad)
{
    const testsupport::ScratchFolder folder(L"library-hold"); // a loaded library cannot be overwritten
    const std::wstring library = folder.File(kValidationLibraryFileName);
    ASSERT_TRUE(::CopyFileW(FN_TEST_PACKAGE_LIBRARY, library.c_str(), FALSE));
    SetValidationLibraryCheckedHookForTesting(&TrySwap);
    OsmiraAssemblyValidation binding;
    const BOOL loaded = LoadValidationLibraryFrom(&binding, folder.Path().c_str(), PinnedValidationLibraryDigest());
    SetValidationLibraryCheckedHookForTesting(nullptr);
    ASSERT_TRUE(loaded);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), g_writeAttempt);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), g_removeAttempt);
    wchar_t loadedPath[MAX_PATH] = {};
    ASSERT_NE(0u, ::GetModuleFileNameW(binding.module, loadedPath, MAX_PATH));
    EXPECT_EQ(0, _wcsicmp(library.c_str(), loadedPath));
}

} // namespace
