#include "cleanup/installation_removal.h"

#include <windows.h>
#include <shlobj.h>

#include <string>

#include "cleanup/folder_for_removal.h"
#include "cleanup/path_operations.h"
#include "cleanup/removal_safety.h"
#include "cleanup/shortcut_removal.h"
#include "cleanup/tree_removal.h"
#include "common/unique_resource.h"
#include "profile/game_profile.h"

namespace {

// The shell folder `csidl` of the user the process runs as, or "" when the
// query fails.
std::wstring ShellFolder(int csidl) {
  wchar_t buffer[MAX_PATH] = {};
  if (!::SHGetSpecialFolderPathW(nullptr, buffer, csidl, /*fCreate=*/FALSE)) return {};
  return buffer;
}

// Removes `folder` when it exists and its judge lets it go.
void RemoveTree(const std::wstring& folder) {
  if (DirectoryExists(folder))
    RemoveDirectoryTree(OpenFolderForRemoval(folder, GameProfile.install_dir));
}

// Whether the library folder that holds the shared cache is a folder like
// any other: not a drive root, known folder, profile or their ancestor, as
// it really is (links followed).
bool IsOrdinaryLibrary(const std::wstring& library) {
  const std::wstring path = AbsolutePath(library);
  if (path.empty()) return false;
  const UniqueFileHandle folder(::CreateFileW(
      ExtendedPath(path).c_str(), FILE_READ_ATTRIBUTES,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  const std::wstring final_path = folder ? FinalPathOf(folder.get()) : std::wstring();
  return !final_path.empty() && IsRemovableLocation(final_path) && IsRemovableLocation(path);
}

// The names a shortcut into the installation folder may use: the folder as
// named and where it really is (links followed). None when either place is
// one its removal would refuse (a drive root, a known folder, ...): a target
// "inside" such a folder says nothing about the game.
InstallationNames NamesOfInstallation(const std::wstring& install_dir) {
  const std::wstring path = AbsolutePath(install_dir);
  if (path.empty() || !IsRemovableLocation(path)) return {};
  const UniqueFileHandle folder(::CreateFileW(
      ExtendedPath(path).c_str(), FILE_READ_ATTRIBUTES,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!folder) return {path};  // gone already: its shortcuts still go
  const std::wstring final_path = FinalPathOf(folder.get());
  if (final_path.empty() || !IsRemovableLocation(final_path)) return {};
  return {path, final_path};
}

void RemoveDesktopShortcut(const InstallationNames& installation) {
  if (!IsPlainName(GameProfile.shortcut_name)) return;
  const std::wstring desktop = ShellFolder(CSIDL_DESKTOPDIRECTORY);
  if (desktop.empty()) return;
  (void)RemoveGameShortcut(desktop, GameProfile.shortcut_name + L".lnk", installation);
}

void RemoveSharedCache(const std::wstring& install_dir) {
  if (!IsPlainName(GameProfile.cache_name) || !IsPlainName(GameProfile.branch_id)) return;
  // Empty for an installation folder less than two levels below a root: the
  // path would have no drive and resolve against the current folder.
  const std::wstring library = ParentDirectory(ParentDirectory(install_dir));
  if (library.empty() || !IsOrdinaryLibrary(library)) return;
  RemoveTree(library + GameProfile.cache_name + L"\\" + GameProfile.branch_id + L"\\");
}

// The folder above an installation folder named exactly "app", or "" when
// there is no separate game root (a drive root or a protected folder above
// "app" is none).
std::wstring GameRootFolder(const std::wstring& install_dir) {
  std::wstring folder = install_dir;
  while (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/')) folder.pop_back();
  const size_t slash = folder.find_last_of(L"\\/");
  if (slash == std::wstring::npos || folder.compare(slash + 1, std::wstring::npos, L"app") != 0)
    return {};
  const std::wstring parent = ParentDirectory(folder);
  const std::wstring resolved = AbsolutePath(parent);
  return !resolved.empty() && IsRemovableLocation(resolved) ? parent : std::wstring();
}

void RemoveInstallFolders(const std::wstring& install_dir) {
  if (!DirectoryExists(install_dir)) return;
  FolderForRemoval installation = OpenFolderForRemoval(install_dir, install_dir);
  if (!installation) return;
  const std::wstring game_root = GameRootFolder(install_dir);
  RemoveDirectoryTree(std::move(installation));
  if (!game_root.empty()) RemoveTree(game_root);
}

void RemoveStartMenuFolder(const InstallationNames& installation) {
  if (!IsPlainName(GameProfile.install_name)) return;
  const std::wstring start_menu = ShellFolder(CSIDL_STARTMENU);
  if (start_menu.empty()) return;
  RemoveShortcutFolder(start_menu + L"\\Programs", GameProfile.install_name, installation);
}

// Whether `folder` is there, a drive root included (which a listing does
// not show).
bool IsFolderThere(const std::wstring& folder) {
  const std::wstring path = AbsolutePath(folder);
  const DWORD attributes = path.empty() ? INVALID_FILE_ATTRIBUTES
                                        : ::GetFileAttributesW(ExtendedPath(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

bool RemoveInstallation() {
  const std::wstring install_dir = GameProfile.install_dir;
  // Taken before the folder goes: afterwards it has no real place.
  const InstallationNames installation = NamesOfInstallation(install_dir);
  RemoveDesktopShortcut(installation);
  RemoveSharedCache(install_dir);
  RemoveInstallFolders(install_dir);
  RemoveStartMenuFolder(installation);
  // Gone means an installation folder that was named and is not there now.
  const std::wstring game_root = GameRootFolder(install_dir);
  return !AbsolutePath(install_dir).empty() && !IsFolderThere(install_dir) &&
         (game_root.empty() || !IsFolderThere(game_root));
}
