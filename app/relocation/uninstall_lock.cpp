#include "app/relocation/uninstall_lock.h"

#include <aclapi.h>
#include <sddl.h>
#include <winternl.h>

#include <memory>

#include "cleanup/files/native_files.h"
#include "cleanup/files/removal_safety.h"
#include "common/random_digits.h"
#include "common/system_library.h"
#include "common/text.h"
#include "telemetry/md5.h"

namespace {

constexpr size_t kRandomDigits = 32;
constexpr LONG kStatusMoreEntries = 0x00000105;
constexpr LONG kStatusNoMoreEntries = static_cast<LONG>(0x8000001A);
constexpr LONG kStatusNotImplemented = static_cast<LONG>(0xC0000002);
constexpr ACCESS_MASK kDirectoryQuery = 0x0001;

// FILE_ID_INFO and its class, which headers for older systems lack.
struct FileIdInformation {
  ULONGLONG volume_serial;
  unsigned char id[16];
};
constexpr int kFileIdInfoClass = 18;

struct DirectoryEntry {  // OBJECT_DIRECTORY_INFORMATION
  UNICODE_STRING name;
  UNICODE_STRING type;
};
using NtOpenDirectoryObjectFn = LONG(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES);
using NtQueryDirectoryObjectFn = LONG(NTAPI*)(HANDLE, PVOID, ULONG, BOOLEAN, BOOLEAN, PULONG, PULONG);

// Whether the object `handle` belongs to Administrators or SYSTEM: an
// ordinary user cannot make either the owner of what they create.
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

// An ID of nothing but zeros or ones is no file's own.
bool IsUsableId(const unsigned char* bytes, size_t size) {
  bool zeros = true, ones = true;
  for (size_t i = 0; i < size; ++i) {
    zeros = zeros && bytes[i] == 0;
    ones = ones && bytes[i] == 0xff;
  }
  return !zeros && !ones;
}

std::wstring Hex(const unsigned char* bytes, size_t size) {
  std::wstring digits;
  for (size_t i = 0; i < size; ++i) digits += FormatWide(L"%02x", bytes[i]);
  return digits;
}

// The 128-bit ID (Windows 8 and later, where the file system has one).
std::wstring FullFileId(HANDLE folder) {
  using GetInfoFn = BOOL(WINAPI*)(HANDLE, int, LPVOID, DWORD);
  static const auto get_info = GetLoadedFunction<GetInfoFn>(L"kernel32.dll", "GetFileInformationByHandleEx");
  FileIdInformation info = {};
  if (get_info == nullptr || !get_info(folder, kFileIdInfoClass, &info, sizeof(info)) ||
      !IsUsableId(info.id, sizeof(info.id)))
    return {};
  return FormatWide(L"f%016llx", info.volume_serial) + Hex(info.id, sizeof(info.id));
}

// The 64-bit index every Windows file system reports, where it is usable.
std::wstring FileIndex(HANDLE folder) {
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!::GetFileInformationByHandle(folder, &info)) return {};
  const ULONGLONG index = (ULONGLONG{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  if (!IsUsableId(reinterpret_cast<const unsigned char*>(&index), sizeof(index))) return {};
  return FormatWide(L"i%08lx%016llx", info.dwVolumeSerialNumber, index);
}

// A digest of where the folder really is, letter case aside.
std::wstring RealPathDigest(HANDLE folder) {
  std::wstring real = FinalPathOf(folder);
  if (real.empty()) return {};
  ::CharUpperBuffW(&real[0], static_cast<DWORD>(real.size()));
  return L"p" + Utf8ToWide(Md5Hex(ComputeMd5(WideToUtf8(real))));
}

enum class Search { kNone, kFound, kFailed };

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

// Whether the global namespace holds a lock whose name starts with `prefix`,
// other than `own`, that Administrators or SYSTEM own. Lists many entries a
// call; one at a time where the system does only that (Wine).
Search FindOtherHolder(const std::wstring& prefix, const std::wstring& own) {
  static const auto query_directory =
      GetLoadedFunction<NtQueryDirectoryObjectFn>(L"ntdll.dll", "NtQueryDirectoryObject");
  const UniqueHandle directory = OpenGlobalNamespace();
  if (!directory || query_directory == nullptr) return Search::kFailed;
  // Room for the longest name an object can have.
  constexpr ULONG kBufferSize = 0x12000;
  std::unique_ptr<ULONGLONG[]> buffer(new ULONGLONG[kBufferSize / sizeof(ULONGLONG)]);
  ULONG context = 0, returned = 0;
  BOOLEAN single = FALSE;
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
    if (status == kStatusNoMoreEntries) return Search::kNone;
    if (status < 0) return Search::kFailed;
    // Many entries end with an empty one; a single entry is alone.
    const auto* entries = reinterpret_cast<const DirectoryEntry*>(buffer.get());
    for (size_t i = 0; (single ? i < 1 : entries[i].name.Buffer != nullptr); ++i) {
      const std::wstring found(entries[i].name.Buffer, entries[i].name.Length / sizeof(wchar_t));
      const std::wstring type(entries[i].type.Buffer, entries[i].type.Length / sizeof(wchar_t));
      if (type != L"Mutant" || found == own || found.compare(0, prefix.size(), prefix) != 0) continue;
      const UniqueHandle other(::OpenMutexW(READ_CONTROL, FALSE, (L"Global\\" + found).c_str()));
      if (other && OwnedByAdministrators(other.get())) return Search::kFound;
    }
    if (!single && status != kStatusMoreEntries) return Search::kNone;
  }
}

bool IsHexDigits(const std::wstring& text, size_t at, size_t count) {
  if (text.size() != at + count) return false;
  for (size_t i = at; i < text.size(); ++i) {
    const wchar_t c = text[i];
    if (!((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'))) return false;
  }
  return true;
}

}  // namespace

std::wstring InstallationLockIdentity(HANDLE installation) {
  if (installation == nullptr || installation == INVALID_HANDLE_VALUE) return {};
  std::wstring identity = FullFileId(installation);
  if (identity.empty()) identity = FileIndex(installation);
  if (identity.empty()) identity = RealPathDigest(installation);
  return identity;
}

std::wstring UninstallLockPrefix(HANDLE installation) {
  const std::wstring identity = InstallationLockIdentity(installation);
  return identity.empty() ? std::wstring() : L"g_uninstall_" + identity + L"_";
}

UninstallLock::UninstallLock(HANDLE installation, bool inheritable) {
  const std::wstring prefix = UninstallLockPrefix(installation);
  const std::wstring digits = RandomHexDigits(kRandomDigits);
  // Only Administrators and SYSTEM may open it.
  UniqueSecurityDescriptor descriptor;
  if (prefix.empty() || digits.empty() ||
      !::ConvertStringSecurityDescriptorToSecurityDescriptorW(
          L"O:BAD:P(A;;GA;;;SY)(A;;GA;;;BA)", SDDL_REVISION_1, descriptor.put(), nullptr))
    return;
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.get(), inheritable};
  const std::wstring own = prefix + digits;
  handle_.reset(::CreateMutexW(&attributes, /*bInitialOwner=*/FALSE, (L"Global\\" + own).c_str()));
  // A name that was there already was foreseen by someone: not ours.
  if (!handle_ || ::GetLastError() == ERROR_ALREADY_EXISTS) {
    handle_.reset();
    return;
  }
  // Made before looking: of two uninstalls that start together, each sees
  // the other or one sees the other, never neither.
  const Search search = FindOtherHolder(prefix, own);
  state_ = search == Search::kNone ? LockState::kHeld
           : search == Search::kFound ? LockState::kBusy
                                      : LockState::kUnavailable;
  if (state_ != LockState::kHeld) handle_.reset();
}

UninstallLock::UninstallLock(HANDLE inherited, HANDLE installation) {
  // Taken either way: a handle left open would keep the lock after its
  // holder let go of it.
  UniqueHandle taken(inherited);
  const std::wstring prefix = UninstallLockPrefix(installation);
  if (!taken || prefix.empty()) return;
  const std::wstring name = EntryName(taken.get());  // "\BaseNamedObjects\g_uninstall_..."
  const size_t leaf = name.find_last_of(L'\\') + 1;
  if (leaf == 0 || name.compare(leaf, prefix.size(), prefix) != 0 ||
      !IsHexDigits(name, leaf + prefix.size(), kRandomDigits) || !OwnedByAdministrators(taken.get()) ||
      !::SetHandleInformation(taken.get(), HANDLE_FLAG_INHERIT, 0))
    return;
  handle_ = std::move(taken);
  state_ = LockState::kHeld;
}
