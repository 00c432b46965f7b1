// Stands in for the game: runs until it is ended. Tests copy it under the
// game's executable name.

#include <windows.h>

int wmain(int, wchar_t**) {
  for (;;) ::Sleep(INFINITE);
}
