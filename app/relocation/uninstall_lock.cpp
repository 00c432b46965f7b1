#include "app/relocation/uninstall_lock.h"

#include "cleanup/files/native_files.h"
#include "cleanup/files/removal_safety.h"
#include "common/global_objects.h"
#include "common/random_digits.h"
#include "common/system_library.h"
#include "common/text.h"
#include "telemetry/md5.h"

namespace {

constexpr size_t kRandomDigits = 32;

// FILE_ID_INFO and its class, which headers for older systems lack.
struct FileIdInformation {
  ULONGLONG volume_serial;
  unsigned char id[16];
};
constexpr int kFileIdInfoClass = 18;

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
  if (prefix.empty() || digits.empty()) return;
  const std::wstring own = prefix + digits;
  // Only Administrators and SYSTEM may open it.
  handle_ = CreateAdministratorsObject(ObjectKind::kMutex, own, inheritable);
  if (!handle_) return;
  // Made before looking: of two uninstalls that start together, each sees
  // the other or one sees the other, never neither. The listing stops at
  // another of the installation's that Administrators own.
  const ListResult others = ListAdministratorsObjects(ObjectKind::kMutex, prefix,
                                                      [&](const std::wstring& name) { return name == own; });
  state_ = others == ListResult::kListed    ? LockState::kHeld
           : others == ListResult::kStopped ? LockState::kBusy
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
