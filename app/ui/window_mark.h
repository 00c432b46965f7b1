#pragma once
// The mark on the windows of an uninstall in progress (its question, its
// progress window, its last box): a window property named after the
// installation's identity. A second start for the same installation finds
// them by it and brings them to the front, but only those of the process
// that an object only Administrators can make records as the uninstall:
// anyone can put the property on a window of their own, and an elevated
// program must not lend its right to the foreground to a look-alike.

#include <windows.h>

#include <string>

#include "cleanup/files/native_files.h"
#include "common/unique_resource.h"

// The property's name for the installation `installation`; "" when its
// identity is not known.
std::wstring WindowMarkName(const FileIdentity& installation);

// Puts the mark `mark` on `window`, or takes it off; nothing for "".
void MarkWindow(HWND window, const std::wstring& mark);
void UnmarkWindow(HWND window, const std::wstring& mark);

// While it lives, the message boxes this thread shows carry the mark: a hook
// on this thread alone sees them made.
class MarkedBoxes {
 public:
  MarkedBoxes() = default;
  explicit MarkedBoxes(const std::wstring& mark);
  MarkedBoxes(MarkedBoxes&&) = default;
  MarkedBoxes& operator=(MarkedBoxes&&) = default;

 private:
  struct HookTraits {
    using Type = HHOOK;
    static Type Invalid() { return nullptr; }
    static void Close(Type hook) { ::UnhookWindowsHookEx(hook); }
  };
  UniqueResource<HookTraits> hook_;
};

// While it lives, this process is recorded as the one whose windows marked
// for `installation` a second start may bring to the front: an event of the
// machine-wide namespace, owned by Administrators and open to them only,
// named after the installation and this process's id.
class MarkedWindowsOwner {
 public:
  MarkedWindowsOwner() = default;
  explicit MarkedWindowsOwner(const FileIdentity& installation);

 private:
  UniqueHandle record_;
};

// Brings to the front a shown window that carries the mark of
// `installation` and belongs to a process recorded by MarkedWindowsOwner,
// restored if it was minimised. A window of any other process is passed
// over. Returns whether there was one.
bool BringMarkedWindowToFront(const FileIdentity& installation);
