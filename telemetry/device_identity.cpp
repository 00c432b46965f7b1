#include "telemetry/device_identity.h"

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <cstdio>
#include <memory>
#include <new>

#include "common/system_library.h"
#include "common/test_seams.h"
#include "telemetry/md5.h"

namespace {

using GetAdaptersInfoFn = decltype(&::GetAdaptersInfo);

std::unique_ptr<unsigned char[]> AllocateBuffer(ULONG size) {
  return std::unique_ptr<unsigned char[]>(new (std::nothrow) unsigned char[size]);
}

}  // namespace

bool FindEthernetMac(const IP_ADAPTER_INFO* first, std::string& mac) {
  for (const IP_ADAPTER_INFO* adapter = first; adapter != nullptr; adapter = adapter->Next) {
    if (adapter->Type != MIB_IF_TYPE_ETHERNET || adapter->AddressLength != 6) continue;
    const BYTE* a = adapter->Address;
    char text[18] = {};
    std::snprintf(text, sizeof(text), "%02X:%02X:%02X:%02X:%02X:%02X", a[0], a[1], a[2], a[3],
                  a[4], a[5]);
    mac = text;
    return true;
  }
  return false;
}

bool GetAdapterMac(std::string& mac) {
  // Test build only: a machine whose adapters all fail to qualify.
  if (TestSeamFlag(L"UNINSTALL_SEAM_NO_ADAPTER")) return false;

  // IP Helper comes from the system folder at the point of use, never from
  // beside the program.
  const UniqueLibrary iphlpapi = LoadSystemLibrary(L"iphlpapi.dll");
  const auto get_adapters_info = GetLibraryFunction<GetAdaptersInfoFn>(iphlpapi, "GetAdaptersInfo");
  if (get_adapters_info == nullptr) return false;

  ULONG size = sizeof(IP_ADAPTER_INFO);
  std::unique_ptr<unsigned char[]> buffer = AllocateBuffer(size);
  if (!buffer) return false;
  if (get_adapters_info(reinterpret_cast<IP_ADAPTER_INFO*>(buffer.get()), &size) ==
      ERROR_BUFFER_OVERFLOW) {
    buffer = AllocateBuffer(size);
    if (!buffer) return false;
  }
  if (get_adapters_info(reinterpret_cast<IP_ADAPTER_INFO*>(buffer.get()), &size) != NO_ERROR) {
    return false;
  }
  return FindEthernetMac(reinterpret_cast<const IP_ADAPTER_INFO*>(buffer.get()), mac);
}

std::string GetDeviceId() {
  std::string mac;
  (void)GetAdapterMac(mac);  // without an adapter the empty text is hashed
  return Md5Hex(ComputeMd5(mac));
}
