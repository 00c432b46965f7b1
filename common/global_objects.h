#pragma once
// Named kernel objects of the machine-wide namespace that only
// Administrators and SYSTEM can make theirs. Ordinary users can make objects
// of any name there, but cannot make Administrators their owner: an object
// found by its name proves something only when Administrators own it.

#include <windows.h>

#include <functional>
#include <string>

#include "common/unique_resource.h"

enum class ObjectKind { kMutex, kEvent };

// Makes the object Global\<name>, owned by Administrators and open to
// Administrators and SYSTEM only; `inheritable` for a process started later.
// Invalid when it cannot be made, and when the name was there already (then
// someone foresaw it: it is not ours).
UniqueHandle CreateAdministratorsObject(ObjectKind kind, const std::wstring& name, bool inheritable);

// Whether the object `handle` belongs to Administrators or SYSTEM.
bool OwnedByAdministrators(HANDLE handle);

enum class ListResult { kListed, kStopped, kFailed };

// Calls `visit` with the name (without "Global\") of each object of `kind`
// in the machine-wide namespace whose name starts with `prefix` and that
// Administrators or SYSTEM own, until it returns false. kStopped when it did,
// kFailed when the namespace cannot be listed.
ListResult ListAdministratorsObjects(ObjectKind kind, const std::wstring& prefix,
                                     const std::function<bool(const std::wstring&)>& visit);
