#pragma once
// The mark on the windows of an uninstall in progress (its question, its
// progress window, its last box): a window property named after the
// installation's identity. A second start for the same installation finds
// them by it and brings them to the front. No named object is made for it:
// a property with that name on someone else's window can at most be
// brought to the front.

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

// Brings a shown window that carries `mark` to the front, restored if it was
// minimised. Returns whether there was one.
bool BringMarkedWindowToFront(const std::wstring& mark);
