// Adds a DER certificate to the LocalMachine Root store of the prefix it runs in, so that the
// prefix trusts what the build's test CA signed. Exit code 0 when the store holds it.
#include <windows.h>
#include <wincrypt.h>

#include <vector>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2) return 2;
    HANDLE file = ::CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 3;
    std::vector<BYTE> der(64 * 1024);
    DWORD read = 0;
    const BOOL ok = ::ReadFile(file, der.data(), static_cast<DWORD>(der.size()), &read, nullptr);
    ::CloseHandle(file);
    if (!ok || read == 0) return 3;
    HCERTSTORE store = ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"ROOT");
    if (store == nullptr) return 4;
    const BOOL added = ::CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), read,
                                                          CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    ::CertCloseStore(store, 0);
    return added ? 0 : 5;
}
