#pragma once
// Loading of optional system DLLs at their point of use. The program runs
// elevated from a user-writable folder, so a DLL is only ever taken from the
// system folder, never from beside the program or the current folder.

#include "common/unique_resource.h"

// Loads `name` (a bare file name such as L"wininet.dll") from the system
// folder. Returns an empty owner when it cannot be loaded.
UniqueLibrary LoadSystemLibrary(const wchar_t* name);

// Restricts the process's DLL search to the system folder. Called first in
// the entry; does nothing on a system without the call.
void RestrictDllSearchToSystem();

// Has the system refuse, for this process, links that non-administrators
// created (where it offers that: recent Windows 10 and 11); elsewhere, Wine
// included, nothing changes.
void EnforceRedirectionTrust();

// Looks up `name` in `module` as a function of type F; null when absent.
template <typename F>
F GetLibraryFunction(const UniqueLibrary& module, const char* name) {
  if (!module) return nullptr;
  return reinterpret_cast<F>(reinterpret_cast<void*>(::GetProcAddress(module.get(), name)));
}

// Looks up `name` in `module`, a system DLL the process has loaded already
// (ntdll, kernel32, user32, advapi32), as a function of type F; null when the
// module is not loaded or lacks it. Never loads anything.
template <typename F>
F GetLoadedFunction(const wchar_t* module, const char* name) {
  const HMODULE loaded = ::GetModuleHandleW(module);
  if (loaded == nullptr) return nullptr;
  return reinterpret_cast<F>(reinterpret_cast<void*>(::GetProcAddress(loaded, name)));
}
