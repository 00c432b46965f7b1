#pragma once
// The removal of the game's installation, after the user has confirmed and
// no game process is left, in the order it must go. Each step takes what the
// step before returns, so that no step can run before the one whose holds it
// relies on:
//
//   HeldInstallation held(HoldFolderForRemoval(...));  // before the question
//   held.Refusal();                                    // judged before it too
//   RemovalRest rest = RemoveAllButUninstaller(std::move(held), uninstaller);
//   HeldRemainder remainder = HoldRemainder(std::move(rest));
//   // the registration goes here, then the first process is told
//   RemoveRemainder(std::move(remainder));
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

#include <string>
#include <utility>
#include <vector>

#include "cleanup/files/folder_for_removal.h"

// What a removal holds of the installation and the folders above it.
struct InstallationHolds {
  FolderForRemoval installation;
  FileIdentity own;
  std::wstring installation_path;  // where it was held
  std::wstring installation_name;  // its name in the folder above
  UniqueFileHandle above;          // the folder above, held to look
  std::wstring above_path, above_name;
  FileIdentity above_identity;
  UniqueFileHandle library;        // the folder above that, held to look
  std::wstring library_path;
  bool has_game_root = false;      // the folder above is the game's root
  FolderForRemoval game_root;      // opened for removal after the answer
};

// The installation, held from before the question to the end: the
// installation folder, so that nobody can rename or move it, and beside it
// the folder above it (the game root, when it is one) and the library above
// that, each where it really is and checked to hold the one below it (file
// identity), none of them renamable while held.
class HeldInstallation {
 public:
  HeldInstallation() = default;
  HeldInstallation(HeldInstallation&&) = default;
  HeldInstallation& operator=(HeldInstallation&&) = default;

  // Takes `installation`, judged and held by HoldFolderForRemoval, and holds
  // the folders above it.
  explicit HeldInstallation(FolderForRemoval installation);

  // The held installation folder, to read its descriptor; null when it is
  // not held as a folder.
  HANDLE installation() const;

  // The folder the removal refuses, judged before the question: the
  // installation folder as named when it is not held as a folder (refused by
  // HoldFolderForRemoval, a link in its place) or the folder above it cannot
  // be held, the game root when it is not the game's to remove (another
  // installation inside it, ...). "" when the removal can go ahead.
  std::wstring Refusal() const;

 private:
  friend class RemovalRest RemoveAllButUninstaller(HeldInstallation held,
                                                  const std::wstring& uninstaller);
  InstallationHolds holds_;
};

// What is left once all but the uninstaller and the descriptor went.
class RemovalRest {
 public:
  // True when nothing else stays of the installation folder and the game
  // root, and the game's folder in the shared cache is gone.
  bool complete() const { return complete_; }

 private:
  friend RemovalRest RemoveAllButUninstaller(HeldInstallation held,
                                             const std::wstring& uninstaller);
  friend class HeldRemainder HoldRemainder(RemovalRest rest);
  InstallationHolds holds_;
  std::wstring uninstaller_;
  bool complete_ = false;
};

// Removes everything but `uninstaller` and res\data\init.dat (with their
// folders), in the order above, through what `held` holds: when any of it is
// no longer where it was held, nothing outside the installation folder is
// removed and the removal is incomplete, as it is for an installation that
// is a link, a place that could not be held, and when memory runs out.
RemovalRest RemoveAllButUninstaller(HeldInstallation held, const std::wstring& uninstaller);

// What is left, held for deletion: the uninstaller, the descriptor, the
// folders that hold them, the installation folder and the game root.
class HeldRemainder {
 public:
  // False when nothing is held: then nothing more may go.
  explicit operator bool() const { return !entries_.empty(); }

 private:
  friend HeldRemainder HoldRemainder(RemovalRest rest);
  friend bool RemoveRemainder(HeldRemainder remainder);
  // In the order they are deleted, each with its path for the report.
  std::vector<std::pair<UniqueFileHandle, std::wstring>> entries_;
};

// Opens what is left for deletion, sharing nothing, so that nobody else can
// hold any of it any more, when the removal so far is complete and those
// folders hold nothing else (a name that lingers because another program
// holds its file open counts as something else). Empty when it is not, when
// any of it cannot be opened so or is read-only: nothing more may go then.
// Lets go of everything else `rest` held, either way.
HeldRemainder HoldRemainder(RemovalRest rest);

// Deletes what HoldRemainder held, each entry before its folder. True when
// all of it is gone.
bool RemoveRemainder(HeldRemainder remainder);

// The uninstaller's file name in the installation folder:
// GameProfile.uninstall_name when it is a plain file name, else
// "uninstall.exe".
std::wstring UninstallerFileName();

// All steps for GameProfile.install_dir, for a removal that no uninstaller
// waits on: nothing goes when the removal refuses the installation; only
// the steps outside it run when it is not there. Returns whether the
// installation folder and the game root are gone afterwards.
bool RemoveInstallation();
