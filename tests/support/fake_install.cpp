#include "tests/support/fake_install.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include "common/text.h"
#include "common/unique_resource.h"
#include "tests/support/test_support.h"

namespace oldtest {
namespace {

std::wstring ShellFolder(int csidl) {
  wchar_t path[MAX_PATH] = {};
  ::SHGetSpecialFolderPathW(nullptr, path, csidl, TRUE);
  return path;
}

void WriteKey(HKEY hive, const std::wstring& path,
              const std::vector<std::pair<const wchar_t*, std::wstring>>& values) {
  UniqueKey key;
  ASSERT_EQ(::RegCreateKeyExW(hive, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              key.put(), nullptr),
            ERROR_SUCCESS);
  for (const auto& value : values) {
    ::RegSetValueExW(key.get(), value.first, 0, REG_SZ,
                     reinterpret_cast<const BYTE*>(value.second.c_str()),
                     static_cast<DWORD>((value.second.size() + 1) * sizeof(wchar_t)));
  }
}

std::wstring UniqueSuffix() {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  return info != nullptr ? Utf8ToWide(info->name()) : L"Game";
}

}  // namespace

std::wstring DesktopFolder() { return ShellFolder(CSIDL_DESKTOPDIRECTORY); }
std::wstring StartMenuFolder() { return ShellFolder(CSIDL_STARTMENU); }

std::wstring UninstallKeyPath(const std::wstring& install_name) {
  return L"SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + install_name;
}

std::wstring AppPathsKeyPath(const std::wstring& exe_name) {
  return L"SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\App Paths\\" + exe_name;
}

bool KeyExists(HKEY hive, const std::wstring& path) {
  UniqueKey key;
  return ::RegOpenKeyExW(hive, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

std::wstring ReadStringValue(HKEY hive, const std::wstring& path, const wchar_t* name) {
  wchar_t data[2048] = {};
  DWORD size = sizeof(data) - sizeof(wchar_t);
  if (::RegGetValueW(hive, path.c_str(), name, RRF_RT_REG_SZ, nullptr, data, &size) !=
      ERROR_SUCCESS) {
    return {};
  }
  return data;
}

FakeGame InstallFakeGame(const std::string& descriptor) {
  FakeGame game;
  const std::wstring suffix = UniqueSuffix();
  game.root = FreshTestFolder();
  game.library = game.root + L"Lib\\";
  game.game_root = game.library + L"G\\";
  game.install_dir = game.game_root + L"app\\";
  game.cache_dir = game.library + L"sdk_cache\\7\\";
  game.game_name = L"Demo Quest";
  game.install_name = L"DemoQuest_" + suffix;
  game.exe_name = L"demoquest_" + suffix + L".exe";
  game.shortcut = DesktopFolder() + L"\\Demo Quest " + suffix + L".lnk";
  game.start_menu_dir = StartMenuFolder() + L"\\Programs\\" + game.install_name + L"\\";

  const std::string name8 = WideToUtf8(suffix);
  const std::string document =
      !descriptor.empty()
          ? descriptor
          : "{\n  \"game_name\": \"Demo Quest\",\n  \"shortcut_name\": \"Demo Quest " + name8 +
                "\",\n  \"cache_name\": \"sdk_cache\",\n  \"branch_id\": \"7\",\n"
                "  \"install_name\": \"DemoQuest_" + name8 + "\",\n"
                "  \"exe_name\": \"demoquest_" + name8 + ".exe\",\n"
                "  \"ver\": \"15\",\n  \"version\": \"2\",\n"
                "  \"uninstall_name\": \"uninstall.exe\",\n"
                "  \"info_about\": \"https://brimlake.example/about\",\n"
                "  \"publisher\": \"Brimlake\",\n"
                "  \"help_link\": \"https://brimlake.example/help\",\n"
                "  \"op_id\": \"op-DemoQuest_" + name8 + "\",\n  \"game_id\": \"1234\"\n}\n";

  WriteFileBytes(game.install_dir + L"res\\data\\init.dat", document);
  WriteFileBytes(game.install_dir + L"data\\maps\\level1.map", std::string(5000, 'm'));
  WriteFileBytes(game.install_dir + L"data\\sound\\theme.ogg", std::string(3000, 's'));
  WriteFileBytes(game.install_dir + L"readme.txt", "Demo Quest");
  ::CopyFileW((ProgramFolder() + L"fake_game.exe").c_str(),
              (game.install_dir + game.exe_name).c_str(), FALSE);
  ::CopyFileW((ProgramFolder() + L"uninstall.exe").c_str(),
              (game.install_dir + L"uninstall.exe").c_str(), FALSE);
  WriteFileBytes(game.game_root + L"launcher.cfg", "channel=stable");
  WriteFileBytes(game.cache_dir + L"patch\\p1.bin", std::string(2000, 'p'));
  WriteFileBytes(game.shortcut, "shortcut");
  WriteFileBytes(game.start_menu_dir + L"Demo Quest.lnk", "shortcut");

  // What must stay: the library's other content and another game's cache.
  game.must_survive = {game.library + L"keep.txt", game.library + L"sdk_cache\\8\\other.bin",
                       game.library + L"Other\\app\\other.exe", game.root + L"outside.txt"};
  for (const std::wstring& file : game.must_survive) WriteFileBytes(file, "must survive");

  const std::wstring quoted = L"\"" + game.install_dir + L"uninstall.exe\"";
  WriteKey(HKEY_LOCAL_MACHINE, UninstallKeyPath(game.install_name),
           {{L"DisplayIcon", quoted},
            {L"DisplayName", game.install_name},
            {L"DisplayVersion", L"2.15"},
            {L"Version", L"15"},
            {L"HelpLink", L"https://brimlake.example/help"},
            {L"Publisher", L"Brimlake"},
            {L"InstallLocation", game.install_dir},
            {L"UninstallString", quoted},
            {L"URLInfoAbout", L"https://brimlake.example/about"}});
  WriteKey(HKEY_LOCAL_MACHINE, AppPathsKeyPath(game.exe_name),
           {{nullptr, game.install_dir + game.exe_name}});
  return game;
}

void ForgetFakeGame(const FakeGame& game) {
  ::DeleteFileW(game.shortcut.c_str());
  RemoveTestTree(game.start_menu_dir);
  ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, UninstallKeyPath(game.install_name).c_str());
  ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, AppPathsKeyPath(game.exe_name).c_str());
}

}  // namespace oldtest
