#include "app/relocation/elevated_copy.h"

#include <sddl.h>

#include <cwctype>
#include <memory>

#include "cleanup/files/module_files.h"
#include "cleanup/files/native_files.h"
#include "cleanup/files/removal_safety.h"
#include "cleanup/running_process.h"
#include "common/random_digits.h"
#include "common/test_seams.h"
#include "common/text.h"

namespace {

constexpr wchar_t kFolderPrefix[] = L"g_uninstall_";
constexpr size_t kFolderDigits = 32;
// How many entries of the temporary folder one sweep looks at: a folder
// someone filled stays a bounded look.
constexpr size_t kSweptEntries = 256;

// The folder's name: the prefix and 32 random hexadecimal digits; "" when
// the system refuses them.
std::wstring RandomName() {
  const std::wstring digits = RandomHexDigits(kFolderDigits);
  return digits.empty() ? std::wstring() : kFolderPrefix + digits;
}

bool IsCopyFolderName(const std::wstring& name) {
  const size_t prefix = wcslen(kFolderPrefix);
  if (name.size() != prefix + kFolderDigits || name.compare(0, prefix, kFolderPrefix) != 0)
    return false;
  for (size_t i = prefix; i < name.size(); ++i) {
    if (!std::iswdigit(name[i]) && (name[i] < L'a' || name[i] > L'f')) return false;
  }
  return true;
}

bool IsCopyFileName(const std::wstring& name) {
  const size_t prefix = wcslen(kFolderPrefix);
  if (name.size() <= prefix + 4 || name.compare(0, prefix, kFolderPrefix) != 0 ||
      name.compare(name.size() - 4, 4, L".exe") != 0)
    return false;
  for (size_t i = prefix; i < name.size() - 4; ++i) {
    if (!std::iswdigit(name[i])) return false;
  }
  return true;
}

// A copy's folder holds its program first and maybe its record: nothing
// else. Sorted so that the program comes first.
bool IsCopyFolderContent(std::vector<FolderEntry>& inside) {
  if (inside.size() == 2 && inside[0].name == kHandoverRecordName) std::swap(inside[0], inside[1]);
  if (inside.empty() || inside.size() > 2 || inside[0].folder || !IsCopyFileName(inside[0].name))
    return false;
  return inside.size() == 1 || (!inside[1].folder && inside[1].name == kHandoverRecordName);
}

// Every folder from the drive's root down to `folder` (a folder's real
// place), each held without delete sharing so that none can be renamed or
// replaced, and each checked to be where it is named. Empty on failure. A
// handle that may only read attributes would not count: the system checks
// sharing only against handles that read, write or delete.
std::vector<UniqueFileHandle> HoldFoldersDownTo(const std::wstring& folder) {
  std::vector<UniqueFileHandle> held;
  // The first folder: a drive's root ("C:"), or a share ("\\server\share").
  size_t at = folder.compare(0, 2, L"\\\\") == 0 ? folder.find(L'\\', folder.find(L'\\', 2) + 1)
                                             : folder.find(L'\\');
  for (;;) {
    std::wstring prefix = at == std::wstring::npos ? folder : folder.substr(0, at);
    if (prefix.size() == 2) prefix += L'\\';
    // Through the native open, which completes at once where another
    // program's oplock would first have to be broken: that counts as in use.
    UniqueFileHandle handle = OpenByNtName(NtPath(prefix), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE, /*follow_link=*/true);
    const std::wstring real = handle ? FinalPathOf(handle.get()) : std::wstring();
    if (real.empty() || !IsSameOrInside(real, prefix) || !IsSameOrInside(prefix, real)) return {};
    held.push_back(std::move(handle));
    if (at == std::wstring::npos) return held;
    at = folder.find(L'\\', at + 1);
  }
}

// The attribute list that names the only handles a new process inherits.
class InheritanceList {
 public:
  explicit InheritanceList(std::vector<HANDLE> handles) : handles_(std::move(handles)) {
    SIZE_T size = 0;
    (void)::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    if (size == 0 || handles_.empty()) return;
    storage_.reset(new ULONGLONG[size / sizeof(ULONGLONG) + 1]);
    const auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.get());
    if (!::InitializeProcThreadAttributeList(list, 1, 0, &size)) return;
    list_ = list;
    if (!::UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(),
                                     handles_.size() * sizeof(HANDLE), nullptr, nullptr))
      valid_ = false;
  }
  InheritanceList(const InheritanceList&) = delete;
  InheritanceList& operator=(const InheritanceList&) = delete;
  ~InheritanceList() {
    if (list_ != nullptr) ::DeleteProcThreadAttributeList(list_);
  }
  explicit operator bool() const { return list_ != nullptr && valid_; }
  LPPROC_THREAD_ATTRIBUTE_LIST get() const { return list_; }

 private:
  std::vector<HANDLE> handles_;  // the list points into it
  std::unique_ptr<ULONGLONG[]> storage_;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
  bool valid_ = true;
};

// Writes the source into the new file `written`, then trades that handle
// for one that reads and deletes and lets others only read: once it is open,
// nobody writes or deletes the copy, and what it holds is checked.
UniqueFileHandle WriteAndHold(HANDLE from, UniqueFileHandle written) {
  if (!CopyFileContents(from, written.get())) return UniqueFileHandle();
  // The bridge shares what the first and the last handle hold, so that the
  // file is never without an open handle.
  const UniqueFileHandle bridge(::ReOpenFile(
      written.get(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0));
  if (!bridge) return UniqueFileHandle();
  written.reset();
  UniqueFileHandle held(::ReOpenFile(bridge.get(), GENERIC_READ | DELETE, FILE_SHARE_READ, 0));
  if (!held || !SameContents(from, held.get())) return UniqueFileHandle();
  return held;
}

// Removes the folder `name` of the open temporary folder `temp` (whose
// EntryName is `temp_name`, at `temp_path`) when it is an earlier run's copy
// folder whose copy is not running.
void SweepCopyFolder(HANDLE temp, const std::wstring& temp_name, const std::wstring& temp_path,
                     const std::wstring& name) {
  const UniqueFileHandle folder = OpenChild(temp, name, EntryKind::kFolder);
  const std::wstring folder_name = folder ? EntryName(folder.get()) : std::wstring();
  const DWORD attributes = folder ? EntryAttributes(folder.get()) : INVALID_FILE_ATTRIBUTES;
  std::vector<FolderEntry> inside;
  if (!IsChildName(folder_name, temp_name, name) || attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
      !ListSomeFolderEntries(folder.get(), L"", 3, inside) || !IsCopyFolderContent(inside) ||
      IsRunningImage(temp_path + L"\\" + name + L"\\" + inside[0].name))
    return;
  // The files go now, so that their folder is empty.
  bool emptied = true;
  for (const FolderEntry& file_entry : inside) {
    const UniqueFileHandle file = OpenChild(folder.get(), file_entry.name, EntryKind::kFile);
    emptied = emptied && file && IsChildName(EntryName(file.get()), folder_name, file_entry.name) &&
              MarkForDeletion(file.get());
  }
  if (emptied) (void)MarkForDeletion(folder.get());
}

enum class Disk { kLocal, kElsewhere, kUnknown };

// Where the folder `folder` really lies: on a local fixed disk, elsewhere (a
// network share, a drive the system calls remote, a removable one), or
// unknown (it cannot be opened or told). A server ignores share modes and
// access rules.
Disk DiskOf(const std::wstring& folder) {
  const UniqueFileHandle handle = OpenFolderToList(folder);
  const std::wstring real = handle ? FinalPathOf(handle.get()) : std::wstring();
  if (real.empty()) return Disk::kUnknown;
  if (real.compare(0, 2, L"\\\\") == 0) return Disk::kElsewhere;
  wchar_t volume[MAX_PATH + 1] = {};
  if (!::GetVolumePathNameW(real.c_str(), volume, MAX_PATH)) return Disk::kUnknown;
  const UINT type = ::GetDriveTypeW(volume);
  return type == DRIVE_FIXED || type == DRIVE_RAMDISK ? Disk::kLocal : Disk::kElsewhere;
}

}  // namespace

std::wstring ProtectedFolderSecurity() {
  UniqueHandle token;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) {
    token.release();
    return {};
  }
  alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE] = {};
  DWORD size = 0;
  UniqueLocalText user;
  if (!::GetTokenInformation(token.get(), TokenUser, buffer, sizeof(buffer), &size) ||
      !::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, user.put()))
    return {};
  return FormatWide(L"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;FRFX;;;%s)", user.get());
}

ElevatedCopy MakeElevatedCopy(HANDLE source, const std::wstring& temp_folder, DWORD tick) {
  ElevatedCopy copy;
  const std::wstring folder_name = RandomName();
  const UniqueFileHandle temp = OpenFolderToList(temp_folder);
  const std::wstring temp_path = temp ? FinalPathOf(temp.get()) : std::wstring();
  if (folder_name.empty() || temp_path.empty()) return copy;
  copy.ancestors_ = HoldFoldersDownTo(temp_path);
  if (copy.ancestors_.empty() || FinalPathOf(temp.get()) != temp_path) return copy;
  // A system that does not let the owner be named gives it the default
  // owner, which for an elevated administrator is Administrators too.
  const std::wstring security = ProtectedFolderSecurity();
  for (const std::wstring& text : {security, security.substr(std::min<size_t>(4, security.size()))}) {
    UniqueSecurityDescriptor descriptor;
    if (text.empty() || !::ConvertStringSecurityDescriptorToSecurityDescriptorW(
                            text.c_str(), SDDL_REVISION_1, descriptor.put(), nullptr))
      return copy;
    copy.folder_ = CreateChild(temp.get(), folder_name, EntryKind::kFolder,
                               FILE_LIST_DIRECTORY | DELETE | FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, descriptor.get());
    if (copy.folder_) break;
  }
  if (!copy.folder_) return copy;
  const std::wstring file_name = FormatWide(L"g_uninstall_%u.exe", static_cast<unsigned>(tick));
  UniqueFileHandle written = CreateChild(copy.folder_.get(), file_name, EntryKind::kFile,
                                         GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr);
  if (written) copy.file_ = WriteAndHold(source, std::move(written));
  if (!copy.file_) {
    // What was written of it goes, then its folder.
    const UniqueFileHandle partial = OpenChild(copy.folder_.get(), file_name, EntryKind::kFile);
    if (partial) (void)MarkForDeletion(partial.get());
    copy.Discard();
    return copy;
  }
  copy.path_ = temp_path + L"\\" + folder_name + L"\\" + file_name;
  if (!IsSameOrInside(FinalPathOf(copy.file_.get()), copy.path_)) copy.Discard();
  return copy;
}

bool ElevatedCopy::WriteRecord(const std::string& bytes) {
  // Test build only: a record that cannot be written (a full disk).
  if (!folder_ || TestSeamFlag(L"UNINSTALL_TEST_RECORD_FAILS")) return false;
  record_ = CreateChild(folder_.get(), kHandoverRecordName, EntryKind::kFile,
                        GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr);
  DWORD written = 0;
  return record_ &&
         ::WriteFile(record_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                     nullptr) &&
         written == bytes.size();
}

UniqueHandle ElevatedCopy::Start(const std::wstring& parameters, const HandoverHandles& handles) {
  // Test build only: a start that fails, which nothing in Wine can cause now
  // that nobody can hold the copy against its start.
  if (!file_ || TestSeamFlag(L"UNINSTALL_TEST_START_FAILS")) return UniqueHandle();
  const HANDLE self = ::GetCurrentProcess();
  HANDLE record = nullptr, first = nullptr, log = nullptr;
  const bool duplicated =
      record_ && ::DuplicateHandle(self, record_.get(), self, &record, GENERIC_READ, TRUE, 0) &&
      ::DuplicateHandle(self, self, self, &first, SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION,
                        TRUE, 0) &&
      (handles.log == nullptr ||
       ::DuplicateHandle(self, handles.log, self, &log, 0, TRUE, DUPLICATE_SAME_ACCESS));
  const UniqueHandle record_owner(record), first_owner(first), log_owner(log);
  // Without its record the copy would take itself for a removal started
  // directly.
  if (!duplicated) return UniqueHandle();
  const HandoverHandles passed{record, handles.lock, handles.outcome, first, log};
  (void)::SetEnvironmentVariableW(kHandoverVariable, EncodeHandoverHandles(passed).c_str());

  // Only these are inherited: not the standard handles (a caller reading
  // the output to its end would wait for the copy), nor anything else.
  std::vector<HANDLE> inherited;
  for (const HANDLE handle : {record, handles.lock, handles.outcome, first, log})
    if (handle != nullptr) inherited.push_back(handle);
  InheritanceList list(inherited);
  if (!list) return UniqueHandle();

  std::wstring command_line = L"\"" + path_ + L"\" " + parameters;
  STARTUPINFOEXW startup = {};
  startup.StartupInfo.cb = sizeof(startup);
  startup.StartupInfo.dwFlags = STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES;
  startup.StartupInfo.wShowWindow = SW_HIDE;
  startup.lpAttributeList = list.get();
  PROCESS_INFORMATION process = {};
  const bool created =
      ::CreateProcessW(path_.c_str(), &command_line[0], nullptr, nullptr,
                       /*bInheritHandles=*/TRUE, CREATE_SUSPENDED | EXTENDED_STARTUPINFO_PRESENT,
                       nullptr, nullptr, &startup.StartupInfo, &process) != FALSE;
  (void)::SetEnvironmentVariableW(kHandoverVariable, nullptr);
  if (!created) return UniqueHandle();
  UniqueHandle child(process.hProcess);
  const UniqueHandle thread(process.hThread);
  // It runs only when its image is the held copy.
  wchar_t image[MAX_PATH * 2] = {};
  DWORD size = MAX_PATH * 2;
  if (!::QueryFullProcessImageNameW(child.get(), 0, image, &size) ||
      !IsSameOrInside(AbsolutePath(std::wstring(image, size)), path_) ||
      ::ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
    (void)::TerminateProcess(child.get(), 1);
    return UniqueHandle();
  }
  ancestors_.clear();
  return child;
}

void ElevatedCopy::Discard() {
  if (record_) (void)MarkForDeletion(record_.get());
  record_.reset();
  if (file_) (void)MarkForDeletion(file_.get());
  file_.reset();
  if (folder_) (void)MarkForDeletion(folder_.get());
  folder_.reset();
  ancestors_.clear();
}

void SweepEarlierCopies(const std::wstring& temp_folder) {
  try {
    const UniqueFileHandle temp = OpenFolderToList(temp_folder);
    std::vector<FolderEntry> entries;
    if (!temp || !ListSomeFolderEntries(temp.get(), std::wstring(kFolderPrefix) + L"*",
                                        kSweptEntries, entries))
      return;
    const std::wstring temp_name = EntryName(temp.get());
    const std::wstring temp_path = AbsolutePath(temp_folder);
    for (const FolderEntry& entry : entries) {
      if (entry.folder && IsCopyFolderName(entry.name))
        SweepCopyFolder(temp.get(), temp_name, temp_path, entry.name);
    }
  } catch (...) {
    // Out of memory: what is left stays for a later run.
  }
}

std::wstring LocalCopyFolder(const std::wstring& temp_folder) {
  const Disk disk = DiskOf(temp_folder);
  if (disk != Disk::kElsewhere) return disk == Disk::kLocal ? temp_folder : std::wstring();
  wchar_t windows[MAX_PATH] = {};
  const UINT length = ::GetWindowsDirectoryW(windows, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return {};
  const std::wstring system_temp = std::wstring(windows, length) + L"\\Temp\\";
  return DiskOf(system_temp) == Disk::kLocal ? system_temp : std::wstring();
}
