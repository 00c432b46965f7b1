#pragma once
// A registry entry of the game as it was, whole: what the relocation records
// before it deletes the entries and what every way back writes again.

#include <windows.h>

#include <string>
#include <vector>

// One registry value as it was: name ("" for the default), type and bytes.
struct RecordedValue {
  std::wstring name;
  DWORD type = REG_NONE;
  std::string data;
};

// One of the game's entries as it was before the relocation deleted it.
struct RecordedEntry {
  bool machine = true;  // HKEY_LOCAL_MACHINE, else HKEY_CURRENT_USER
  std::wstring path;    // below the hive
  std::vector<RecordedValue> values;
};
