#pragma once
// The removal of the game's installation, after the user has confirmed and
// no game process is left.

// Removes, reading GameProfile, in this order: the desktop shortcut, the
// game's folder in the shared cache, the installation folder, the game root
// folder above it, and the game's program folder in the Start menu. Every
// step is independent and silent; what cannot be removed stays. A step whose
// name from the descriptor is not a plain name (IsPlainName), whose folder is
// not a safe removal target (IsSafeRemovalTarget), or whose shell folder
// cannot be queried does nothing. The game root is the parent of the
// installation folder only when the installation folder's own name is
// exactly "app".
void RemoveInstallation();
