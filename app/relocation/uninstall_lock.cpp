#include "app/relocation/uninstall_lock.h"

#include <aclapi.h>
#include <sddl.h>

#include <string>

#include "common/text.h"

namespace {

struct LocalTraits {
  using Type = PSECURITY_DESCRIPTOR;
  static Type Invalid() { return nullptr; }
  static void Close(Type memory) { ::LocalFree(memory); }
};
using UniqueSecurityDescriptor = UniqueResource<LocalTraits>;

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

}  // namespace

std::wstring UninstallLockName(const FileIdentity& installation) {
  return FormatWide(L"Global\\g_uninstall_%08lx_%016llx", installation.volume,
                    installation.index);
}

UninstallLock::UninstallLock(const FileIdentity& installation, bool inheritable) {
  if (!installation.known) return;
  // Only Administrators and SYSTEM may open it.
  UniqueSecurityDescriptor descriptor;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(
          L"O:BAD:P(A;;GA;;;SY)(A;;GA;;;BA)", SDDL_REVISION_1, descriptor.put(), nullptr))
    return;
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.get(), inheritable};
  handle_.reset(::CreateMutexW(&attributes, /*bInitialOwner=*/FALSE,
                               UninstallLockName(installation).c_str()));
  if (!handle_) return;
  if (::GetLastError() != ERROR_ALREADY_EXISTS) {
    state_ = LockState::kHeld;
  } else {
    // Made first by someone who may not hold it: not a reason to refuse.
    state_ = OwnedByAdministrators(handle_.get()) ? LockState::kBusy : LockState::kUnguarded;
    handle_.reset();
  }
}

UninstallLock::UninstallLock(HANDLE inherited, const FileIdentity& installation) {
  if (inherited == nullptr || !installation.known) return;
  const std::wstring wanted = UninstallLockName(installation).substr(7);  // after "Global\"
  const std::wstring name = EntryName(inherited);  // "\\BaseNamedObjects\\..."
  if (name.size() < wanted.size() || name.compare(name.size() - wanted.size(), wanted.size(), wanted) != 0)
    return;
  HANDLE own = nullptr;
  if (!::DuplicateHandle(::GetCurrentProcess(), inherited, ::GetCurrentProcess(), &own, 0,
                         /*bInheritHandle=*/FALSE, DUPLICATE_SAME_ACCESS))
    return;
  handle_.reset(own);
  state_ = LockState::kHeld;
}
