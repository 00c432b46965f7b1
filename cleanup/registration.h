#pragma once
// The game's Windows registration: its Uninstall entry (the line in the list
// of installed programs) and its App Paths entry, machine-wide or for the
// current user. The machine paths name Wow6432Node themselves; no registry
// view flag is ever passed.
//
// The registration is what tells the user and the system that the game is
// installed, so it goes last: each entry is opened and judged before the user
// is asked, kept open, and deleted through that same handle once everything
// else of the game is gone. Nothing here writes to the registry, and until
// that last step nothing is deleted, so a run that ends at any moment before
// it leaves the game listed exactly as its installer left it.
//
// The names come from a descriptor that ordinary users can often write, so
// an entry is the game's only when it says so: an Uninstall entry whose
// InstallLocation is the installation folder (GameProfile.install_dir), or
// whose UninstallString or DisplayIcon names a program directly in it; an
// App Paths entry whose default value names a file directly in it. Another
// program's entry of the same name, a program in a subfolder of the
// installation included, is never touched. `install_name` and `exe_name`
// name a key only when they are plain key names (IsPlainKeyName), so the
// parent keys that hold every program's entries are never named.

#include <windows.h>

#include <string>
#include <vector>

#include "common/unique_resource.h"

class GameEntries {
 public:
  GameEntries() = default;
  GameEntries(GameEntries&&) = default;
  GameEntries& operator=(GameEntries&&) = default;

  // Opens and judges the entries GameProfile names: those that are the
  // game's stay open, to be deleted through the same handles.
  static GameEntries Open();

  // The first entry of the game's that cannot be deleted, as
  // "HKEY_LOCAL_MACHINE\<path>": one with a subkey, one whose deletion the
  // system refuses, and one that is there but cannot be opened or read to
  // be judged. "" when every entry of the game's can go.
  const std::wstring& undeletable() const { return undeletable_; }

  // How many entries of the game's are open.
  size_t size() const { return keys_.size(); }

  // Deletes the open entries, one key each and never recursively, through
  // the handles they were judged by: the App Paths entries first, the
  // Uninstall entries, which list the game, last. Stops at the first that
  // does not go (a subkey added since, ...), which `left` then names. An
  // entry someone else deleted meanwhile counts as gone. True when every
  // entry of the game's is gone; never for a set with an undeletable entry.
  bool DeleteAll(std::wstring& left);

 private:
  struct Entry {
    UniqueKey key;
    std::wstring name;  // for the log and the user
  };
  std::vector<Entry> keys_;
  std::wstring undeletable_;
};
