#pragma once
// One uninstall of an installation at a time, machine-wide: a named object
// that exists while an uninstall holds it. The system releases it when its
// last holder ends, and the relocation passes it to the copy it starts by
// inheritance, so there is no gap between the two processes.

#include <windows.h>

#include "cleanup/files/native_files.h"
#include "common/unique_resource.h"

enum class LockState {
  kHeld,       // this process holds it now
  kBusy,       // another uninstall of the installation holds it
  kUnguarded,  // it cannot be had (the system refuses it, or someone who is
               // not an administrator made the name first): the uninstall
               // goes on without it
};

class UninstallLock {
 public:
  UninstallLock() = default;
  // Takes the lock of the installation `installation` (a folder's
  // identity). `inheritable`: the copy started later inherits it.
  UninstallLock(const FileIdentity& installation, bool inheritable);
  // The lock a relocation passed on: `handle`, inherited, when it is the
  // lock of `installation`; kUnguarded otherwise.
  UninstallLock(HANDLE inherited, const FileIdentity& installation);

  LockState state() const { return state_; }
  HANDLE handle() const { return handle_.get(); }

 private:
  UniqueHandle handle_;
  LockState state_ = LockState::kUnguarded;
};

// The lock's name for `installation`: Global\g_uninstall_<volume>_<index>.
std::wstring UninstallLockName(const FileIdentity& installation);
