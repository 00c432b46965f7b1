#pragma once
// The game's Windows registration: its Uninstall entry (the line in the list
// of installed programs) and its App Paths entry, machine-wide or for the
// current user. The machine paths name Wow6432Node themselves; no registry
// view flag is ever passed.
//
// The names come from a descriptor that ordinary users can often write, so
// an entry is deleted or written only when it is this game's: an Uninstall
// entry whose InstallLocation, UninstallString or DisplayIcon names the
// installation folder (GameProfile.install_dir), an App Paths entry whose
// default value names a file in it. Another program's entry of the same name
// is left exactly as it is.

#include <windows.h>

#include <string>

// Deletes, one key at a time and never recursively, the machine and user
// Uninstall entries of GameProfile.install_name, then the machine and user
// App Paths entries of GameProfile.exe_name, each only when it is this
// game's. A key that is absent, another program's, has subkeys or may not be
// deleted stays. A name that is not a plain key name (IsPlainKeyName) skips
// its two entries.
void DeleteRegistrationKeys();

// Writes the entries again from GameProfile: the machine App Paths and
// Uninstall entries, or, when the machine Uninstall entry cannot be created
// or is another program's, both entries under the current user. An entry is
// written only when it is absent or this game's. True when an Uninstall
// entry was written (single failed values are passed over); false when none
// could be, or install_name is not a plain key name. An exe_name that is not
// a plain key name skips both App Paths entries.
bool RestoreRegistrationKeys();

// The uninstaller's file name for the entries: GameProfile.uninstall_name
// when it is a plain file name, else "uninstall.exe".
std::wstring UninstallerFileName();

// Sets the REG_SZ value `name` (nullptr for the default value) of `key` to
// the whole of `text`. True when the system accepted it.
bool WriteStringValue(HKEY key, const wchar_t* name, const std::wstring& text);
