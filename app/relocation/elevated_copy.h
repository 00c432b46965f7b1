#pragma once
// The copy of the uninstaller that the relocation stage starts, elevated, for
// the removal. The user's temporary folder is writable by every process of
// that user, so the copy goes into a new folder there that only
// administrators can write, is held so that nobody can change or replace it,
// and is started directly, without consulting the shell.

#include <windows.h>

#include <string>
#include <vector>

#include "app/relocation/handover.h"
#include "common/unique_resource.h"

class ElevatedCopy {
 public:
  ElevatedCopy() = default;
  ElevatedCopy(ElevatedCopy&&) = default;
  ElevatedCopy& operator=(ElevatedCopy&&) = default;

  explicit operator bool() const { return file_.valid(); }
  // <temporary folder>\g_uninstall_<32 hexadecimal digits>\g_uninstall_<tick>.exe
  const std::wstring& path() const { return path_; }

  // Writes `bytes` as the hand-over record beside the copy, created new and
  // held, so that nobody else writes it. True when all of it was written.
  bool WriteRecord(const std::string& bytes);

  // Starts the copy, window hidden, with `parameters` after its quoted path,
  // by the path of the held copy, which nobody can change while it is held;
  // it starts suspended and runs only once its image is the held copy. It
  // inherits the record, `handles.lock` and `handles.outcome` (both made
  // inheritable by the caller), the log `handles.log` and a handle to this
  // process, their values in its environment, and nothing else: no standard
  // handle. Returns its
  // process handle; invalid when it did not start, or when a handle could
  // not be put on its list of inherited handles.
  UniqueHandle Start(const std::wstring& parameters, const HandoverHandles& handles);

  // Deletes the record, the copy and its folder.
  void Discard();

 private:
  friend ElevatedCopy MakeElevatedCopy(HANDLE, const std::wstring&, DWORD);
  std::vector<UniqueFileHandle> ancestors_;  // the folders above, none renamable
  UniqueFileHandle folder_;  // held without delete sharing
  UniqueFileHandle file_;    // read and delete access; shares reading only
  UniqueFileHandle record_;  // written by this process only
  std::wstring path_;
};

// Copies the open file `source` into a new folder of `temp_folder` (ending
// in "\") made with ProtectedFolderSecurity(), as g_uninstall_<tick>.exe,
// created new and checked to hold the source's bytes once nobody else can
// write it. Every folder above the new one is held from before it is made
// until the copy has started, so that no name on the copy's path can be
// changed. Invalid, with nothing left behind, when any step fails.
ElevatedCopy MakeElevatedCopy(HANDLE source, const std::wstring& temp_folder, DWORD tick);

// The folder's security descriptor as text: owner Administrators, a
// protected list (nothing inherited) of full control for Administrators and
// SYSTEM and read and execute for the user the process runs as, each passed
// on to the files inside. "" when the user cannot be told.
std::wstring ProtectedFolderSecurity();

// Removes from `temp_folder` the folders that earlier runs made (their exact
// name, holding nothing but one g_uninstall_<digits>.exe and maybe the
// hand-over record) whose copy is not running. Nothing else is touched. It
// looks at a bounded number of entries named g_uninstall_*, and no failure
// (out of memory included) leaves it.
void SweepEarlierCopies(const std::wstring& temp_folder);

// Where the copy is made: `temp_folder` (ending in "\") when it really lies
// on a local fixed disk; when it lies elsewhere (a network share, a remote or
// removable drive), the system's own temporary folder (<Windows
// folder>\Temp\, which ordinary users can neither list nor rename) when that
// does. "" when `temp_folder` cannot be opened or told, or neither is local.
std::wstring LocalCopyFolder(const std::wstring& temp_folder);
