#include "common/random_digits.h"

#include <windows.h>

#include <vector>

#include "common/system_library.h"
#include "common/text.h"

std::wstring RandomHexDigits(size_t count) {
  using RtlGenRandomFn = BOOLEAN(WINAPI*)(PVOID, ULONG);
  const auto gen_random = GetLoadedFunction<RtlGenRandomFn>(L"advapi32.dll", "SystemFunction036");
  std::vector<unsigned char> bytes((count + 1) / 2);
  if (gen_random == nullptr || !gen_random(bytes.data(), static_cast<ULONG>(bytes.size()))) return {};
  std::wstring digits;
  for (const unsigned char byte : bytes) digits += FormatWide(L"%02x", byte);
  digits.resize(count);
  return digits;
}
