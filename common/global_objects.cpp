#include "common/global_objects.h"

#include <aclapi.h>
#include <sddl.h>
#include <winternl.h>

#include <memory>

#include "common/system_library.h"

namespace {

constexpr LONG kStatusMoreEntries = 0x00000105;
constexpr LONG kStatusNoMoreEntries = static_cast<LONG>(0x8000001A);
constexpr LONG kStatusNotImplemented = static_cast<LONG>(0xC0000002);
constexpr ACCESS_MASK kDirectoryQuery = 0x0001;

struct DirectoryEntry {  // OBJECT_DIRECTORY_INFORMATION
  UNICODE_STRING name;
  UNICODE_STRING type;
};
using NtOpenDirectoryObjectFn = LONG(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES);
using NtQueryDirectoryObjectFn = LONG(NTAPI*)(HANDLE, PVOID, ULONG, BOOLEAN, BOOLEAN, PULONG, PULONG);

// The machine-wide namespace, opened to list it; invalid when refused.
UniqueHandle OpenGlobalNamespace() {
  static const auto open_directory =
      GetLoadedFunction<NtOpenDirectoryObjectFn>(L"ntdll.dll", "NtOpenDirectoryObject");
  std::wstring path = L"\\BaseNamedObjects";
  UNICODE_STRING name = {static_cast<USHORT>(path.size() * sizeof(wchar_t)),
                         static_cast<USHORT>(path.size() * sizeof(wchar_t)), &path[0]};
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, 0, nullptr, nullptr);
  HANDLE directory = nullptr;
  if (open_directory == nullptr || open_directory(&directory, kDirectoryQuery, &attributes) < 0)
    return UniqueHandle();
  return UniqueHandle(directory);
}

// The object Global\<name> of `kind`, opened only to read who owns it.
UniqueHandle OpenToReadOwner(ObjectKind kind, const std::wstring& name) {
  const std::wstring global = L"Global\\" + name;
  return UniqueHandle(kind == ObjectKind::kMutex ? ::OpenMutexW(READ_CONTROL, FALSE, global.c_str())
                                                 : ::OpenEventW(READ_CONTROL, FALSE, global.c_str()));
}

}  // namespace

UniqueHandle CreateAdministratorsObject(ObjectKind kind, const std::wstring& name, bool inheritable) {
  UniqueSecurityDescriptor descriptor;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(
          L"O:BAD:P(A;;GA;;;SY)(A;;GA;;;BA)", SDDL_REVISION_1, descriptor.put(), nullptr))
    return UniqueHandle();
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.get(), inheritable};
  const std::wstring global = L"Global\\" + name;
  UniqueHandle object(kind == ObjectKind::kMutex
                          ? ::CreateMutexW(&attributes, /*bInitialOwner=*/FALSE, global.c_str())
                          : ::CreateEventW(&attributes, /*bManualReset=*/TRUE, /*bInitialState=*/FALSE,
                                           global.c_str()));
  if (object && ::GetLastError() == ERROR_ALREADY_EXISTS) object.reset();
  return object;
}

bool OwnedByAdministrators(HANDLE handle) {
  PSID owner = nullptr;
  UniqueSecurityDescriptor descriptor;
  if (::GetSecurityInfo(handle, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                        nullptr, nullptr, descriptor.put()) != ERROR_SUCCESS ||
      owner == nullptr)
    return false;
  return ::IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
         ::IsWellKnownSid(owner, WinLocalSystemSid);
}

ListResult ListAdministratorsObjects(ObjectKind kind, const std::wstring& prefix,
                                     const std::function<bool(const std::wstring&)>& visit) {
  static const auto query_directory =
      GetLoadedFunction<NtQueryDirectoryObjectFn>(L"ntdll.dll", "NtQueryDirectoryObject");
  const UniqueHandle directory = OpenGlobalNamespace();
  if (!directory || query_directory == nullptr) return ListResult::kFailed;
  const wchar_t* const type_name = kind == ObjectKind::kMutex ? L"Mutant" : L"Event";
  // Room for the longest name an object can have.
  constexpr ULONG kBufferSize = 0x12000;
  std::unique_ptr<ULONGLONG[]> buffer(new ULONGLONG[kBufferSize / sizeof(ULONGLONG)]);
  ULONG context = 0, returned = 0;
  BOOLEAN single = FALSE;
  // Many entries a call; one at a time where the system does only that
  // (Wine).
  for (BOOLEAN restart = TRUE;; restart = FALSE) {
    const auto query = [&] {
      return query_directory(directory.get(), buffer.get(), kBufferSize, single, restart, &context,
                             &returned);
    };
    LONG status = query();
    if (status == kStatusNotImplemented && !single && restart) {
      single = TRUE;
      status = query();
    }
    if (status == kStatusNoMoreEntries) return ListResult::kListed;
    if (status < 0) return ListResult::kFailed;
    // Many entries end with an empty one; a single entry is alone.
    const auto* entries = reinterpret_cast<const DirectoryEntry*>(buffer.get());
    for (size_t i = 0; (single ? i < 1 : entries[i].name.Buffer != nullptr); ++i) {
      const std::wstring found(entries[i].name.Buffer, entries[i].name.Length / sizeof(wchar_t));
      const std::wstring type(entries[i].type.Buffer, entries[i].type.Length / sizeof(wchar_t));
      if (type != type_name || found.compare(0, prefix.size(), prefix) != 0) continue;
      const UniqueHandle object = OpenToReadOwner(kind, found);
      if (object && OwnedByAdministrators(object.get()) && !visit(found)) return ListResult::kStopped;
    }
    if (!single && status != kStatusMoreEntries) return ListResult::kListed;
  }
}
