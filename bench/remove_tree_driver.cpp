// Removes one tree with RemoveDirectoryTree and prints how long it took and
// the process's peak working set, for bench/removal_bench.sh.
//   remove_tree_driver.exe [--window] FOLDER
// --window: with the uninstaller's progress window, as a removal that lasts
// shows it (from a second on, refreshed as often as in the program).

#include <windows.h>
#include <psapi.h>

#include <cstdio>

#include "app/ui/progress_window.h"
#include "cleanup/files/path_operations.h"
#include "cleanup/files/tree_removal.h"

namespace {

SIZE_T PeakWorkingSetKb() {
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof(counters);
  if (!::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof(counters))) return 0;
  return counters.PeakWorkingSetSize / 1024;
}

// The process's processor time so far, user and kernel.
double CpuSeconds() {
  FILETIME created, exited, kernel, user;
  if (!::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
  const auto seconds = [](const FILETIME& time) {
    return static_cast<double>((static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime) / 1e7;
  };
  return seconds(kernel) + seconds(user);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const bool window = argc == 3 && std::wstring(argv[1]) == L"--window";
  if (argc != 2 && !window) {
    std::fprintf(stderr, "usage: remove_tree_driver [--window] FOLDER\n");
    return 2;
  }
  const std::wstring root = argv[argc - 1];
  ProgressWindow progress;
  const SIZE_T peak_before = PeakWorkingSetKb();
  LARGE_INTEGER frequency, start, end;
  ::QueryPerformanceFrequency(&frequency);
  ::QueryPerformanceCounter(&start);
  if (window) {
    progress.Open(L"Bench Unistall", L"Bench", L"", 0);
    progress.ShowRemoving();
  }
  RemoveDirectoryTree(OpenFolderForRemoval(root));
  progress.Close();
  ::QueryPerformanceCounter(&end);
  const double seconds =
      static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
  std::printf("seconds=%.3f cpu=%.3f peak_kb_before=%zu peak_kb=%zu removed=%s\n", seconds, CpuSeconds(),
              static_cast<size_t>(peak_before), static_cast<size_t>(PeakWorkingSetKb()),
              DirectoryExists(root) ? "no" : "yes");
  return 0;
}
