#pragma once
// What the relocation hands the copy it starts: a record, written into the
// copy's own folder that only administrators can write, and handles the
// copy inherits (the record, the uninstall lock, the way back to the first
// process, which waits for the copy's word, the run's log). An ordinary
// user cannot change either: a process started by the user has no
// inherited handles, whatever its environment says.

#include <windows.h>

#include <string>

#include "cleanup/files/native_files.h"

struct HandoverRecord {
  FileIdentity installation;  // the folder the first process ran from
  std::wstring uninstaller;   // its program file's name in that folder
};

// The record as bytes, and back. Decoding fails for anything that is not a
// record of this program: wrong size or form, an uninstaller name that is
// not a plain file name.
std::string EncodeHandover(const HandoverRecord& record);
bool DecodeHandover(const std::string& bytes, HandoverRecord& record);

// The handles of a hand-over; null where there is none.
struct HandoverHandles {
  HANDLE record = nullptr;   // the record file, to read
  HANDLE lock = nullptr;     // the uninstall lock
  HANDLE outcome = nullptr;  // a pipe to the first process, for the copy's word
  HANDLE first = nullptr;    // the first process, to wait for its end
  HANDLE log = nullptr;      // the run's log, opened to append
};

// The environment variable that carries the handles' values to the copy.
constexpr wchar_t kHandoverVariable[] = L"G_UNINSTALL_HANDOVER";
std::wstring EncodeHandoverHandles(const HandoverHandles& handles);

// Reads the handles this process was handed and removes the variable. Each
// is kept only when it is a real handle (never a pseudo-handle such as the
// current process's) of the right kind: a disk file, a mutex, a pipe, the
// process that started this one, and a disk file that is no folder; its
// owner checks the lock's name too.
HandoverHandles TakeHandoverHandles();

// Reads the record through the inherited handle; false when there is none
// or it is not the program's own.
bool ReadHandoverRecord(HANDLE file, HandoverRecord& record);

// The name of the record in the copy's folder.
constexpr wchar_t kHandoverRecordName[] = L"g_uninstall.dat";
