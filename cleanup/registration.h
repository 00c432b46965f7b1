#pragma once
// The game's Windows registration: its Uninstall entry (the line in the list
// of installed programs) and its App Paths entry, machine-wide or for the
// current user. The machine paths name Wow6432Node themselves; no registry
// view flag is ever passed.

#include <windows.h>

#include <string>

// Deletes, one key at a time and never recursively, the machine and user
// Uninstall entries of GameProfile.install_name, then the machine and user
// App Paths entries of GameProfile.exe_name. A key that is absent, has
// subkeys or may not be deleted stays. An empty name skips its two entries,
// so the parent keys are never named.
void DeleteRegistrationKeys();

// Writes the entries again from GameProfile: the machine App Paths and
// Uninstall entries, or, when the machine Uninstall entry cannot be created,
// both entries under the current user. True when an Uninstall entry was
// created and its nine values written (single failed values are passed
// over); false when neither could be created or install_name is empty. An
// empty exe_name skips both App Paths entries.
bool RestoreRegistrationKeys();

// Sets the REG_SZ value `name` (nullptr for the default value) of `key` to
// the whole of `text`. True when the system accepted it.
bool WriteStringValue(HKEY key, const wchar_t* name, const std::wstring& text);
