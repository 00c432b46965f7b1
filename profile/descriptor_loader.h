#pragma once

#include <string>

// Reads `directory` + "res\data\init.dat" (at most 4,095 bytes, a JSON
// object of string members) into the descriptor fields of GameProfile.
// `directory` must end with a backslash. Whatever cannot be read leaves the
// fields as they were; nothing is reported.
void LoadGameProfile(const std::wstring& directory);
