#pragma once
// The process-wide record of the game's names and folders. The command line
// writes install_dir, the descriptor loader the other fields; everything else
// only reads them.

#include <string>

struct GameProfileRecord {
  std::wstring game_name;
  std::wstring shortcut_name;
  std::wstring cache_name;
  std::wstring branch_id;
  std::wstring install_name;
  std::wstring exe_name;
  std::wstring ver;
  std::wstring version;
  std::wstring uninstall_name = L"uninstall.exe";
  std::wstring info_about;
  std::wstring publisher;
  std::wstring help_link;
  std::wstring op_id;
  std::wstring game_id;
  std::wstring install_dir;
};

extern GameProfileRecord GameProfile;

// Puts every field back to its start value (tests run many scenarios in one
// process).
void ResetGameProfile();
