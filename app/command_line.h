#pragma once
// The two options the uninstaller knows: /action chooses the stage, /path
// names the installation folder.

#include <string>

struct LaunchOptions {
  std::wstring action;
  bool quiet = false;  // no box: the question counts as OK, results are exit codes
  std::wstring log;    // a file to append the run's lines to; "" for none
};

// The value part of one argument as typed: everything after its first '=',
// cut to 4,095 characters and unquoted when it both begins and ends with a
// double quote. Empty when there is no '=' or nothing follows it.
std::wstring ExtractOptionValue(const std::wstring& argument);

// Reads arguments 1 .. count-1 of an argument vector into `options` and
// GameProfile.install_dir. /action, /path, /quiet and /log match by prefix;
// /S, /silent and /verysilent, which deployment tools give uninstallers,
// select quiet mode as whole words. Unknown arguments (/suppressmsgboxes and
// /norestart among them) are skipped; the last occurrence of an option wins.
void ParseCommandLine(int count, wchar_t** arguments, LaunchOptions& options);

// True when the options select the removal stage ("uninstall", exactly).
bool SelectsRemovalStage(const LaunchOptions& options);
