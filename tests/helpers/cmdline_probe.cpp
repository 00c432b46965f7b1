// Parses its own command line as the uninstaller does and writes what it
// found, as UTF-8 lines, to the file named by PROBE_OUT.

#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "app/command_line.h"
#include "common/text.h"
#include "profile/game_profile.h"

int wmain(int, wchar_t**) {
  LaunchOptions options;
  ParseCommandLine(__argc, __wargv, options);
  const wchar_t* out = _wgetenv(L"PROBE_OUT");
  if (out == nullptr) return 2;
  FILE* file = _wfopen(out, L"wb");
  if (file == nullptr) return 3;
  const std::string text = "action=" + WideToUtf8(options.action) +
                           "\npath=" + WideToUtf8(GameProfile.install_dir) +
                           "\nremoval=" + (SelectsRemovalStage(options) ? "yes" : "no") + "\n";
  std::fwrite(text.data(), 1, text.size(), file);
  std::fclose(file);
  return 0;
}
