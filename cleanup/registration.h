#pragma once
// The game's Windows registration: its Uninstall entry (the line in the list
// of installed programs) and its App Paths entry, machine-wide or for the
// current user. The machine paths name Wow6432Node themselves; no registry
// view flag is ever passed.
//
// The names come from a descriptor that ordinary users can often write, so
// an entry is deleted or written only when it is this game's: an Uninstall
// entry whose InstallLocation is the installation folder
// (GameProfile.install_dir), or whose UninstallString or DisplayIcon names a
// program directly in it; an App Paths entry whose default value names a
// file directly in it. Another program's entry of the same name, a program
// in a subfolder of the installation included, is left exactly as it is.

#include <windows.h>

#include <string>
#include <vector>

#include "cleanup/recorded_entry.h"
#include "common/unique_resource.h"

// The game's entries, each opened once, judged, and recorded whole: every
// value with its name, type and bytes. Deleted later through the same open
// keys.
class RegistrationSnapshot {
 public:
  // Opens and records the entries GameProfile names that are this game's.
  RegistrationSnapshot();
  const std::vector<RecordedEntry>& entries() const { return entries_; }
  // False when an entry of the game could not be read whole.
  bool complete() const { return complete_; }
  // Deletes the recorded entries, one key each, never recursively (a key
  // with subkeys stays).
  void DeleteAll();

 private:
  std::vector<UniqueKey> keys_;
  std::vector<RecordedEntry> entries_;
  bool complete_ = true;
};

// Writes back exactly what was recorded: each entry that is missing is
// created in its hive, at its path, with exactly its values; one that is
// there is left as it is; nothing else is written. An entry that is not one
// of the game's four keys is skipped. True when an Uninstall entry is there
// afterwards.
bool RestoreRecordedEntries(const std::vector<RecordedEntry>& entries);

// Whether `entry` names one of the game's four keys: a fixed Uninstall or
// App Paths parent of its hive followed by a plain key name.
bool IsGameEntryKey(const RecordedEntry& entry);

// Deletes, one key at a time and never recursively, the machine and user
// Uninstall entries of GameProfile.install_name, then the machine and user
// App Paths entries of GameProfile.exe_name, each only when it is this
// game's. A key that is absent, another program's, has subkeys or may not be
// deleted stays. A name that is not a plain key name (IsPlainKeyName) skips
// its two entries.
void DeleteRegistrationKeys();

// Writes the entries from GameProfile, for a removal that has no record of
// them, only where they are missing: the machine App Paths and Uninstall
// entries, or, when the machine Uninstall entry cannot be created
// or is another program's, both entries under the current user. An entry
// that is there is left as it is. True when the game's Uninstall entry is
// there afterwards (single failed values are passed over); false when none
// could be, or install_name is not a plain key name. An exe_name that is not
// a plain key name skips both App Paths entries.
bool RestoreRegistrationKeys();

// The uninstaller's file name for the entries: GameProfile.uninstall_name
// when it is a plain file name, else "uninstall.exe".
std::wstring UninstallerFileName();

// Sets the REG_SZ value `name` (nullptr for the default value) of `key` to
// the whole of `text`. True when the system accepted it.
bool WriteStringValue(HKEY key, const wchar_t* name, const std::wstring& text);
