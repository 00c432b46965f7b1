#pragma once
// A game laid out as the platform's installer leaves it: files, descriptor,
// the uninstaller beside them, registry entries, desktop shortcut, Start-menu
// folder and shared cache folder.

#include <windows.h>

#include <string>
#include <vector>

namespace oldtest {

struct FakeGame {
  std::wstring root;         // the test's own folder; nothing outside it is touched
  std::wstring library;      // root + "Lib\"
  std::wstring install_dir;  // library + "G\app\"
  std::wstring game_root;    // library + "G\"
  std::wstring cache_dir;    // library + "sdk_cache\7\"
  std::wstring shortcut;     // desktop + name + ".lnk"
  std::wstring start_menu_dir;
  std::wstring game_name;
  std::wstring install_name;
  std::wstring exe_name;
  std::vector<std::wstring> must_survive;  // files beside the game that stay
};

// Lays out a game below a fresh test folder. `descriptor` replaces the
// generated descriptor when not empty.
FakeGame InstallFakeGame(const std::string& descriptor = "");

// The machine Uninstall and App Paths keys of the game (Wow6432Node paths).
std::wstring UninstallKeyPath(const std::wstring& install_name);
std::wstring AppPathsKeyPath(const std::wstring& exe_name);
bool KeyExists(HKEY hive, const std::wstring& path);
// A REG_SZ value, "" when absent.
std::wstring ReadStringValue(HKEY hive, const std::wstring& path, const wchar_t* name);

// Removes what InstallFakeGame made outside the test folder (shortcut,
// Start-menu folder, registry keys).
void ForgetFakeGame(const FakeGame& game);

std::wstring DesktopFolder();
std::wstring StartMenuFolder();

}  // namespace oldtest
