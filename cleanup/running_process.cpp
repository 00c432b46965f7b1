#include "cleanup/running_process.h"

#include <tlhelp32.h>

#include "cleanup/files/removal_safety.h"
#include "common/test_seams.h"
#include "profile/game_profile.h"

namespace {

constexpr int kStopAttempts = 60;
constexpr DWORD kStopPauseMs = 3000;

// The forms a path is compared in: as resolved, and where it really is.
struct PathForms {
  std::wstring resolved, real;
};

PathForms FormsOf(const std::wstring& path) {
  PathForms forms{AbsolutePath(path), {}};
  if (forms.resolved.empty()) return forms;
  UniqueFileHandle entry(::CreateFileW(ExtendedPath(forms.resolved).c_str(), FILE_READ_ATTRIBUTES,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                       nullptr));
  if (entry) forms.real = FinalPathOf(entry.get());
  return forms;
}

bool LiesIn(const PathForms& image, const PathForms& folder) {
  const auto inside = [](const std::wstring& path, const std::wstring& in) {
    return !path.empty() && !in.empty() && IsSameOrInside(path, in);
  };
  return inside(image.resolved, folder.resolved) || inside(image.real, folder.real);
}

// Whether the process's image file, asked through `process`, lies in the
// installation folder.
bool RunsFrom(HANDLE process, const PathForms& installation) {
  wchar_t image[MAX_PATH * 4] = {};
  DWORD size = MAX_PATH * 4;
  if (!::QueryFullProcessImageNameW(process, 0, image, &size)) return false;
  return LiesIn(FormsOf(std::wstring(image, size)), installation);
}

UniqueHandle OpenGameProcessIn(const std::wstring& exe_name, const PathForms& installation) {
  if (exe_name.empty() || installation.resolved.empty()) return UniqueHandle();
  UniqueFileHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return UniqueHandle();
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
       more = ::Process32NextW(snapshot.get(), &entry)) {
    if (exe_name == entry.szExeFile) {
      // Judged and ended through the same handle, so that a process that
      // ends and leaves its identifier to another is not taken for it.
      UniqueHandle process(::OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION,
                                         /*bInheritHandle=*/FALSE, entry.th32ProcessID));
      // One that may not be ended is still the game: it costs an attempt.
      if (!process)
        process.reset(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
      if (process && RunsFrom(process.get(), installation)) return process;
    }
    entry.dwSize = sizeof(entry);
  }
  return UniqueHandle();
}

}  // namespace

UniqueHandle OpenGameProcess(const std::wstring& exe_name, const std::wstring& installation) {
  return OpenGameProcessIn(exe_name, FormsOf(installation));
}

bool StopProcessesByName(const std::wstring& exe_name, const std::wstring& installation,
                         int attempts, DWORD pause_ms) {
  // Wine as administrator can end any process; tests stand in one that cannot.
  const bool termination_fails = TestSeamFlag(L"UNINSTALL_TEST_TERMINATE_FAILS");
  const PathForms folder = FormsOf(installation);
  for (int attempt = 0; attempt < attempts; ++attempt) {
    const UniqueHandle process = OpenGameProcessIn(exe_name, folder);
    if (!process) return true;
    if (!termination_fails) (void)::TerminateProcess(process.get(), 0);
    // The process's exit is not awaited otherwise; the next search decides.
    ::Sleep(pause_ms);
  }
  return false;
}

bool IsRunningImage(const std::wstring& path) {
  const PathForms image = FormsOf(path);
  const std::wstring name = path.substr(path.find_last_of(L'\\') + 1);
  UniqueFileHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot || image.resolved.empty()) return false;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
       more = ::Process32NextW(snapshot.get(), &entry)) {
    entry.dwSize = sizeof(entry);
    if (::lstrcmpiW(entry.szExeFile, name.c_str()) != 0) continue;
    const UniqueHandle process(
        ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
    wchar_t running[MAX_PATH * 4] = {};
    DWORD size = MAX_PATH * 4;
    if (!process || !::QueryFullProcessImageNameW(process.get(), 0, running, &size)) continue;
    const PathForms other = FormsOf(std::wstring(running, size));
    if (LiesIn(other, image)) return true;  // the same file: inside itself
  }
  return false;
}

bool StopRunningGame() {
  const long attempts = TestSeamNumber(L"UNINSTALL_TEST_STOP_ATTEMPTS", kStopAttempts);
  const long pause_ms = TestSeamNumber(L"UNINSTALL_TEST_STOP_PAUSE_MS", kStopPauseMs);
  return StopProcessesByName(GameProfile.exe_name, GameProfile.install_dir,
                             static_cast<int>(attempts), static_cast<DWORD>(pause_ms));
}
