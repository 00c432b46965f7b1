#include "cleanup/files/native_files.h"

#include <winternl.h>

#include <algorithm>
#include <memory>

#include "common/bounded_call.h"
#include "common/system_library.h"
#include "common/test_seams.h"

namespace {

// Native values that not every header set spells.
constexpr ULONG kDirectoryFile = 0x00000001;
constexpr ULONG kSynchronousIo = 0x00000020;
constexpr ULONG kNonDirectoryFile = 0x00000040;
constexpr ULONG kCompleteIfOplocked = 0x00000100;  // completes at once, oplock or not
constexpr ULONG kOpenForBackup = 0x00004000;
constexpr ULONG kOpenReparsePoint = 0x00200000;
constexpr int kFileDirectoryInformation = 1;
constexpr int kFileBasicInformation = 4;
constexpr int kFileDispositionInformation = 13;
constexpr LONG kStatusBufferOverflow = static_cast<LONG>(0x80000005);
constexpr LONG kStatusNoMoreFiles = static_cast<LONG>(0x80000006);
constexpr LONG kStatusNoSuchFile = static_cast<LONG>(0xC000000F);  // nothing matches the mask
constexpr LONG kStatusInfoLengthMismatch = static_cast<LONG>(0xC0000004);
// A success code: the open is done, but another program's oplock is being
// broken, and what the handle is used for next may wait on that program.
constexpr LONG kStatusOplockBreakInProgress = 0x00000108;
constexpr int kObjectNameInformation = 1;

struct DirectoryInformation {
  ULONG next_entry_offset;
  ULONG file_index;
  LARGE_INTEGER times[4];
  LARGE_INTEGER end_of_file;
  LARGE_INTEGER allocation_size;
  ULONG attributes;
  ULONG name_length;  // bytes
  WCHAR name[1];
};

struct BasicInformation {
  LARGE_INTEGER times[4];
  ULONG attributes;
};

using NtCreateFileFn = LONG(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK,
                                    PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
using NtOpenFileFn = LONG(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK,
                                  ULONG, ULONG);
using NtQueryDirectoryFileFn = LONG(NTAPI*)(HANDLE, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK, PVOID,
                                            ULONG, int, BOOLEAN, PUNICODE_STRING, BOOLEAN);
using NtQueryInformationFileFn = LONG(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, int);
using NtSetInformationFileFn = LONG(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, int);
using NtQueryObjectFn = LONG(NTAPI*)(HANDLE, int, PVOID, ULONG, PULONG);

struct NativeCalls {
  NtCreateFileFn create_file = nullptr;
  NtOpenFileFn open_file = nullptr;
  NtQueryDirectoryFileFn query_directory = nullptr;
  NtQueryInformationFileFn query_information = nullptr;
  NtSetInformationFileFn set_information = nullptr;
  NtQueryObjectFn query_object = nullptr;
};

// ntdll is mapped into every process before any of our code runs, so it is
// looked up rather than imported: nothing can be planted in its place.
const NativeCalls& Native() {
  static const NativeCalls calls = [] {
    NativeCalls found;
    found.create_file = GetLoadedFunction<NtCreateFileFn>(L"ntdll.dll", "NtCreateFile");
    found.open_file = GetLoadedFunction<NtOpenFileFn>(L"ntdll.dll", "NtOpenFile");
    found.query_directory = GetLoadedFunction<NtQueryDirectoryFileFn>(L"ntdll.dll", "NtQueryDirectoryFile");
    found.query_information = GetLoadedFunction<NtQueryInformationFileFn>(L"ntdll.dll", "NtQueryInformationFile");
    found.set_information = GetLoadedFunction<NtSetInformationFileFn>(L"ntdll.dll", "NtSetInformationFile");
    found.query_object = GetLoadedFunction<NtQueryObjectFn>(L"ntdll.dll", "NtQueryObject");
    return found;
  }();
  return calls;
}

// Test build only: a folder of this name cannot be listed, which Wine as
// root never shows.
bool ListingRefusedForTests(HANDLE folder) {
#if defined(UNINSTALL_TEST_BUILD)
  wchar_t refused[MAX_PATH] = {};
  const DWORD length = ::GetEnvironmentVariableW(L"UNINSTALL_TEST_UNLISTABLE", refused, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return false;
  const std::wstring name = EntryName(folder);
  return name.size() > length && name[name.size() - length - 1] == L'\\' &&
         name.compare(name.size() - length, length, refused) == 0;
#else
  (void)folder;
  return false;
#endif
}

}  // namespace

namespace {

constexpr ULONG kFileCreate = 2;  // fails when the entry exists

// Opens (or, with `disposition`, creates) `name` below `parent`; an empty
// name opens `parent` itself again. Never waits for another program: an
// entry whose oplock would have to be broken first counts as in use.
UniqueFileHandle OpenRelative(HANDLE parent, const std::wstring& name, ACCESS_MASK access,
                              ULONG share, ULONG options, ULONG disposition = 0,
                              PSECURITY_DESCRIPTOR security = nullptr) {
  options |= kCompleteIfOplocked;
  const NativeCalls& nt = Native();
  if (nt.open_file == nullptr || nt.create_file == nullptr || name.size() > 32767)
    return UniqueFileHandle();
  UNICODE_STRING object_name;
  object_name.Buffer = const_cast<PWSTR>(name.c_str());
  object_name.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  object_name.MaximumLength = object_name.Length;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &object_name, OBJ_CASE_INSENSITIVE, parent, security);
  HANDLE handle = nullptr;
  IO_STATUS_BLOCK io = {};
  const LONG status =
      disposition == 0
          ? nt.open_file(&handle, access, &attributes, &io, share, options)
          : nt.create_file(&handle, access, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, share,
                           disposition, options, nullptr, 0);
  if (status < 0 || handle == nullptr) return UniqueFileHandle();
  UniqueFileHandle opened(handle);
  if (status == kStatusOplockBreakInProgress) return UniqueFileHandle();
  return opened;
}

// Opens the entry `name` below `parent`, never `parent` itself.
UniqueFileHandle OpenBelow(HANDLE parent, const std::wstring& name, ACCESS_MASK access, ULONG share,
                           ULONG options, ULONG disposition = 0,
                           PSECURITY_DESCRIPTOR security = nullptr) {
  if (name.empty()) return UniqueFileHandle();
  return OpenRelative(parent, name, access, share, options, disposition, security);
}

// Appends the entries of the folder `listing` (opened to list) whose names
// match `pattern`, up to `most` in all. False when it cannot be listed.
bool QueryEntries(HANDLE listing, const std::wstring& pattern, size_t most,
                  std::vector<FolderEntry>& entries) {
  const NativeCalls& nt = Native();
  // One call fills the buffer with as many entries as fit: the listing of a
  // folder of 20,000 files takes a few dozen calls.
  constexpr ULONG kBufferSize = 64 * 1024;
  std::unique_ptr<ULONGLONG[]> buffer(new ULONGLONG[kBufferSize / sizeof(ULONGLONG)]);
  UNICODE_STRING mask = {static_cast<USHORT>(pattern.size() * sizeof(wchar_t)),
                        static_cast<USHORT>(pattern.size() * sizeof(wchar_t)),
                        const_cast<PWSTR>(pattern.c_str())};
  for (BOOLEAN restart = TRUE;; restart = FALSE) {
    IO_STATUS_BLOCK io = {};
    // The mask counts on the first call only.
    const LONG status = nt.query_directory(listing, nullptr, nullptr, nullptr, &io,
                                           buffer.get(), kBufferSize, kFileDirectoryInformation,
                                           /*ReturnSingleEntry=*/FALSE,
                                           restart && !pattern.empty() ? &mask : nullptr, restart);
    if (status == kStatusNoMoreFiles || (restart && status == kStatusNoSuchFile)) return true;
    if (status < 0) return false;
    const BYTE* at = reinterpret_cast<const BYTE*>(buffer.get());
    for (;;) {
      const auto* info = reinterpret_cast<const DirectoryInformation*>(at);
      FolderEntry entry;
      entry.name.assign(info->name, info->name_length / sizeof(WCHAR));
      entry.folder = (info->attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      if (entry.name != L"." && entry.name != L"..") entries.push_back(std::move(entry));
      if (entries.size() >= most) return true;
      if (info->next_entry_offset == 0) break;
      at += info->next_entry_offset;
    }
  }
}

}  // namespace

bool ListSomeFolderEntries(HANDLE folder, const std::wstring& pattern, size_t most,
                           std::vector<FolderEntry>& entries) {
  entries.clear();
  if (Native().query_directory == nullptr || ListingRefusedForTests(folder)) return false;
  // Read through a handle of its own, closed when done: Wine keeps a
  // folder's whole listing for as long as the handle it was read through
  // stays open, and the walk holds every folder it empties.
  const UniqueFileHandle listing =
      OpenRelative(folder, L"", FILE_LIST_DIRECTORY | SYNCHRONIZE,
                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                   kSynchronousIo | kDirectoryFile);
  return listing && QueryEntries(listing.get(), pattern, most, entries);
}

bool ListHeldFolderEntries(HANDLE folder, std::vector<FolderEntry>& entries) {
  entries.clear();
  if (Native().query_directory == nullptr || ListingRefusedForTests(folder)) return false;
  return QueryEntries(folder, L"", static_cast<size_t>(-1), entries);
}

bool ListFolderEntries(HANDLE folder, std::vector<FolderEntry>& entries) {
  return ListSomeFolderEntries(folder, L"", static_cast<size_t>(-1), entries);
}

UniqueFileHandle CreateChild(HANDLE parent, const std::wstring& name, EntryKind kind,
                             ACCESS_MASK access, ULONG share, PSECURITY_DESCRIPTOR security) {
  const bool folder = kind == EntryKind::kFolder;
  return OpenBelow(parent, name, access | SYNCHRONIZE, share,
                      kSynchronousIo | (folder ? kDirectoryFile | kOpenForBackup : kNonDirectoryFile),
                      kFileCreate, security);
}

UniqueFileHandle OpenChildToLook(HANDLE parent, const std::wstring& relative) {
  return OpenBelow(parent, relative, FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      kSynchronousIo | kOpenForBackup);
}

UniqueFileHandle OpenChild(HANDLE parent, const std::wstring& name, EntryKind kind) {
  const bool folder = kind == EntryKind::kFolder;
  const ACCESS_MASK access =
      DELETE | SYNCHRONIZE | FILE_READ_ATTRIBUTES | (folder ? FILE_LIST_DIRECTORY : 0);
  // A file may be deleted while others still read it, as DeleteFileW allows.
  const ULONG share = FILE_SHARE_READ | FILE_SHARE_WRITE | (folder ? 0 : FILE_SHARE_DELETE);
  const ULONG options = kSynchronousIo | kOpenForBackup | kOpenReparsePoint |
                        (folder ? kDirectoryFile : kNonDirectoryFile);
  return OpenBelow(parent, name, access, share, options);
}

UniqueFileHandle OpenChildToRead(HANDLE parent, const std::wstring& name, EntryKind kind) {
  const bool folder = kind == EntryKind::kFolder;
  return OpenBelow(parent, name,
                   (folder ? FILE_LIST_DIRECTORY : FILE_READ_DATA) | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                   kSynchronousIo | kOpenReparsePoint |
                       (folder ? kDirectoryFile | kOpenForBackup : kNonDirectoryFile));
}

UniqueFileHandle OpenFileToAppend(HANDLE parent, const std::wstring& name) {
  constexpr ULONG kFileOpenIf = 3;
  return OpenBelow(parent, name, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                   FILE_SHARE_READ | FILE_SHARE_WRITE,
                   kSynchronousIo | kNonDirectoryFile | kOpenReparsePoint, kFileOpenIf);
}

UniqueFileHandle OpenChildToJudge(HANDLE parent, const std::wstring& name) {
  // Others may only read it while it is held: what was judged is what goes.
  return OpenBelow(parent, name, FILE_READ_DATA | DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                   FILE_SHARE_READ,
                   kSynchronousIo | kOpenForBackup | kOpenReparsePoint | kNonDirectoryFile);
}

UniqueFileHandle OpenChildExclusively(HANDLE parent, const std::wstring& name, EntryKind kind) {
  const bool folder = kind == EntryKind::kFolder;
  return OpenBelow(parent, name, DELETE | SYNCHRONIZE | FILE_READ_ATTRIBUTES | (folder ? FILE_LIST_DIRECTORY : 0),
                   /*share=*/0,
                   kSynchronousIo | kOpenForBackup | kOpenReparsePoint |
                       (folder ? kDirectoryFile : kNonDirectoryFile));
}

UniqueFileHandle OpenByNtName(const std::wstring& nt_name, ACCESS_MASK access, ULONG share,
                              bool follow_link) {
  if (nt_name.empty()) return UniqueFileHandle();
  return OpenRelative(nullptr, nt_name, access | SYNCHRONIZE, share,
                      kSynchronousIo | kOpenForBackup | (follow_link ? 0 : kOpenReparsePoint));
}

std::wstring EntryName(HANDLE entry) {
  const NativeCalls& nt = Native();
  if (nt.query_object == nullptr) return {};
  // The object's name, not the file's: Wine answers it in one request to
  // its server instead of two, and a removal asks it of every file.
  ULONG size = 1024;
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::unique_ptr<ULONGLONG[]> buffer(new ULONGLONG[size / sizeof(ULONGLONG) + 1]);
    ULONG needed = 0;
    const LONG status = nt.query_object(entry, kObjectNameInformation, buffer.get(), size, &needed);
    if ((status == kStatusBufferOverflow || status == kStatusInfoLengthMismatch) &&
        needed > size && needed < 0x20000) {
      size = needed;
      continue;
    }
    if (status < 0) return {};
    const auto* name = reinterpret_cast<const UNICODE_STRING*>(buffer.get());
    if (name->Buffer == nullptr || name->Length == 0) return {};
    return std::wstring(name->Buffer, name->Length / sizeof(WCHAR));
  }
  return {};
}

DWORD EntryAttributes(HANDLE entry) {
  const NativeCalls& nt = Native();
  BasicInformation info = {};
  IO_STATUS_BLOCK io = {};
  if (nt.query_information == nullptr ||
      nt.query_information(entry, &io, &info, sizeof(info), kFileBasicInformation) < 0)
    return INVALID_FILE_ATTRIBUTES;
  return info.attributes;
}

bool IsChildName(const std::wstring& entry_name, const std::wstring& parent_name,
                 const std::wstring& name) {
  if (parent_name.empty() || name.empty()) return false;
  // A volume's root ends in "\" itself.
  const size_t separator = parent_name.back() == L'\\' ? 0 : 1;
  if (entry_name.size() != parent_name.size() + separator + name.size()) return false;
  if (separator == 1 && entry_name[parent_name.size()] != L'\\') return false;
  return ::CompareStringOrdinal(entry_name.c_str(), static_cast<int>(parent_name.size()),
                                parent_name.c_str(), static_cast<int>(parent_name.size()),
                                TRUE) == CSTR_EQUAL &&
         ::CompareStringOrdinal(entry_name.c_str() + parent_name.size() + separator,
                                static_cast<int>(name.size()), name.c_str(),
                                static_cast<int>(name.size()), TRUE) == CSTR_EQUAL;
}

bool IsEntryItself(HANDLE entry, const std::wstring& parent_name, const std::wstring& name) {
  if (entry == nullptr || entry == INVALID_HANDLE_VALUE) return false;
  const DWORD attributes = EntryAttributes(entry);
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
         IsChildName(EntryName(entry), parent_name, name);
}

UniqueFileHandle OpenFolderChain(HANDLE base, const std::wstring& relative) {
  UniqueFileHandle current;
  HANDLE parent = base;
  for (size_t start = 0; start <= relative.size();) {
    const size_t end = std::min(relative.find(L'\\', start), relative.size());
    const std::wstring name = relative.substr(start, end - start);
    UniqueFileHandle next = OpenChildToRead(parent, name, EntryKind::kFolder);
    if (!IsEntryItself(next.get(), EntryName(parent), name)) return UniqueFileHandle();
    current = std::move(next);
    parent = current.get();
    start = end + 1;
  }
  return current;
}

HANDLE OpenChainAbove(HANDLE base, const std::wstring& relative, UniqueFileHandle& chain,
                      std::wstring& name) {
  const size_t slash = relative.find_last_of(L'\\');
  name = relative.substr(slash == std::wstring::npos ? 0 : slash + 1);
  if (slash == std::wstring::npos) return base;
  chain = OpenFolderChain(base, relative.substr(0, slash));
  return chain ? chain.get() : nullptr;
}

UniqueFileHandle OpenFileByNtName(const std::wstring& nt_name) {
  return OpenRelative(nullptr, nt_name, GENERIC_READ | SYNCHRONIZE, FILE_SHARE_READ,
                      kSynchronousIo | kNonDirectoryFile);
}

namespace {

// Test build only: marking the entry named UNINSTALL_TEST_DELETE_HANGS (its
// last component) waits as for an oplock's holder that never acknowledges
// its break, which Wine cannot make: on a read nobody answers.
bool HangsForTests(HANDLE entry) {
  const std::wstring name = TestSeamText(L"UNINSTALL_TEST_DELETE_HANGS");
  if (name.empty()) return false;
  const std::wstring full = EntryName(entry);
  if (full.size() <= name.size() || full[full.size() - name.size() - 1] != L'\\' ||
      full.compare(full.size() - name.size(), name.size(), name) != 0)
    return false;
  UniqueHandle read, write;
  char byte = 0;
  DWORD got = 0;
  return ::CreatePipe(read.put(), write.put(), nullptr, 0) && ::ReadFile(read.get(), &byte, 1, &got, nullptr);
}

}  // namespace

bool MarkForDeletion(HANDLE entry) {
  const NativeCalls& nt = Native();
  if (nt.set_information == nullptr) return false;
  BOOLEAN delete_file = TRUE;  // FILE_DISPOSITION_INFORMATION
  IO_STATUS_BLOCK io = {};
  // Another program can make this wait without end.
  const BoundedCall bounded;
  if (HangsForTests(entry)) return false;
  return nt.set_information(entry, &io, &delete_file, sizeof(delete_file),
                            kFileDispositionInformation) >= 0 &&
         !bounded.given_up();
}

FileIdentity IdentityOf(HANDLE entry) {
  FileIdentity identity;
  BY_HANDLE_FILE_INFORMATION info;
  if (entry == nullptr || entry == INVALID_HANDLE_VALUE ||
      !::GetFileInformationByHandle(entry, &info))
    return identity;
  identity.volume = info.dwVolumeSerialNumber;
  identity.index = (ULONGLONG{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  identity.known = true;
  return identity;
}
