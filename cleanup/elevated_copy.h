#pragma once
// The copy of the uninstaller that the relocation stage starts, elevated, for
// the removal. The user's temporary folder is writable by every process of
// that user, so the copy goes into a new folder there that only
// administrators can write, is held so that nobody can change or replace it,
// and is started directly, without consulting the shell.

#include <windows.h>

#include <string>
#include <vector>

#include "common/unique_resource.h"

class ElevatedCopy {
 public:
  ElevatedCopy() = default;
  ElevatedCopy(ElevatedCopy&&) = default;
  ElevatedCopy& operator=(ElevatedCopy&&) = default;

  explicit operator bool() const { return file_.valid(); }
  // <temporary folder>\g_uninstall_<32 hexadecimal digits>\g_uninstall_<tick>.exe
  const std::wstring& path() const { return path_; }

  // Starts the copy, window hidden, with `parameters` after its quoted path.
  // Its process handle is kept open (it ends with this process). True when
  // it started.
  bool Start(const std::wstring& parameters);

  // Deletes the copy and its folder.
  void Discard();

 private:
  friend ElevatedCopy MakeElevatedCopy(const std::wstring&, const std::wstring&, DWORD);
  UniqueFileHandle folder_;  // held without delete sharing
  UniqueFileHandle file_;    // read and delete access; shares reading only
  std::wstring path_;
};

// Copies `source` into a new folder of `temp_folder` (ending in "\") made
// with ProtectedFolderSecurity(), as g_uninstall_<tick>.exe, created new and
// checked to hold the source's bytes once nobody else can write it. Invalid,
// with nothing left behind, when any step fails.
ElevatedCopy MakeElevatedCopy(const std::wstring& source, const std::wstring& temp_folder,
                              DWORD tick);

// The folder's security descriptor as text: owner Administrators, a
// protected list (nothing inherited) of full control for Administrators and
// SYSTEM and read and execute for the user the process runs as, each passed
// on to the files inside. "" when the user cannot be told.
std::wstring ProtectedFolderSecurity();

// Removes from `temp_folder` the folders that earlier runs made (their exact
// name, holding nothing but one g_uninstall_<digits>.exe) whose copy is not
// running. Nothing else is touched.
void SweepEarlierCopies(const std::wstring& temp_folder);
