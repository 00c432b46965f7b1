// Removes one tree with RemoveDirectoryTree and prints how long it took and
// the process's peak working set, for bench/removal_bench.sh.
//   remove_tree_driver.exe FOLDER

#include <windows.h>
#include <psapi.h>

#include <cstdio>

#include "cleanup/files/path_operations.h"
#include "cleanup/files/tree_removal.h"

namespace {

SIZE_T PeakWorkingSetKb() {
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof(counters);
  if (!::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof(counters))) return 0;
  return counters.PeakWorkingSetSize / 1024;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: remove_tree_driver FOLDER\n");
    return 2;
  }
  const std::wstring root = argv[1];
  const SIZE_T peak_before = PeakWorkingSetKb();
  LARGE_INTEGER frequency, start, end;
  ::QueryPerformanceFrequency(&frequency);
  ::QueryPerformanceCounter(&start);
  RemoveDirectoryTree(OpenFolderForRemoval(root));
  ::QueryPerformanceCounter(&end);
  const double seconds =
      static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
  std::printf("seconds=%.3f peak_kb_before=%zu peak_kb=%zu removed=%s\n", seconds,
              static_cast<size_t>(peak_before), static_cast<size_t>(PeakWorkingSetKb()),
              DirectoryExists(root) ? "no" : "yes");
  return 0;
}
