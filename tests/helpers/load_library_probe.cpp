// Loads the DLL named on its command line the ordinary way (its own folder
// first), to show that a planted DLL beside a program is found when nothing
// restricts the search. Exit code 0 when the load succeeded.

#include <windows.h>

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  return ::LoadLibraryW(argv[1]) != nullptr ? 0 : 1;
}
