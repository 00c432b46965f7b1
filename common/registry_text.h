#pragma once
// Text values of the registry, as the program's own checks read them.

#include <windows.h>

#include <string>

// The value `name` (nullptr: the default value) of the open key `key` as it
// is stored, when it is a REG_SZ or REG_EXPAND_SZ of fewer than 1,024
// characters; "" otherwise.
std::wstring RegistryText(HKEY key, const wchar_t* name);
