// The device identifier: which adapter decides, and the digest of its MAC
// text, checked against the system's own adapter list.

#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <cctype>
#include <memory>
#include <vector>

#include "common/system_library.h"
#include "telemetry/device_identity.h"
#include "telemetry/md5.h"

namespace {

IP_ADAPTER_INFO Adapter(UINT type, UINT address_length, BYTE first_byte) {
  IP_ADAPTER_INFO adapter = {};
  adapter.Type = type;
  adapter.AddressLength = address_length;
  const BYTE address[] = {first_byte, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x6F, 0x70};
  memcpy(adapter.Address, address, sizeof(address));
  return adapter;
}

// The MAC text of the first Ethernet adapter, read here independently from
// the system's list with a buffer as large as the system asks for.
std::string FirstEthernetMacFromSystem() {
  const UniqueLibrary iphlpapi = LoadSystemLibrary(L"iphlpapi.dll");
  const auto get_adapters_info =
      GetLibraryFunction<decltype(&::GetAdaptersInfo)>(iphlpapi, "GetAdaptersInfo");
  if (get_adapters_info == nullptr) return "";
  ULONG size = 0;
  (void)get_adapters_info(nullptr, &size);
  std::vector<unsigned char> buffer(size + sizeof(IP_ADAPTER_INFO));
  size = static_cast<ULONG>(buffer.size());
  auto* list = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data());
  if (get_adapters_info(list, &size) != NO_ERROR) return "";
  for (const IP_ADAPTER_INFO* a = list; a != nullptr; a = a->Next) {
    std::printf("adapter %s type %u length %u\n", a->Description, a->Type, a->AddressLength);
    if (a->Type == MIB_IF_TYPE_ETHERNET && a->AddressLength == 6) {
      char text[32];
      std::snprintf(text, sizeof(text), "%02X:%02X:%02X:%02X:%02X:%02X", a->Address[0],
                    a->Address[1], a->Address[2], a->Address[3], a->Address[4], a->Address[5]);
      return text;
    }
  }
  return "";
}

}  // namespace

TEST(DeviceIdentity, FirstEthernetAdapterWithSixByteAddressDecides) {
  IP_ADAPTER_INFO wireless = Adapter(IF_TYPE_IEEE80211, 6, 0x01);
  IP_ADAPTER_INFO long_address = Adapter(MIB_IF_TYPE_ETHERNET, 8, 0x02);
  IP_ADAPTER_INFO first = Adapter(MIB_IF_TYPE_ETHERNET, 6, 0x00);
  IP_ADAPTER_INFO second = Adapter(MIB_IF_TYPE_ETHERNET, 6, 0xAB);
  wireless.Next = &long_address;
  long_address.Next = &first;
  first.Next = &second;

  std::string mac = "unchanged";
  ASSERT_TRUE(FindEthernetMac(&wireless, mac));
  EXPECT_EQ(mac, "00:1A:2B:3C:4D:5E");

  // Only wireless and other-length adapters: nothing qualifies.
  long_address.Next = nullptr;
  mac = "unchanged";
  EXPECT_FALSE(FindEthernetMac(&wireless, mac));
  EXPECT_EQ(mac, "unchanged");
  EXPECT_FALSE(FindEthernetMac(nullptr, mac));
}

TEST(DeviceIdentity, IsTheDigestOfTheUpperCaseColonMacText) {
  // The same address written another way is another machine.
  EXPECT_EQ(Md5Hex(ComputeMd5("00:1A:2B:3C:4D:5E")), "64ef59ed159b1cfd56057da3b82a7677");
  EXPECT_NE(Md5Hex(ComputeMd5("00-1a-2b-3c-4d-5e")), "64ef59ed159b1cfd56057da3b82a7677");

  const std::string expected_mac = FirstEthernetMacFromSystem();
  std::printf("first Ethernet adapter: \"%s\"\n", expected_mac.c_str());
  std::string mac;
  EXPECT_EQ(GetAdapterMac(mac), !expected_mac.empty());
  EXPECT_EQ(mac, expected_mac);

  const std::string id = GetDeviceId();
  EXPECT_EQ(id, Md5Hex(ComputeMd5(expected_mac)));
  ASSERT_EQ(id.size(), 32u);
  for (const char c : id) EXPECT_TRUE(std::isdigit(c) || (c >= 'a' && c <= 'f')) << id;
}

TEST(DeviceIdentity, WithoutQualifyingAdapterIsTheDigestOfNothing) {
  ::SetEnvironmentVariableW(L"UNINSTALL_SEAM_NO_ADAPTER", L"1");
  std::string mac = "unchanged";
  EXPECT_FALSE(GetAdapterMac(mac));
  EXPECT_EQ(mac, "unchanged");
  EXPECT_EQ(GetDeviceId(), "d41d8cd98f00b204e9800998ecf8427e");
  ::SetEnvironmentVariableW(L"UNINSTALL_SEAM_NO_ADAPTER", nullptr);
}
