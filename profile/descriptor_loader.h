#pragma once

#include <string>

// Reads `directory` + "res\data\init.dat" (at most 4,095 bytes, a JSON
// object of string members) into the descriptor fields of GameProfile.
// `directory` must end with a backslash. Whatever cannot be read leaves the
// fields as they were; nothing is reported. Returns whether the document was
// read as an object, so that a caller can refuse to act on start values.
bool LoadGameProfile(const std::wstring& directory);
