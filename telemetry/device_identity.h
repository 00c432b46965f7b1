#pragma once
// The machine's identifier in telemetry: a digest of one adapter's hardware
// address, so that the address itself is never sent.

#include <string>

struct _IP_ADAPTER_INFO;  // IP_ADAPTER_INFO of <iphlpapi.h>

// Finds the first record in the adapter list starting at `first` that is
// Ethernet with a six-byte address, and writes its address to `mac` as
// "00:1A:2B:3C:4D:5E". Returns false, leaving `mac` alone, when none is.
bool FindEthernetMac(const _IP_ADAPTER_INFO* first, std::string& mac);

// The MAC text of the first Ethernet adapter the system lists. Returns false,
// leaving `mac` alone, when the list cannot be read or no adapter qualifies.
bool GetAdapterMac(std::string& mac);

// MD5 of the MAC text (of "" without a qualifying adapter) as 32 lower-case
// hexadecimal digits. Never fails.
std::string GetDeviceId();
