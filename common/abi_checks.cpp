// The 32-bit product relies on these record sizes as the system defines them;
// a header that disagrees would pass a wrong size field. The code itself
// always uses sizeof.

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <shellapi.h>
#include <tlhelp32.h>

#if !defined(_WIN64)
static_assert(sizeof(SHELLEXECUTEINFOW) == 60, "SHELLEXECUTEINFOW");
static_assert(sizeof(PROCESSENTRY32W) == 556, "PROCESSENTRY32W");
static_assert(sizeof(IP_ADAPTER_INFO) == 648, "IP_ADAPTER_INFO");
static_assert(sizeof(WNDCLASSEXW) == 48, "WNDCLASSEXW");
static_assert(sizeof(OSVERSIONINFOEXW) == 284, "OSVERSIONINFOEXW");
static_assert(sizeof(OSVERSIONINFOW) == 276, "OSVERSIONINFOW");
#endif
