#pragma once
// The removal of the game's installation, after the user has confirmed and
// no game process is left.

#include <string>
#include <vector>

#include "cleanup/files/folder_for_removal.h"

// The removal of one installation, held from before the question to the
// end: the installation folder, so that nobody can rename or move it, and
// beside it the folder above it (the game root, when it is one) and the
// library above that, each where it really is and checked to hold the one
// below it (file identity), none of them renamable while held. After the
// answer it acts only through what it holds: when any of it is no longer
// where it was held, nothing outside the installation folder is removed and
// the removal is incomplete.
//
// It goes in three steps, so that the uninstaller that started the run and
// the descriptor stay until everything else is gone, and so that the
// outcome is decided before it is told: a removal that cannot finish leaves
// an entry that still names a working uninstaller.
//
// What it removes, reading GameProfile: the desktop shortcut, the game's
// folder in the shared cache, the installation folder, the game root folder
// above it and the game's program folder in the Start menu. The game root
// is the folder above only for an installation folder named exactly "app"
// below an ordinary folder; the cache (<cache_name>\<branch_id>, neither a
// link) is looked at only below an ordinary library. Shortcuts go only when
// they are shortcuts into the installation folder, and the Start-menu folder
// only when nothing else is left in it. A step whose name from the
// descriptor is not a plain name, or whose shell folder cannot be queried,
// does nothing.
class InstallationRemoval {
 public:
  InstallationRemoval() = default;
  InstallationRemoval(InstallationRemoval&&) = default;
  InstallationRemoval& operator=(InstallationRemoval&&) = default;

  // Takes `installation`, judged and held by HoldFolderForRemoval, and holds
  // the folders above it.
  explicit InstallationRemoval(FolderForRemoval installation);

  // The held installation folder, to read its descriptor; null when it is
  // not held as a folder.
  HANDLE installation() const;

  // Everything but `uninstaller` and res\data\init.dat (with their folders),
  // in the order above. True when nothing else of the installation folder
  // and the game root stays; false for an installation that is a link, a
  // place that could not be held or is no longer where it was held, and when
  // memory ran out.
  bool RemoveAllButUninstaller(const std::wstring& uninstaller);

  // Opens what is left (the uninstaller, the descriptor, the folders that
  // hold them, the installation folder and the game root) for deletion,
  // sharing nothing, so that nobody else can hold any of it any more. False
  // when any of it cannot be opened or is read-only; nothing is deleted
  // either way.
  bool HoldRemainder();

  // Deletes what HoldRemainder opened, each entry before its folder. True
  // when all of it is gone.
  bool RemoveRemainder();

 private:
  bool IsInPlace() const;
  bool ReopenInstallation();
  bool OpenGameRoot();
  bool HoldEachOfTheRemainder();

  FolderForRemoval installation_;
  FileIdentity own_;
  std::wstring installation_path_;  // where it was held
  std::wstring installation_name_;  // its name in the folder above
  UniqueFileHandle above_;          // the folder above, held to look
  std::wstring above_path_, above_name_;
  FileIdentity above_identity_;
  UniqueFileHandle library_;        // the folder above that, held to look
  std::wstring library_path_;
  FolderForRemoval game_root_;
  bool has_game_root_ = false;
  std::wstring uninstaller_;
  // HoldRemainder's handles, in the order they are deleted, each with its
  // path for the report.
  std::vector<std::pair<UniqueFileHandle, std::wstring>> remainder_;
};

// All steps for GameProfile.install_dir, for a removal that no uninstaller
// waits on. Returns whether the installation folder and the game root are
// gone afterwards.
bool RemoveInstallation();
