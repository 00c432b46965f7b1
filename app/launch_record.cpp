#include "app/launch_record.h"

#include <windows.h>

#include <string>

#include "common/text.h"
#include "common/unique_resource.h"

void RecordLaunchForTests() {
#if defined(UNINSTALL_TEST_BUILD)
  wchar_t path[MAX_PATH] = {};
  const DWORD length = ::GetEnvironmentVariableW(L"UNINSTALL_TEST_LAUNCH_RECORD", path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  ::GetStartupInfoW(&startup);
  const int show = (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : -1;
  const std::string line = std::to_string(::GetCurrentProcessId()) + " " + std::to_string(show) +
                           " " + WideToUtf8(::GetCommandLineW()) + "\n";
  UniqueFileHandle file(::CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  if (file) (void)::WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written,
                              nullptr);
#endif
}
