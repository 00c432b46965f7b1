#include "common/system_library.h"

#include <string>

namespace {

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

std::wstring SystemFolderPath(const wchar_t* name) {
  wchar_t folder[MAX_PATH + 1] = {};
  const UINT length = ::GetSystemDirectoryW(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return {};
  return std::wstring(folder) + L"\\" + name;
}

}  // namespace

UniqueLibrary LoadSystemLibrary(const wchar_t* name) {
  UniqueLibrary module(::LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
  if (module) return module;
  // Older systems without the search flags reject it; a full path to the
  // system folder is just as safe there.
  if (::GetLastError() != ERROR_INVALID_PARAMETER) return module;
  const std::wstring path = SystemFolderPath(name);
  if (path.empty()) return module;
  module.reset(::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
  return module;
}

void RestrictDllSearchToSystem() {
  using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
  // Looked up rather than imported, so the program still starts on a
  // Windows 7 without the update that brought the call.
  const auto set_directories =
      GetLoadedFunction<SetDefaultDllDirectoriesFn>(L"kernel32.dll", "SetDefaultDllDirectories");
  if (set_directories != nullptr) (void)set_directories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

void EnforceRedirectionTrust() {
  // PROCESS_MITIGATION_POLICY's ProcessRedirectionTrustPolicy, with
  // EnforceRedirectionTrust set; older headers do not spell either.
  constexpr int kRedirectionTrustPolicy = 16;
  const DWORD enforce = 1;
  using SetPolicyFn = BOOL(WINAPI*)(int, PVOID, SIZE_T);
  const auto set_policy = GetLoadedFunction<SetPolicyFn>(L"kernel32.dll", "SetProcessMitigationPolicy");
  // Systems without the policy refuse it; nothing changes there.
  if (set_policy != nullptr)
    (void)set_policy(kRedirectionTrustPolicy, const_cast<DWORD*>(&enforce), sizeof(enforce));
}
