#pragma once
// The game's shortcuts, on the desktop and in its Start-menu folder. Their
// names come from a descriptor ordinary users can often write, so a shortcut
// goes only when the shell's link object reads it as a shortcut whose target
// lies in the game's installation folder. Each is opened relative to its
// folder's handle, read, judged and deleted through that one handle; nothing
// is looked up again by name.

#include <string>
#include <vector>

// The absolute names of the installation folder (as named, and where it
// really is); a target in one of them is the game's.
using InstallationNames = std::vector<std::wstring>;

// Deletes the shortcut `file_name` of `folder` when it is one into the
// installation, and tells the shell. Returns whether it went.
bool RemoveGameShortcut(const std::wstring& folder, const std::wstring& file_name,
                        const InstallationNames& installation);

// Deletes from the folder `name` of `parent` the shortcuts (.lnk) into the
// installation, then that folder when nothing else is left in it and it is
// no protected folder (IsRemovableLocation); tells the shell. A link in place
// of the folder is not entered, and what is not a shortcut into the
// installation stays, with the folder.
void RemoveShortcutFolder(const std::wstring& parent, const std::wstring& name,
                          const InstallationNames& installation);
