// Adds the test authority's certificate (a DER file named by the first
// argument) to the machine's Root store of the test prefix, so that the
// loopback collector's certificates are trusted. Run once per test run.

#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <string>

#include "common/unique_resource.h"

namespace {

struct CertStoreTraits {
  using Type = HCERTSTORE;
  static Type Invalid() { return nullptr; }
  static void Close(Type store) { ::CertCloseStore(store, 0); }
};
using UniqueCertStore = UniqueResource<CertStoreTraits>;

std::string ReadWholeFile(const wchar_t* path) {
  UniqueFileHandle file(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
  if (!file) return {};
  std::string bytes;
  char chunk[4096];
  DWORD read = 0;
  while (::ReadFile(file.get(), chunk, sizeof(chunk), &read, nullptr) && read > 0) {
    bytes.append(chunk, read);
  }
  return bytes;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fwprintf(stderr, L"usage: trust_root CA.der\n");
    return 2;
  }
  const std::string der = ReadWholeFile(argv[1]);
  if (der.empty()) {
    std::fwprintf(stderr, L"trust_root: cannot read %ls\n", argv[1]);
    return 3;
  }
  UniqueCertStore store(::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                        CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root"));
  if (!store) {
    std::fwprintf(stderr, L"trust_root: cannot open the Root store (%lu)\n", ::GetLastError());
    return 4;
  }
  if (!::CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING,
                                          reinterpret_cast<const BYTE*>(der.data()),
                                          static_cast<DWORD>(der.size()),
                                          CERT_STORE_ADD_REPLACE_EXISTING, /*context=*/nullptr)) {
    std::fwprintf(stderr, L"trust_root: adding failed (%lu)\n", ::GetLastError());
    return 5;
  }
  return 0;
}
