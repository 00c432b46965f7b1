#pragma once
// The removal of the game's installation, after the user has confirmed and
// no game process is left.

// Removes, reading GameProfile, in this order: the desktop shortcut, the
// game's folder in the shared cache, the installation folder, the game root
// folder above it, and the game's program folder in the Start menu. Every
// step is independent and silent; what cannot be removed stays. Shortcuts go
// only when they are shortcuts into the installation folder, and the
// Start-menu folder only when nothing else is left in it. A step whose
// name from the descriptor is not a plain name (IsPlainName), whose folder
// its judge refuses (OpenFolderForRemoval), or whose shell folder cannot be
// queried does nothing; the shared cache is looked at only below a library
// folder (two above the installation folder) that is an ordinary folder. The
// game root is the parent of the installation folder only when the
// installation folder's own name is exactly "app". Returns whether the
// installation folder and the game root are gone afterwards.
bool RemoveInstallation();
