#include "app/relocation/handover.h"

#include <winternl.h>

#include <cstdint>
#include <cstring>

#include "cleanup/files/plain_file.h"
#include "cleanup/files/removal_safety.h"
#include "common/system_library.h"
#include "common/text.h"

namespace {

constexpr char kMagic[8] = {'G', 'U', 'N', 'R', 'E', 'C', '0', '2'};
// The identity and a file name: far above either.
constexpr size_t kLargestRecord = 128 * 1024;
constexpr uint32_t kLongestText = 32767;

void PutNumber(std::string& out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xff);
}
void PutText(std::string& out, const std::wstring& text) {
  PutNumber(out, text.size() * sizeof(wchar_t), 4);
  out.append(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

// Reads what Put wrote, failing at the first thing out of bounds.
class Reader {
 public:
  explicit Reader(const std::string& bytes) : bytes_(bytes) {}
  bool Number(uint64_t& value, int bytes) {
    if (bytes_.size() - at_ < static_cast<size_t>(bytes)) return false;
    value = 0;
    for (int i = 0; i < bytes; ++i) value |= uint64_t{static_cast<unsigned char>(bytes_[at_++])} << (8 * i);
    return true;
  }
  bool Bytes(std::string& out, size_t most) {
    uint64_t size = 0;
    if (!Number(size, 4) || size > most || bytes_.size() - at_ < size) return false;
    out.assign(bytes_, at_, static_cast<size_t>(size));
    at_ += static_cast<size_t>(size);
    return true;
  }
  bool Text(std::wstring& out) {
    std::string raw;
    if (!Bytes(raw, kLongestText * sizeof(wchar_t)) || raw.size() % sizeof(wchar_t) != 0) return false;
    out.assign(reinterpret_cast<const wchar_t*>(raw.data()), raw.size() / sizeof(wchar_t));
    return out.find(L'\0') == std::wstring::npos;
  }
  bool AtEnd() const { return at_ == bytes_.size(); }

 private:
  const std::string& bytes_;
  size_t at_ = 0;
};

uint64_t HandleValue(HANDLE handle) { return reinterpret_cast<uintptr_t>(handle); }

// A handle's value as a real handle of this process can have it: positive, a
// multiple of 4, far below the pseudo-handles (the current process, thread
// and token are -1 to -6).
HANDLE AsRealHandle(unsigned long long value) {
  if (value == 0 || value % 4 != 0 || value > 0x7ffffffcULL) return nullptr;
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value));
}

// Whether `handle` is an object of the system's type `type` ("Mutant" for a
// mutex).
bool IsObjectOfType(HANDLE handle, const wchar_t* type) {
  using QueryObjectFn = LONG(NTAPI*)(HANDLE, int, PVOID, ULONG, PULONG);
  const auto query = GetLoadedFunction<QueryObjectFn>(L"ntdll.dll", "NtQueryObject");
  constexpr int kObjectTypeInformation = 2;
  // The type's name comes first, its text right after the record.
  alignas(UNICODE_STRING) BYTE buffer[1024] = {};
  ULONG size = 0;
  if (query == nullptr || query(handle, kObjectTypeInformation, buffer, sizeof(buffer), &size) < 0)
    return false;
  const auto* name = reinterpret_cast<const UNICODE_STRING*>(buffer);
  const size_t length = wcslen(type);
  return name->Buffer != nullptr && name->Length == length * sizeof(wchar_t) &&
         wmemcmp(name->Buffer, type, length) == 0;
}

// Whether `handle` is a process, and the one that started this process.
bool IsParentProcess(HANDLE handle) {
  struct BasicInformation {  // PROCESS_BASIC_INFORMATION, as the system fills it
    LONG exit_status;
    PVOID peb;
    ULONG_PTR affinity;
    LONG base_priority;
    ULONG_PTR process_id;
    ULONG_PTR parent_id;
  } info = {};
  using QueryProcessFn = LONG(NTAPI*)(HANDLE, int, PVOID, ULONG, PULONG);
  const auto query = GetLoadedFunction<QueryProcessFn>(L"ntdll.dll", "NtQueryInformationProcess");
  constexpr int kProcessBasicInformation = 0;
  ULONG size = 0;
  const DWORD id = ::GetProcessId(handle);
  return query != nullptr && id != 0 &&
         query(::GetCurrentProcess(), kProcessBasicInformation, &info, sizeof(info), &size) >= 0 &&
         info.parent_id == id;
}

}  // namespace

std::string EncodeHandover(const HandoverRecord& record) {
  std::string out(kMagic, sizeof(kMagic));
  PutNumber(out, record.installation.volume, 4);
  PutNumber(out, record.installation.index, 8);
  PutText(out, record.uninstaller);
  PutNumber(out, out.size() + 4, 4);  // the whole record's size, this included
  return out;
}

bool DecodeHandover(const std::string& bytes, HandoverRecord& record) {
  record = HandoverRecord();
  if (bytes.size() < sizeof(kMagic) + 4 || bytes.size() > kLargestRecord ||
      std::memcmp(bytes.data(), kMagic, sizeof(kMagic)) != 0)
    return false;
  Reader reader(bytes);
  uint64_t skip = 0, volume = 0, index = 0, size = 0;
  if (!reader.Number(skip, 4) || !reader.Number(skip, 4) || !reader.Number(volume, 4) ||
      !reader.Number(index, 8) || !reader.Text(record.uninstaller) ||
      !IsPlainName(record.uninstaller))
    return false;
  record.installation = {static_cast<DWORD>(volume), index, true};
  return reader.Number(size, 4) && size == bytes.size() && reader.AtEnd();
}

std::wstring EncodeHandoverHandles(const HandoverHandles& handles) {
  return FormatWide(L"%llx %llx %llx %llx %llx", HandleValue(handles.record), HandleValue(handles.lock),
                    HandleValue(handles.outcome), HandleValue(handles.first), HandleValue(handles.log));
}

HandoverHandles TakeHandoverHandles() {
  HandoverHandles handles;
  wchar_t text[128] = {};
  const DWORD length = ::GetEnvironmentVariableW(kHandoverVariable, text, 128);
  (void)::SetEnvironmentVariableW(kHandoverVariable, nullptr);
  unsigned long long values[5] = {};
  if (length == 0 || length >= 128 ||
      swscanf(text, L"%llx %llx %llx %llx %llx", &values[0], &values[1], &values[2], &values[3],
              &values[4]) != 5)
    return handles;
  // Each only when it is a real handle of the right kind; anything else is
  // no hand-over.
  const HANDLE record = AsRealHandle(values[0]), lock = AsRealHandle(values[1]);
  const HANDLE outcome = AsRealHandle(values[2]), first = AsRealHandle(values[3]);
  if (record && ::GetFileType(record) == FILE_TYPE_DISK) handles.record = record;
  if (lock && IsObjectOfType(lock, L"Mutant")) handles.lock = lock;
  if (outcome && ::GetFileType(outcome) == FILE_TYPE_PIPE) handles.outcome = outcome;
  if (first && IsParentProcess(first)) handles.first = first;
  const HANDLE log = AsRealHandle(values[4]);
  const DWORD log_attributes = log ? EntryAttributes(log) : INVALID_FILE_ATTRIBUTES;
  if (log_attributes != INVALID_FILE_ATTRIBUTES && !(log_attributes & FILE_ATTRIBUTE_DIRECTORY) &&
      ::GetFileType(log) == FILE_TYPE_DISK)
    handles.log = log;
  return handles;
}

bool ReadHandoverRecord(HANDLE file, HandoverRecord& record) {
  std::string bytes;
  const DWORD attributes = file ? EntryAttributes(file) : INVALID_FILE_ATTRIBUTES;
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY) &&
         ReadPlainFile(file, kLargestRecord + 1, bytes) && DecodeHandover(bytes, record);
}
