#pragma once
// The removal of the game's installation, after the user has confirmed and
// no game process is left.

#include <string>

#include "cleanup/files/folder_for_removal.h"

// The removal of one installation, held from before the question to the
// end. It goes in two steps, so that the uninstaller that started the run
// and the descriptor stay until everything else is gone: a removal that
// cannot finish leaves an entry that still names a working uninstaller.
//
// What it removes, reading GameProfile: the desktop shortcut, the game's
// folder in the shared cache, the installation folder, the game root folder
// above it and the game's program folder in the Start menu. The game root
// and the cache are reached from where the held folder really is (its
// parent; the library two levels up, then the cache names), and each must
// really lie there: a link on that part of the way is refused, never
// followed. The game root is the parent only for an installation folder
// named exactly "app" below an ordinary folder; the cache is looked at only
// below an ordinary library. Shortcuts go only when they are shortcuts into
// the installation folder, and the Start-menu folder only when nothing else
// is left in it. A step whose name from the descriptor is not a plain name,
// or whose shell folder cannot be queried, does nothing.
class InstallationRemoval {
 public:
  // `installation`: the judged, held installation folder; `uninstaller`:
  // the uninstaller's file name in it.
  InstallationRemoval(FolderForRemoval installation, std::wstring uninstaller);

  // Everything but the uninstaller and res\data\init.dat (with their
  // folders), in the order above. True when nothing else of the
  // installation folder and the game root stays; false for an installation
  // that is a link, a game root that cannot be held, and when memory ran
  // out.
  bool RemoveAllButUninstaller();

  // Then the uninstaller, the descriptor, the installation folder and the
  // game root. True when both folders are gone.
  bool RemoveUninstaller();

 private:
  bool FindGameRoot(const FileIdentity& own);

  FolderForRemoval installation_;
  FolderForRemoval game_root_;
  std::wstring game_root_entry_;  // the installation folder's name in it
  std::wstring uninstaller_;
  bool has_game_root_ = false;
};

// Both steps for GameProfile.install_dir, for a removal that no uninstaller
// waits on. Returns whether the installation folder and the game root are
// gone afterwards.
bool RemoveInstallation();
