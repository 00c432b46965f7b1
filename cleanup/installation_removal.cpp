#include "cleanup/installation_removal.h"

#include <windows.h>
#include <shlobj.h>

#include <string>

#include "cleanup/files/folder_for_removal.h"
#include "cleanup/files/native_files.h"
#include "cleanup/files/path_operations.h"
#include "cleanup/registration.h"
#include "cleanup/files/removal_safety.h"
#include "cleanup/shortcut_removal.h"
#include "cleanup/files/tree_removal.h"
#include "common/run_log.h"
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

constexpr wchar_t kDescriptor[] = L"res\\data\\init.dat";

// Where the open folder really is now, and its parent's path ("" for a
// drive's root); `name` receives its own name.
std::wstring RealParent(HANDLE folder, std::wstring& name) {
  const std::wstring real = FinalPathOf(folder);
  const size_t slash = real.find_last_of(L'\\');
  if (real.empty() || slash == std::wstring::npos || slash + 1 >= real.size()) return {};
  name = real.substr(slash + 1);
  return slash == 2 ? std::wstring() : real.substr(0, slash);  // "C:\x": no parent to take
}

// The folder above the open folder `child`, at its real place, opened to
// look and checked to hold `child` itself; `path` receives where it is.
UniqueFileHandle OpenParentHolding(HANDLE child, std::wstring& path) {
  std::wstring name;
  return OpenHoldingFolder(child, name, path);
}

// The names a shortcut into the installation folder may use: the folder as
// named and where it really is (`real`, "" when it is not there). None when
// either place is one its removal would refuse (a drive root, a known
// folder, ...): a target "inside" such a folder says nothing about the game.
InstallationNames NamesOfInstallation(const std::wstring& install_dir, const std::wstring& real) {
  const std::wstring path = AbsolutePath(install_dir);
  if (path.empty() || !IsRemovableLocation(path)) return {};
  if (real.empty()) return {path};  // gone already: its shortcuts still go
  if (!IsRemovableLocation(real)) return {};
  return {path, real};
}

void RemoveDesktopShortcut(const InstallationNames& installation) {
  if (!IsPlainName(GameProfile.shortcut_name)) return;
  const std::wstring desktop = ShellFolder(CSIDL_DESKTOPDIRECTORY);
  if (desktop.empty()) return;
  const bool removed = RemoveGameShortcut(desktop, GameProfile.shortcut_name + L".lnk", installation);
  LogLine(L"desktop shortcut %s.lnk: %s", GameProfile.shortcut_name.c_str(),
          removed ? L"removed" : L"left: none, or not a shortcut into the installation");
}

// The library folder two levels above the installation folder as it was
// named ("" when there is none), when it is an ordinary folder.
std::wstring NamedLibrary() {
  const std::wstring library = AbsolutePath(ParentDirectory(ParentDirectory(GameProfile.install_dir)));
  return IsRemovableLocation(library) ? library : std::wstring();
}

// The library folder, opened to look: from where the held installation
// really is, each step checked to hold the one below; without a held
// installation, as it was named. `path` receives where it is.
UniqueFileHandle OpenLibrary(HANDLE installation, std::wstring& path) {
  if (installation != nullptr) {
    std::wstring above_path;
    const UniqueFileHandle above = OpenParentHolding(installation, above_path);
    UniqueFileHandle library = above ? OpenParentHolding(above.get(), path) : UniqueFileHandle();
    return library && IsRemovableLocation(path) ? std::move(library) : UniqueFileHandle();
  }
  path = NamedLibrary();
  return path.empty() ? UniqueFileHandle() : OpenFolderToList(path);
}

// The game's folder in the shared cache: the library two levels up, as
// named and as it really is an ordinary folder, then the cache and branch
// names, neither of which may be a link.
void RemoveSharedCache(HANDLE installation, const FileIdentity& own) {
  if (!IsPlainName(GameProfile.cache_name) || !IsPlainName(GameProfile.branch_id) ||
      NamedLibrary().empty())
    return;
  std::wstring library_path;
  const UniqueFileHandle library = OpenLibrary(installation, library_path);
  if (!library) {
    LogLine(L"shared cache: refused: the library is not where the installation is, or not an ordinary folder");
    return;
  }
  const std::wstring relative = GameProfile.cache_name + L"\\" + GameProfile.branch_id;
  FolderForRemoval cache = OpenFolderBelow(library.get(), library_path, relative, own);
  if (!cache) {
    LogLine(L"shared cache %s\\%s: not there, or refused (a link on its way, or not the game's)",
            library_path.c_str(), relative.c_str());
    return;
  }
  const std::wstring path = cache.path();
  LogLine(L"shared cache %s: %s", path.c_str(), RemoveFolderTree(std::move(cache)) ? L"removed" : L"left: something in it stays");
}

void RemoveStartMenuFolder(const InstallationNames& installation) {
  if (!IsPlainName(GameProfile.install_name)) return;
  const std::wstring start_menu = ShellFolder(CSIDL_STARTMENU);
  if (start_menu.empty()) return;
  RemoveShortcutFolder(start_menu + L"\\Programs", GameProfile.install_name, installation);
  LogLine(L"Start-menu folder Programs\\%s: %s", GameProfile.install_name.c_str(),
          DirectoryExists(start_menu + L"\\Programs\\" + GameProfile.install_name)
              ? L"left: something that is not a shortcut into the installation stays in it"
              : L"removed, or not there");
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

InstallationRemoval::InstallationRemoval(FolderForRemoval installation, std::wstring uninstaller)
    : installation_(std::move(installation)), uninstaller_(std::move(uninstaller)) {}

bool InstallationRemoval::RemoveAllButUninstaller() {
  try {
    const FileIdentity own = IdentityOf(installation_.handle());
    const bool folder = installation_.kind() == FolderForRemoval::Kind::kFolder;
    const InstallationNames names =
        NamesOfInstallation(GameProfile.install_dir, FinalPathOf(installation_.handle()));
    RemoveDesktopShortcut(names);
    if (folder) RemoveSharedCache(installation_.handle(), own);
    const bool root_held = folder && FindGameRoot(own);
    const bool installation_emptied = folder && EmptyFolder(installation_, {uninstaller_, kDescriptor});
    LogLine(L"installation folder %s: %s", installation_.path().c_str(),
            !folder ? L"refused: not a folder that can be held (a link in its place?)"
            : installation_emptied ? L"all but the uninstaller and the descriptor removed"
                                   : L"left: something in it stays");
    bool complete = installation_emptied && root_held;
    if (!root_held) LogLine(L"game root: refused: not where the installation is, or not the game's");
    if (game_root_) {
      complete = EmptyFolder(game_root_, {game_root_entry_}) && complete;
      LogLine(L"game root %s: %s", game_root_.path().c_str(), complete ? L"all but the installation folder removed" : L"left: something in it stays");
    }
    RemoveStartMenuFolder(names);
    return complete;
  } catch (...) {
    // Out of memory: the game stays, and the caller says so.
    return false;
  }
}

bool InstallationRemoval::RemoveUninstaller() {
  if (installation_.kind() != FolderForRemoval::Kind::kFolder) return false;
  const bool installation_gone = RemoveFolderTree(std::move(installation_));
  const bool root_gone = !has_game_root_ || RemoveFolderTree(std::move(game_root_));
  return installation_gone && root_gone;
}

bool InstallationRemoval::FindGameRoot(const FileIdentity& own) {
  std::wstring name;
  const std::wstring parent = RealParent(installation_.handle(), name);
  // Only an installation folder named exactly "app" has a game root, and
  // only below an ordinary folder, as named and where it really is.
  std::wstring named = GameProfile.install_dir;
  while (!named.empty() && (named.back() == L'\\' || named.back() == L'/')) named.pop_back();
  const size_t slash = named.find_last_of(L"\\/");
  const std::wstring named_parent = slash == std::wstring::npos ? std::wstring() : AbsolutePath(named.substr(0, slash));
  has_game_root_ = name == L"app" && named.compare(slash + 1, std::wstring::npos, L"app") == 0 &&
                   !parent.empty() && IsRemovableLocation(parent) && !named_parent.empty() &&
                   IsRemovableLocation(named_parent);
  if (!has_game_root_) return true;
  game_root_ = OpenFolderForRemoval(parent, own);
  if (game_root_.kind() == FolderForRemoval::Kind::kFolder &&
      IdentityOf(OpenChildToLook(game_root_.handle(), name).get()) == own) {
    game_root_entry_ = name;
    return true;
  }
  game_root_ = FolderForRemoval();  // not where the installation is: not the game's
  return false;
}

bool RemoveInstallation() {
  const std::wstring install_dir = GameProfile.install_dir;
  FolderForRemoval installation =
      DirectoryExists(install_dir) ? OpenFolderForRemoval(install_dir, install_dir) : FolderForRemoval();
  if (!installation) {
    // Nothing of it to hold: the other steps still run.
    const UniqueFileHandle there = OpenFolderToList(install_dir);
    const std::wstring real = there ? FinalPathOf(there.get()) : std::wstring();
    // One that is there but cannot be told where it is gives no names.
    const InstallationNames names = there && real.empty() ? InstallationNames() : NamesOfInstallation(install_dir, real);
    RemoveDesktopShortcut(names);
    RemoveSharedCache(nullptr, FileIdentity());
    RemoveStartMenuFolder(names);
    return !AbsolutePath(install_dir).empty() && !IsFolderThere(install_dir);
  }
  InstallationRemoval removal(std::move(installation), UninstallerFileName());
  return removal.RemoveAllButUninstaller() && removal.RemoveUninstaller();
}
