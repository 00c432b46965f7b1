#pragma once

#include <windows.h>

#include <string>

// Reads `directory` + "res\data\init.dat" (at most 4,095 bytes, a JSON
// object of string members) into the descriptor fields of GameProfile.
// `directory` must end with a backslash. Whatever cannot be read leaves the
// fields as they were; nothing is reported. Returns whether the document was
// read as an object, so that a caller can refuse to act on start values.
bool LoadGameProfile(const std::wstring& directory);

// The same for the descriptor at `relative` below the open folder `folder`,
// read only as a plain file: no link on its way, no pipe or device.
bool LoadGameProfileIn(HANDLE folder, const std::wstring& relative = L"res\\data\\init.dat");
