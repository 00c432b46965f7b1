#include "cleanup/running_process.h"

#include <tlhelp32.h>

#include "common/test_seams.h"
#include "common/unique_resource.h"
#include "profile/game_profile.h"

namespace {

constexpr int kStopAttempts = 60;
constexpr DWORD kStopPauseMs = 3000;

}  // namespace

DWORD FindProcessByName(const std::wstring& exe_name) {
  if (exe_name.empty()) return 0;
  UniqueFileHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return 0;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
       more = ::Process32NextW(snapshot.get(), &entry)) {
    if (exe_name == entry.szExeFile) return entry.th32ProcessID;
    entry.dwSize = sizeof(entry);
  }
  return 0;
}

bool StopProcessesByName(const std::wstring& exe_name, int attempts, DWORD pause_ms) {
  // Wine as administrator can end any process; tests stand in one that cannot.
  const bool termination_fails = TestSeamFlag(L"UNINSTALL_TEST_TERMINATE_FAILS");
  for (int attempt = 0; attempt < attempts; ++attempt) {
    const DWORD id = FindProcessByName(exe_name);
    if (id == 0) return true;
    UniqueHandle process(::OpenProcess(PROCESS_TERMINATE, /*bInheritHandle=*/FALSE, id));
    if (process && !termination_fails) (void)::TerminateProcess(process.get(), 0);
    // The process's exit is not awaited otherwise; the next search decides.
    ::Sleep(pause_ms);
  }
  return false;
}

bool StopRunningGame() {
  const long attempts = TestSeamNumber(L"UNINSTALL_TEST_STOP_ATTEMPTS", kStopAttempts);
  const long pause_ms = TestSeamNumber(L"UNINSTALL_TEST_STOP_PAUSE_MS", kStopPauseMs);
  return StopProcessesByName(GameProfile.exe_name, static_cast<int>(attempts),
                             static_cast<DWORD>(pause_ms));
}
