#pragma once
// One uninstall of an installation at a time, machine-wide. The lock is a
// kernel object of the global namespace that an administrator makes, owned
// by Administrators and open to Administrators and SYSTEM only, under a name
// nobody can foresee:
//   Global\g_uninstall_<installation's identity>_<32 random hex digits>
// An uninstall makes its own first, then lists the namespace: another of the
// same installation owned by Administrators or SYSTEM is another uninstall
// in progress. Ordinary users can make names of that form, but cannot make
// Administrators their owner: such a name is passed over, so it can neither
// block an uninstall nor let two run. The system releases the object when
// its last holder ends, and the relocation passes it to the copy it starts
// by inheritance, so there is no gap between the two processes.

#include <windows.h>

#include <string>

#include "common/unique_resource.h"

enum class LockState {
  kHeld,         // this process holds it now
  kBusy,         // another uninstall of the installation holds it
  kUnavailable,  // it cannot be had (the installation cannot be told, the
                 // system refuses the object or the listing): nothing may run
};

class UninstallLock {
 public:
  UninstallLock() = default;
  // Takes the lock of the open installation folder `installation`.
  // `inheritable`: the copy started later inherits it.
  UninstallLock(HANDLE installation, bool inheritable);
  // The lock a relocation passed on: `inherited`, when it is a lock of
  // `installation` that Administrators own; kUnavailable otherwise. Takes
  // `inherited` either way (closed when it is not kept).
  UninstallLock(HANDLE inherited, HANDLE installation);

  LockState state() const { return state_; }
  HANDLE handle() const { return handle_.get(); }
  // Lets go of this process's hold; the lock is free once no process holds
  // it.
  void Release() {
    handle_.reset();
    state_ = LockState::kUnavailable;
  }

 private:
  UniqueHandle handle_;
  LockState state_ = LockState::kUnavailable;
};

// The identity the locks of the open folder `installation` are named by:
// its volume's serial and its full file ID where the system gives one
// (128 bits, or 64), else a digest of where the folder really is (a file
// system that gives no usable ID); "" when neither can be told.
std::wstring InstallationLockIdentity(HANDLE installation);

// The start of every lock name of that installation, without "Global\":
// g_uninstall_<identity>_. "" when the identity cannot be told.
std::wstring UninstallLockPrefix(HANDLE installation);
