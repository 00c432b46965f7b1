#include "tests/support/harness.h"

#include <gtest/gtest.h>
#include <json/reader.h>
#include <shlobj.h>

#include <cwctype>
#include <memory>
#include <sstream>
#include <vector>

#include "common/text.h"

namespace test {
namespace {

std::wstring Trimmed(std::wstring path) {
  while (!path.empty() && path.back() == L'\\') path.pop_back();
  return path;
}

// The Unix path of a Windows path, through Wine's own export.
std::string UnixPath(const std::wstring& path) {
  using Fn = char*(CDECL*)(const wchar_t*);
  static const auto to_unix = reinterpret_cast<Fn>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  char* unix_path = to_unix(Trimmed(path).c_str());
  const std::string result = unix_path ? unix_path : "";
  ::HeapFree(::GetProcessHeap(), 0, unix_path);
  return result;
}

// One request to the harness's service (tests/harness/services.py): a verb
// and its Unix arguments, one per line.
bool Ask(const std::string& verb, const std::string& first, const std::string& second = "") {
  static int counter = 0;
  const std::wstring id = L"C:\\work\\.requests\\" + std::to_wstring(::GetCurrentProcessId()) +
                          L"_" + std::to_wstring(++counter);
  Write(id + L".tmp", verb + "\n" + first + "\n" + second + "\n");
  ::MoveFileW((id + L".tmp").c_str(), (id + L".req").c_str());
  for (int i = 0; i < 1000 && !Exists(id + L".done"); ++i) ::Sleep(10);
  const std::string answer = Read(id + L".done");
  ::DeleteFileW((id + L".done").c_str());
  EXPECT_EQ(answer, "ok") << verb << " " << first;
  return answer == "ok";
}

BOOL CALLBACK FindBox(HWND window, LPARAM context) {
  auto* search = reinterpret_cast<std::pair<const std::wstring*, HWND>*>(context);
  wchar_t class_name[16] = {}, title[512] = {};
  ::GetClassNameW(window, class_name, 16);
  ::GetWindowTextW(window, title, 512);
  if (std::wstring(class_name) != L"#32770" || !::IsWindowVisible(window) || title != *search->first)
    return TRUE;
  search->second = window;
  return FALSE;
}

// Tells Wine's mount manager that the drive `letter`, mapped by the service
// to a folder of its own, is a network drive (its own request to it).
bool MakeRemote(wchar_t letter) {
  struct UnixDrive {  // Wine's mountmgr_unix_drive
    ULONG size, type, fs_type;
    DWORD serial;
    ULONGLONG unix_dev;
    WCHAR letter;
    USHORT mount_point_offset, device_offset, label_offset;
  };
  const std::string c_drive = UnixPath(L"C:\\windows");
  const std::string folder = c_drive.substr(0, c_drive.find("/dosdevices/")) + "/drive_" +
                             static_cast<char>(std::towlower(letter));
  std::vector<char> request(sizeof(UnixDrive) + folder.size() + 1, '\0');
  auto* drive = reinterpret_cast<UnixDrive*>(request.data());
  drive->size = static_cast<ULONG>(request.size());
  drive->type = DRIVE_REMOTE;
  drive->letter = static_cast<WCHAR>(std::towlower(letter));
  drive->mount_point_offset = sizeof(UnixDrive);
  folder.copy(request.data() + sizeof(UnixDrive), folder.size());
  const UniqueFileHandle manager(::CreateFileW(L"\\\\.\\MountPointManager", GENERIC_READ | GENERIC_WRITE,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
  DWORD returned = 0;
  return manager && ::DeviceIoControl(manager.get(), CTL_CODE('m', 32, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS),
                                      request.data(), drive->size, nullptr, 0, &returned, nullptr);
}

}  // namespace

std::wstring ProgramFolder() {
  wchar_t path[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  const std::wstring file(path);
  return file.substr(0, file.find_last_of(L'\\') + 1);
}

std::wstring FreshFolder() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::wstring folder = L"C:\\work\\tests\\" + Utf8ToWide(info->test_suite_name()) + L"." +
                              Utf8ToWide(info->name()) + L"\\";
  if (Exists(folder)) RemoveTree(folder);
  MakeFolders(folder);
  return folder;
}

void MakeFolders(const std::wstring& path) {
  for (size_t at = path.find(L'\\', 3); at != std::wstring::npos; at = path.find(L'\\', at + 1))
    ::CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
  ::CreateDirectoryW(path.c_str(), nullptr);
}

void LayOut(const std::wstring& base, const std::wstring& layout) {
  std::wistringstream entries(layout);
  for (std::wstring entry; entries >> entry;) {
    for (wchar_t& c : entry) c = c == L'/' ? L'\\' : c;
    const size_t arrow = entry.find(L'>');
    if (arrow != std::wstring::npos) {
      const std::wstring link = base + entry.substr(0, arrow);
      Link(link, base + entry.substr(arrow + 1));
    } else if (entry.back() == L'\\') {
      MakeFolders(base + entry);
    } else {
      const bool read_only = entry.back() == L'!';
      if (read_only) entry.pop_back();
      Write(base + entry);
      if (read_only) ::SetFileAttributesW((base + entry).c_str(), FILE_ATTRIBUTE_READONLY);
    }
  }
}

void Write(const std::wstring& path, const std::string& bytes) {
  MakeFolders(Trimmed(path).substr(0, Trimmed(path).find_last_of(L'\\')));
  UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  DWORD written = 0;
  EXPECT_TRUE(file && ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()),
                                  &written, nullptr))
      << WideToUtf8(path);
}

std::string Read(const std::wstring& path) {
  UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, 7, nullptr, OPEN_EXISTING, 0, nullptr));
  std::string bytes;
  char block[65536];
  DWORD read = 0;
  while (file && ::ReadFile(file.get(), block, sizeof(block), &read, nullptr) && read > 0)
    bytes.append(block, read);
  return bytes;
}

bool Exists(const std::wstring& path) {
  return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void RemoveTree(const std::wstring& path) {
  if (Exists(path)) (void)Ask("rmtree", UnixPath(path));
}
bool Swap(const std::wstring& folder, const std::wstring& target) {
  return Ask("swap", UnixPath(folder), UnixPath(target));
}
bool MapDrive(wchar_t letter, const std::wstring& target, bool remote) {
  if (!Ask("drive", std::string(1, static_cast<char>(letter)), target.empty() ? "" : UnixPath(target))) return false;
  if (remote && (!target.empty() || !MakeRemote(letter))) return false;
  // Until Wine's mount manager knows the new drive, the system tells where
  // its folders are only as Unix paths (\\?\unix\...).
  const std::wstring root = std::wstring(1, letter) + L":\\";
  for (int i = 0; i < 500; ++i, ::Sleep(20)) {
    const UniqueFileHandle folder(::CreateFileW(root.c_str(), FILE_READ_ATTRIBUTES, 7, nullptr, OPEN_EXISTING,
                                                FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    wchar_t final_path[MAX_PATH] = {};
    if (folder && ::GetFinalPathNameByHandleW(folder.get(), final_path, MAX_PATH, 0) > 0 &&
        std::wstring(final_path) == L"\\\\?\\" + root)
      return true;
  }
  ADD_FAILURE() << "Wine does not know drive " << static_cast<char>(letter) << ":";
  return false;
}
bool Link(const std::wstring& link, const std::wstring& target) {
  MakeFolders(Trimmed(link).substr(0, Trimmed(link).find_last_of(L'\\')));
  return Ask("link", UnixPath(link), UnixPath(target));
}
bool StallNextConnection() { return Ask("stall", ""); }

void MakeShortcut(const std::wstring& path, const std::wstring& target) {
  MakeFolders(path.substr(0, path.find_last_of(L'\\')));
  (void)::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);  // for the test's life
  UniqueCom<IShellLinkW> link;
  UniqueCom<IPersistFile> file;
  EXPECT_TRUE(SUCCEEDED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                           reinterpret_cast<void**>(link.put()))) &&
              SUCCEEDED(link.get()->SetPath(target.c_str())) &&
              SUCCEEDED(link.get()->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(file.put()))) &&
              SUCCEEDED(file.get()->Save(path.c_str(), TRUE)))
      << WideToUtf8(path);
}

std::wstring Env(const wchar_t* name) {
  wchar_t value[4096];
  const DWORD length = ::GetEnvironmentVariableW(name, value, 4096);
  return length > 0 && length < 4096 ? std::wstring(value, length) : std::wstring();
}

void SetEnv(const std::map<std::wstring, std::wstring>& variables) {
  for (const auto& [name, value] : variables)
    ::SetEnvironmentVariableW(name.c_str(), value.empty() ? nullptr : value.c_str());
}

void WriteKey(HKEY hive, const std::wstring& path, const Values& values) {
  UniqueKey key;
  ASSERT_EQ(::RegCreateKeyExW(hive, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(),
                              nullptr),
            ERROR_SUCCESS);
  for (const auto& [name, text] : values)
    ::RegSetValueExW(key.get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                     static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

Values ReadKey(HKEY hive, const std::wstring& path) {
  Values values;
  UniqueKey key;
  if (::RegOpenKeyExW(hive, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return values;
  for (DWORD index = 0;; ++index) {
    wchar_t name[256], data[2048] = {};
    DWORD name_length = 256, bytes = sizeof(data) - sizeof(wchar_t), type = 0;
    if (::RegEnumValueW(key.get(), index, name, &name_length, nullptr, &type,
                        reinterpret_cast<BYTE*>(data), &bytes) != ERROR_SUCCESS)
      return values;
    values[std::wstring(name, name_length)] = type == REG_SZ ? data : L"<not text>";
  }
}

bool KeyExists(HKEY hive, const std::wstring& path) {
  UniqueKey key;
  return ::RegOpenKeyExW(hive, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

void DeleteKey(HKEY hive, const std::wstring& path) {
  (void)::RegDeleteTreeW(hive, path.c_str());
  (void)::RegDeleteKeyW(hive, path.c_str());
}

std::wstring RawKey(HKEY hive, const std::wstring& path) {
  std::wstring lines;
  UniqueKey key;
  if (::RegOpenKeyExW(hive, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return lines;
  FILETIME written = {};
  ::RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                     nullptr, nullptr, &written);
  lines = FormatWide(L"written %08lx%08lx\n", written.dwHighDateTime, written.dwLowDateTime);
  for (DWORD index = 0;; ++index) {
    wchar_t name[256];
    BYTE data[4096];
    DWORD name_length = 256, bytes = sizeof(data), type = 0;
    if (::RegEnumValueW(key.get(), index, name, &name_length, nullptr, &type, data, &bytes) != ERROR_SUCCESS)
      return lines;
    lines += std::wstring(name, name_length) + L"=" + std::to_wstring(type) + L":";
    for (DWORD i = 0; i < bytes; ++i) lines += FormatWide(L"%02x", data[i]);
    lines += L"\n";
  }
}

void WriteRawValue(HKEY hive, const std::wstring& path, const std::wstring& name, DWORD type, const std::string& bytes) {
  UniqueKey key;
  ASSERT_EQ(::RegCreateKeyExW(hive, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr), ERROR_SUCCESS);
  ::RegSetValueExW(key.get(), name.c_str(), 0, type, reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()));
}

DWORD Process::Wait(DWORD timeout_ms) const {
  DWORD code = ~0u;
  if (handle && ::WaitForSingleObject(handle.get(), timeout_ms) == WAIT_OBJECT_0)
    ::GetExitCodeProcess(handle.get(), &code);
  return code;
}

Process Start(const std::wstring& command_line, const std::wstring& folder, HANDLE output) {
  std::wstring line = command_line;
  STARTUPINFOW startup = {sizeof(startup)};
  if (output != nullptr) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = output;
  }
  PROCESS_INFORMATION info = {};
  Process process;
  if (!::CreateProcessW(nullptr, &line[0], nullptr, nullptr, output != nullptr, 0, nullptr, folder.c_str(),
                        &startup, &info)) {
    ADD_FAILURE() << "cannot start " << WideToUtf8(command_line) << ": " << ::GetLastError();
    return process;
  }
  ::CloseHandle(info.hThread);
  process.handle.reset(info.hProcess);
  process.id = info.dwProcessId;
  return process;
}

Box AnswerBox(const std::wstring& caption, Answer answer, DWORD timeout_ms,
              const std::function<void()>& meanwhile) {
  std::pair<const std::wstring*, HWND> search{&caption, nullptr};
  for (const DWORD start = ::GetTickCount();
       !search.second && ::GetTickCount() - start < timeout_ms; ::Sleep(20))
    ::EnumWindows(FindBox, reinterpret_cast<LPARAM>(&search));
  const HWND window = search.second;
  Box box;
  if (window == nullptr) return box;
  ::Sleep(200);  // let it finish painting
  wchar_t text[4096] = {};
  ::GetDlgItemTextW(window, 0xFFFF, text, 4096);  // a message box's text
  DWORD id = 0;
  ::GetWindowThreadProcessId(window, &id);
  box = {true, text, UniqueHandle(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id))};
  if (meanwhile) meanwhile();
  if (answer == Answer::kCloseButton) {
    ::PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
  } else {
    const int button = answer == Answer::kOk ? IDOK : IDCANCEL;
    ::PostMessageW(window, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                   reinterpret_cast<LPARAM>(::GetDlgItem(window, button)));
  }
  // The next box of the same caption must not be taken for this one.
  for (int i = 0; i < 500 && ::IsWindow(window); ++i) ::Sleep(10);
  return box;
}

std::vector<Request> Requests(const std::string& marker, bool releases) {
  std::vector<Request> found;
  std::istringstream lines(Read(Env(L"COLLECTOR_RECORDS")));
  Json::CharReaderBuilder builder;
  const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  for (std::string line; std::getline(lines, line);) {
    Json::Value entry;
    if (!reader->parse(line.data(), line.data() + line.size(), &entry, nullptr)) continue;
    if (entry["released"].asBool() && !releases) continue;
    Request request{entry["method"].asString(), entry["path"].asString(), entry["version"].asString(),
                    entry["header_text"].asString(), "", entry["body_length"].asUInt(), entry["released"].asBool()};
    const std::string hex = entry["body_hex"].asString();
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
      request.body += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    if (request.body.find(marker) != std::string::npos) found.push_back(request);
  }
  return found;
}

std::string UniqueMarker() {
  static int counter = 0;
  LARGE_INTEGER now;
  ::QueryPerformanceCounter(&now);
  return "marker" + std::to_string(now.QuadPart) + "x" + std::to_string(++counter);
}

}  // namespace test
