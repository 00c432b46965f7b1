#include "cleanup/installation_removal.h"

#include <windows.h>
#include <shlobj.h>

#include <string>

#include "cleanup/files/folder_for_removal.h"
#include "cleanup/files/native_files.h"
#include "cleanup/files/path_operations.h"
#include "cleanup/registration.h"
#include "cleanup/files/removal_safety.h"
#include "cleanup/files/shell_folders.h"
#include "cleanup/shortcut_removal.h"
#include "cleanup/files/tree_removal.h"
#include "common/run_log.h"
#include "common/unique_resource.h"
#include "profile/game_profile.h"

namespace {

constexpr wchar_t kDescriptor[] = L"res\\data\\init.dat";

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
  const std::wstring desktop = ShellFolderPath(CSIDL_DESKTOPDIRECTORY);
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

// The game's folder in the shared cache: below the open library folder
// `library` (where it is: `library_path`), when the library is, as named
// and as it really is, an ordinary folder; the cache and branch names are
// opened one at a time from it, neither of which may be a link.
void RemoveSharedCache(HANDLE library, const std::wstring& library_path, const FileIdentity& own) {
  if (!IsPlainName(GameProfile.cache_name) || !IsPlainName(GameProfile.branch_id) ||
      NamedLibrary().empty())
    return;
  if (library == nullptr || !IsRemovableLocation(library_path)) {
    LogLine(L"shared cache: refused: the library is not where the installation is, or not an ordinary folder");
    return;
  }
  const std::wstring relative = GameProfile.cache_name + L"\\" + GameProfile.branch_id;
  FolderForRemoval cache = OpenFolderBelow(library, library_path, relative, own);
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
  const std::wstring start_menu = ShellFolderPath(CSIDL_STARTMENU);
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

// Opens the entry `name` of `parent` for deletion, sharing nothing, into
// `held`, when it is there. False when it is there but cannot be opened so,
// is not itself, or is read-only (nothing changes its attributes).
bool HoldIfThere(HANDLE parent, const std::wstring& name, EntryKind kind, UniqueFileHandle& held) {
  if (!OpenChildToLook(parent, name)) return true;  // nothing of it to hold
  held = OpenChildExclusively(parent, name, kind);
  const DWORD attributes = held ? EntryAttributes(held.get()) : INVALID_FILE_ATTRIBUTES;
  return IsEntryItself(held.get(), EntryName(parent), name) && !(attributes & FILE_ATTRIBUTE_READONLY);
}

// Opens the folder `name` of `parent` for deletion, sharing nothing, into
// `held`, when it is the folder `identity` itself and not read-only.
bool HoldFolderAgain(HANDLE parent, const std::wstring& name, const FileIdentity& identity,
                     UniqueFileHandle& held) {
  if (parent == nullptr) return false;
  held = OpenChildExclusively(parent, name, EntryKind::kFolder);
  const DWORD attributes = held ? EntryAttributes(held.get()) : INVALID_FILE_ATTRIBUTES;
  return IsEntryItself(held.get(), EntryName(parent), name) && IdentityOf(held.get()) == identity &&
         !(attributes & FILE_ATTRIBUTE_READONLY);
}

}  // namespace

InstallationRemoval::InstallationRemoval(FolderForRemoval installation)
    : installation_(std::move(installation)) {
  if (installation_.kind() != FolderForRemoval::Kind::kFolder) return;
  own_ = IdentityOf(installation_.handle());
  installation_path_ = installation_.path();
  above_ = HoldFolderAbove(installation_.handle(), installation_name_, above_path_);
  if (!above_) return;
  above_identity_ = IdentityOf(above_.get());
  library_ = HoldFolderAbove(above_.get(), above_name_, library_path_);
}

HANDLE InstallationRemoval::installation() const {
  return installation_.kind() == FolderForRemoval::Kind::kFolder ? installation_.handle() : nullptr;
}

bool InstallationRemoval::IsInPlace() const {
  if (!above_ || FinalPathOf(installation_.handle()) != installation_path_ ||
      FinalPathOf(above_.get()) != above_path_ ||
      IdentityOf(OpenChildToLook(above_.get(), installation_name_).get()) != own_)
    return false;
  return !library_ || (FinalPathOf(library_.get()) == library_path_ &&
                       IdentityOf(OpenChildToLook(library_.get(), above_name_).get()) == above_identity_);
}

bool InstallationRemoval::ReopenInstallation() {
  const std::wstring named = AbsolutePath(GameProfile.install_dir);
  // The hold forbids the delete access it is opened with now.
  installation_.Close();
  UniqueFileHandle handle =
      above_ ? OpenChild(above_.get(), installation_name_, EntryKind::kFolder) : UniqueFileHandle();
  if (named.empty() || !IsEntryItself(handle.get(), EntryName(above_.get()), installation_name_) ||
      IdentityOf(handle.get()) != own_) {
    installation_ = FolderForRemoval();
    return false;
  }
  installation_ = JudgeFolderForRemoval(std::move(handle), named, own_);
  return installation_.kind() == FolderForRemoval::Kind::kFolder;
}

bool InstallationRemoval::OpenGameRoot() {
  // Only an installation folder named exactly "app" has a game root, and
  // only below an ordinary folder, as named and where it really is.
  std::wstring named = GameProfile.install_dir;
  while (!named.empty() && (named.back() == L'\\' || named.back() == L'/')) named.pop_back();
  const size_t slash = named.find_last_of(L"\\/");
  const std::wstring named_parent = slash == std::wstring::npos ? std::wstring() : AbsolutePath(named.substr(0, slash));
  has_game_root_ = installation_name_ == L"app" && named.compare(slash + 1, std::wstring::npos, L"app") == 0 &&
                   IsRemovableLocation(above_path_) && !named_parent.empty() &&
                   IsRemovableLocation(named_parent);
  if (!has_game_root_) return true;
  if (!library_) return false;
  above_.reset();  // as the installation's hold, it forbids what it is opened with now
  UniqueFileHandle handle = OpenChild(library_.get(), above_name_, EntryKind::kFolder);
  if (!IsEntryItself(handle.get(), EntryName(library_.get()), above_name_) ||
      IdentityOf(handle.get()) != above_identity_)
    return false;
  game_root_ = JudgeFolderForRemoval(std::move(handle), above_path_, own_);
  if (game_root_.kind() == FolderForRemoval::Kind::kFolder) return true;
  game_root_ = FolderForRemoval();  // not the game's
  return false;
}

bool InstallationRemoval::RemoveAllButUninstaller(const std::wstring& uninstaller) {
  uninstaller_ = uninstaller;
  try {
    const bool folder = installation_.kind() == FolderForRemoval::Kind::kFolder;
    const bool in_place = folder && IsInPlace();
    if (folder && !in_place)
      LogLine(L"refused: the installation folder or a folder held above it is no longer where it was held: "
              L"nothing outside the installation folder is removed");
    // What is no longer where it was held names no shortcut.
    const InstallationNames names =
        !folder    ? NamesOfInstallation(GameProfile.install_dir, FinalPathOf(installation_.handle()))
        : in_place ? NamesOfInstallation(GameProfile.install_dir, installation_path_)
                   : InstallationNames();
    RemoveDesktopShortcut(names);
    if (in_place) RemoveSharedCache(library_.get(), library_path_, own_);
    const bool reopened = folder && ReopenInstallation();
    const bool root_held = in_place && OpenGameRoot();
    const bool emptied = reopened && EmptyFolder(installation_, {uninstaller_, kDescriptor});
    LogLine(L"installation folder %s: %s",
            installation_path_.empty() ? GameProfile.install_dir.c_str() : installation_path_.c_str(),
            !folder     ? L"refused: not a folder that can be held (a link in its place?)"
            : !reopened ? L"left: it cannot be opened to delete it where it was held"
            : emptied   ? L"all but the uninstaller and the descriptor removed"
                        : L"left: something in it stays");
    bool complete = emptied && root_held;
    if (in_place && !root_held) LogLine(L"game root: refused: not where the installation is, or not the game's");
    if (game_root_) {
      complete = EmptyFolder(game_root_, {installation_name_}) && complete;
      LogLine(L"game root %s: %s", game_root_.path().c_str(), complete ? L"all but the installation folder removed" : L"left: something in it stays");
    }
    RemoveStartMenuFolder(names);
    return complete;
  } catch (...) {
    // Out of memory: the game stays, and the caller says so.
    return false;
  }
}

bool InstallationRemoval::HoldRemainder() {
  remainder_.clear();
  if (installation_.kind() != FolderForRemoval::Kind::kFolder) return false;
  try {
    return HoldEachOfTheRemainder();
  } catch (...) {
    remainder_.clear();  // out of memory: nothing more goes
    return false;
  }
}

bool InstallationRemoval::HoldEachOfTheRemainder() {
  const HANDLE folder = installation_.handle();
  const std::wstring path = installation_.path();
  UniqueFileHandle file, res, data, descriptor, installation, root;
  bool held = HoldIfThere(folder, uninstaller_, EntryKind::kFile, file) &&
              HoldIfThere(folder, L"res", EntryKind::kFolder, res) &&
              (!res || HoldIfThere(res.get(), L"data", EntryKind::kFolder, data)) &&
              (!data || HoldIfThere(data.get(), L"init.dat", EntryKind::kFile, descriptor));
  // The folders themselves, opened again from the folder above: their own
  // handles forbid what they are opened with now.
  const std::wstring root_path = game_root_.path();
  installation_.Close();
  held = held && HoldFolderAgain(game_root_ ? game_root_.handle() : above_.get(), installation_name_, own_,
                                 installation);
  game_root_.Close();
  held = held && (!has_game_root_ || HoldFolderAgain(library_.get(), above_name_, above_identity_, root));
  if (!held) return false;
  remainder_.emplace_back(std::move(file), path + L"\\" + uninstaller_);
  remainder_.emplace_back(std::move(descriptor), path + L"\\" + kDescriptor);
  remainder_.emplace_back(std::move(data), path + L"\\res\\data");
  remainder_.emplace_back(std::move(res), path + L"\\res");
  remainder_.emplace_back(std::move(installation), path);
  remainder_.emplace_back(std::move(root), root_path);
  return true;
}

bool InstallationRemoval::RemoveRemainder() {
  bool gone = !remainder_.empty();
  for (auto& [handle, path] : remainder_) {
    if (!handle) continue;
    const bool marked = MarkForDeletion(handle.get());
    handle.reset();
    const bool removed =
        marked && ::GetFileAttributesW(ExtendedPath(path).c_str()) == INVALID_FILE_ATTRIBUTES;
    ReportRemovalStep(path, removed ? RemovalStep::kRemoved : RemovalStep::kLeft);
    gone = gone && removed;
  }
  remainder_.clear();
  return gone;
}

bool RemoveInstallation() {
  const std::wstring install_dir = GameProfile.install_dir;
  FolderForRemoval installation =
      DirectoryExists(install_dir) ? HoldFolderForRemoval(install_dir, FileIdentity()) : FolderForRemoval();
  if (!installation) {
    // Nothing of it to hold: the other steps still run.
    const UniqueFileHandle there = OpenFolderToList(install_dir);
    const std::wstring real = there ? FinalPathOf(there.get()) : std::wstring();
    // One that is there but cannot be told where it is gives no names.
    const InstallationNames names = there && real.empty() ? InstallationNames() : NamesOfInstallation(install_dir, real);
    RemoveDesktopShortcut(names);
    const std::wstring library_path = NamedLibrary();
    const UniqueFileHandle library = library_path.empty() ? UniqueFileHandle() : OpenFolderToList(library_path);
    RemoveSharedCache(library ? library.get() : nullptr, library_path, FileIdentity());
    RemoveStartMenuFolder(names);
    return !AbsolutePath(install_dir).empty() && !IsFolderThere(install_dir);
  }
  InstallationRemoval removal(std::move(installation));
  return removal.RemoveAllButUninstaller(UninstallerFileName()) && removal.HoldRemainder() &&
         removal.RemoveRemainder();
}
