#include "cleanup/installation_removal.h"

#include <windows.h>
#include <shlobj.h>

#include <string>

#include "cleanup/files/folder_for_removal.h"
#include "cleanup/files/native_files.h"
#include "cleanup/files/path_operations.h"
#include "cleanup/files/removal_safety.h"
#include "cleanup/files/shell_folders.h"
#include "cleanup/shortcut_removal.h"
#include "cleanup/files/tree_removal.h"
#include "common/run_log.h"
#include "common/text.h"
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
// opened one at a time from it, neither of which may be a link. False when
// the game's folder is there and something in it stays.
bool RemoveSharedCache(HANDLE library, const std::wstring& library_path, const FileIdentity& own) {
  if (!IsPlainName(GameProfile.cache_name) || !IsPlainName(GameProfile.branch_id) ||
      NamedLibrary().empty())
    return true;
  if (library == nullptr || !IsRemovableLocation(library_path)) {
    LogLine(L"shared cache: refused: the library is not where the installation is, or not an ordinary folder");
    return true;
  }
  const std::wstring relative = GameProfile.cache_name + L"\\" + GameProfile.branch_id;
  FolderForRemoval cache = OpenFolderBelow(library, library_path, relative, own);
  if (!cache) {
    LogLine(L"shared cache %s\\%s: not there, or refused (a link on its way, or not the game's)",
            library_path.c_str(), relative.c_str());
    return true;
  }
  const std::wstring path = cache.path();
  const bool removed = RemoveFolderTree(std::move(cache));
  LogLine(L"shared cache %s: %s", path.c_str(), removed ? L"removed" : L"left: something in it stays");
  return removed;
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

// Whether the open folder `folder`, held so that nobody else may open it,
// holds nothing but entries named in `names` (case ignored).
bool HoldsOnly(HANDLE folder, std::initializer_list<std::wstring> names) {
  std::vector<FolderEntry> entries;
  if (!ListHeldFolderEntries(folder, entries)) return false;
  for (const FolderEntry& entry : entries) {
    bool named = false;
    for (const std::wstring& name : names) named = named || SameName(entry.name, name);
    if (!named) return false;
  }
  return true;
}

// Whether the held folders are still where they were held, each in the one
// above it.
bool IsInPlace(const InstallationHolds& h) {
  if (!h.above || FinalPathOf(h.installation.handle()) != h.installation_path ||
      FinalPathOf(h.above.get()) != h.above_path ||
      IdentityOf(OpenChildToLook(h.above.get(), h.installation_name).get()) != h.own)
    return false;
  return !h.library || (FinalPathOf(h.library.get()) == h.library_path &&
                        IdentityOf(OpenChildToLook(h.library.get(), h.above_name).get()) == h.above_identity);
}

// Opens the held installation folder again, from the folder above, to
// delete what is in it; the hold forbids the delete access it is opened with
// now, so it goes first.
bool ReopenInstallation(InstallationHolds& h) {
  const std::wstring named = AbsolutePath(GameProfile.install_dir);
  h.installation.Close();
  UniqueFileHandle handle =
      h.above ? OpenChild(h.above.get(), h.installation_name, EntryKind::kFolder) : UniqueFileHandle();
  if (named.empty() || !IsEntryItself(handle.get(), EntryName(h.above.get()), h.installation_name) ||
      IdentityOf(handle.get()) != h.own) {
    h.installation = FolderForRemoval();
    return false;
  }
  h.installation = JudgeFolderForRemoval(std::move(handle), named, h.own);
  return h.installation.kind() == FolderForRemoval::Kind::kFolder;
}

// Opens the game root for removal, from the library, when there is one:
// true when there is none, or it is opened and still the game's.
bool OpenGameRoot(InstallationHolds& h) {
  if (!h.has_game_root) return true;
  if (!h.library) return false;
  h.above.reset();  // as the installation's hold, it forbids what it is opened with now
  UniqueFileHandle handle = OpenChild(h.library.get(), h.above_name, EntryKind::kFolder);
  if (!IsEntryItself(handle.get(), EntryName(h.library.get()), h.above_name) ||
      IdentityOf(handle.get()) != h.above_identity)
    return false;
  h.game_root = JudgeFolderForRemoval(std::move(handle), h.above_path, h.own);
  if (h.game_root.kind() == FolderForRemoval::Kind::kFolder) return true;
  h.game_root = FolderForRemoval();  // not the game's
  return false;
}

// Holds what is left of `h` for deletion into `remainder`, each entry before
// its folder. False, with nothing held, when any of it cannot be held or a
// folder of it holds anything else.
bool HoldEachOfTheRemainder(InstallationHolds& h, const std::wstring& uninstaller,
                            std::vector<std::pair<UniqueFileHandle, std::wstring>>& remainder) {
  const HANDLE folder = h.installation.handle();
  const std::wstring path = h.installation.path();
  UniqueFileHandle file, res, data, descriptor, installation, root;
  bool held = HoldIfThere(folder, uninstaller, EntryKind::kFile, file) &&
              HoldIfThere(folder, L"res", EntryKind::kFolder, res) &&
              (!res || HoldIfThere(res.get(), L"data", EntryKind::kFolder, data)) &&
              (!data || HoldIfThere(data.get(), L"init.dat", EntryKind::kFile, descriptor));
  // Nothing else is left in them, not even a name that lingers because
  // another program holds its file open.
  held = held && (!res || HoldsOnly(res.get(), {L"data"})) && (!data || HoldsOnly(data.get(), {L"init.dat"}));
  // The folders themselves, opened again from the folder above: their own
  // handles forbid what they are opened with now.
  const std::wstring root_path = h.game_root.path();
  h.installation.Close();
  held = held &&
         HoldFolderAgain(h.game_root ? h.game_root.handle() : h.above.get(), h.installation_name, h.own,
                         installation) &&
         HoldsOnly(installation.get(), {uninstaller, L"res"});
  h.game_root.Close();
  held = held && (!h.has_game_root || (HoldFolderAgain(h.library.get(), h.above_name, h.above_identity, root) &&
                                       HoldsOnly(root.get(), {h.installation_name})));
  if (!held) return false;
  remainder.emplace_back(std::move(file), path + L"\\" + uninstaller);
  remainder.emplace_back(std::move(descriptor), path + L"\\" + kDescriptor);
  remainder.emplace_back(std::move(data), path + L"\\res\\data");
  remainder.emplace_back(std::move(res), path + L"\\res");
  remainder.emplace_back(std::move(installation), path);
  remainder.emplace_back(std::move(root), root_path);
  return true;
}

}  // namespace

HeldInstallation::HeldInstallation(FolderForRemoval installation) {
  InstallationHolds& h = holds_;
  h.installation = std::move(installation);
  if (h.installation.kind() != FolderForRemoval::Kind::kFolder) return;
  h.own = IdentityOf(h.installation.handle());
  h.installation_path = h.installation.path();
  h.above = HoldFolderAbove(h.installation.handle(), h.installation_name, h.above_path);
  if (!h.above) return;
  h.above_identity = IdentityOf(h.above.get());
  h.library = HoldFolderAbove(h.above.get(), h.above_name, h.library_path);
  // Only an installation folder named exactly "app" has a game root, and
  // only below an ordinary folder, as named and where it really is.
  std::wstring named = GameProfile.install_dir;
  while (!named.empty() && (named.back() == L'\\' || named.back() == L'/')) named.pop_back();
  const size_t slash = named.find_last_of(L"\\/");
  const std::wstring named_parent =
      slash == std::wstring::npos ? std::wstring() : AbsolutePath(named.substr(0, slash));
  h.has_game_root = h.installation_name == L"app" && slash != std::wstring::npos &&
                    named.compare(slash + 1, std::wstring::npos, L"app") == 0 &&
                    IsRemovableLocation(h.above_path) && !named_parent.empty() &&
                    IsRemovableLocation(named_parent);
}

HANDLE HeldInstallation::installation() const {
  return holds_.installation.kind() == FolderForRemoval::Kind::kFolder ? holds_.installation.handle()
                                                                       : nullptr;
}

std::wstring HeldInstallation::Refusal() const {
  const InstallationHolds& h = holds_;
  if (h.installation.kind() != FolderForRemoval::Kind::kFolder || !h.above) return GameProfile.install_dir;
  if (h.has_game_root && JudgeFolder(h.above.get(), h.above_path, h.own) != FolderForRemoval::Kind::kFolder)
    return h.above_path;
  return std::wstring();
}

RemovalRest RemoveAllButUninstaller(HeldInstallation held, const std::wstring& uninstaller) {
  RemovalRest rest;
  rest.holds_ = std::move(held.holds_);
  rest.uninstaller_ = uninstaller;
  InstallationHolds& h = rest.holds_;
  try {
    const bool folder = h.installation.kind() == FolderForRemoval::Kind::kFolder;
    const bool in_place = folder && IsInPlace(h);
    if (folder && !in_place)
      LogLine(L"refused: the installation folder or a folder held above it is no longer where it was held: "
              L"nothing outside the installation folder is removed");
    // What is no longer where it was held names no shortcut.
    const InstallationNames names =
        !folder    ? NamesOfInstallation(GameProfile.install_dir, FinalPathOf(h.installation.handle()))
        : in_place ? NamesOfInstallation(GameProfile.install_dir, h.installation_path)
                   : InstallationNames();
    RemoveDesktopShortcut(names);
    const bool cache_gone = !in_place || RemoveSharedCache(h.library.get(), h.library_path, h.own);
    const bool reopened = folder && ReopenInstallation(h);
    const bool root_held = in_place && OpenGameRoot(h);
    const bool emptied = reopened && EmptyFolder(h.installation, {uninstaller, kDescriptor});
    LogLine(L"installation folder %s: %s",
            h.installation_path.empty() ? GameProfile.install_dir.c_str() : h.installation_path.c_str(),
            !folder     ? L"refused: not a folder that can be held (a link in its place?)"
            : !reopened ? L"left: it cannot be opened to delete it where it was held"
            : emptied   ? L"all but the uninstaller and the descriptor removed"
                        : L"left: something in it stays");
    bool complete = emptied && root_held && cache_gone;
    if (in_place && !root_held) LogLine(L"game root: refused: not where the installation is, or not the game's");
    if (h.game_root) {
      const bool root_emptied = EmptyFolder(h.game_root, {h.installation_name});
      LogLine(L"game root %s: %s", h.game_root.path().c_str(),
              root_emptied ? L"all but the installation folder removed" : L"left: something in it stays");
      complete = complete && root_emptied;
    }
    RemoveStartMenuFolder(names);
    rest.complete_ = complete;
  } catch (...) {
    // Out of memory: the game stays, and the caller says so.
    rest.complete_ = false;
  }
  return rest;
}

HeldRemainder HoldRemainder(RemovalRest rest) {
  HeldRemainder remainder;
  if (!rest.complete_ || rest.holds_.installation.kind() != FolderForRemoval::Kind::kFolder) return remainder;
  try {
    if (!HoldEachOfTheRemainder(rest.holds_, rest.uninstaller_, remainder.entries_)) remainder.entries_.clear();
  } catch (...) {
    remainder.entries_.clear();  // out of memory: nothing more goes
  }
  return remainder;
}

bool RemoveRemainder(HeldRemainder remainder) {
  bool gone = !remainder.entries_.empty();
  for (auto& [handle, path] : remainder.entries_) {
    if (!handle) continue;
    const bool marked = MarkForDeletion(handle.get());
    handle.reset();
    const bool removed =
        marked && ::GetFileAttributesW(ExtendedPath(path).c_str()) == INVALID_FILE_ATTRIBUTES;
    ReportRemovalStep(path, removed ? RemovalStep::kRemoved : RemovalStep::kLeft);
    gone = gone && removed;
  }
  return gone;
}

std::wstring UninstallerFileName() {
  const std::wstring& name = GameProfile.uninstall_name;
  return IsPlainName(name) ? name : L"uninstall.exe";
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
    (void)RemoveSharedCache(library ? library.get() : nullptr, library_path, FileIdentity());
    RemoveStartMenuFolder(names);
    return !AbsolutePath(install_dir).empty() && !IsFolderThere(install_dir);
  }
  HeldInstallation held(std::move(installation));
  if (!held.Refusal().empty()) return false;
  return RemoveRemainder(HoldRemainder(RemoveAllButUninstaller(std::move(held), UninstallerFileName())));
}
