#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "common/text.h"
#include "common/unique_resource.h"

namespace oldtest {
namespace {

std::wstring WithBackslash(std::wstring path) {
  if (path.empty() || path.back() != L'\\') path += L'\\';
  return path;
}

std::wstring ParentOf(const std::wstring& path) {
  std::wstring trimmed = path;
  while (!trimmed.empty() && trimmed.back() == L'\\') trimmed.pop_back();
  const size_t slash = trimmed.find_last_of(L'\\');
  return slash == std::wstring::npos ? std::wstring() : trimmed.substr(0, slash);
}

// The Unix path of a Windows path, through Wine's own export.
std::string UnixPath(const std::wstring& path) {
  using Fn = char*(CDECL*)(const wchar_t*);
  const auto to_unix = reinterpret_cast<Fn>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (to_unix == nullptr) return {};
  char* unix_path = to_unix(path.c_str());
  if (unix_path == nullptr) return {};
  std::string result(unix_path);
  ::HeapFree(::GetProcessHeap(), 0, unix_path);
  return result;
}

// Sends one request to the harness's link service and waits for its answer.
bool AskLinkService(const std::string& request) {
  static int counter = 0;
  const std::wstring folder = L"C:\\work\\.link-requests\\";
  const std::wstring id =
      std::to_wstring(::GetCurrentProcessId()) + L"_" + std::to_wstring(++counter);
  WriteFileBytes(folder + id + L".tmp", request);
  ::MoveFileW((folder + id + L".tmp").c_str(), (folder + id + L".req").c_str());
  const std::wstring done = folder + id + L".done";
  for (int i = 0; i < 500; ++i) {
    if (PathExists(done)) {
      const std::string answer = ReadFileBytes(done);
      ::DeleteFileW(done.c_str());
      if (answer != "ok") ADD_FAILURE() << "link service: " << answer;
      return answer == "ok";
    }
    ::Sleep(10);
  }
  ADD_FAILURE() << "link service did not answer (is the harness running?)";
  return false;
}

}  // namespace

std::wstring ProgramFolder() {
  wchar_t path[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path);
  return folder.substr(0, folder.find_last_of(L'\\') + 1);
}

std::wstring FreshTestFolder() {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::wstring name = L"C:\\work\\tests\\";
  if (info != nullptr) name += Utf8ToWide(std::string(info->test_suite_name()) + "." + info->name());
  RemoveTestTree(name);
  MakeFolders(name);
  return WithBackslash(name);
}

void MakeFolders(const std::wstring& path) {
  std::wstring prefix;
  for (size_t i = 0; i < path.size(); ++i) {
    if (path[i] == L'\\' && !prefix.empty()) ::CreateDirectoryW(prefix.c_str(), nullptr);
    prefix += path[i];
  }
  ::CreateDirectoryW(prefix.c_str(), nullptr);
}

void WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  MakeFolders(ParentOf(path));
  UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(file.valid()) << "cannot write " << WideToUtf8(path);
  DWORD written = 0;
  ASSERT_TRUE(::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                          nullptr));
  ASSERT_EQ(written, bytes.size());
}

std::string ReadFileBytes(const std::wstring& path) {
  UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return {};
  std::string bytes;
  char block[65536];
  DWORD read = 0;
  while (::ReadFile(file.get(), block, sizeof(block), &read, nullptr) && read > 0)
    bytes.append(block, read);
  return bytes;
}

bool PathExists(const std::wstring& path) {
  return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

DWORD ListedAttributes(const std::wstring& path) {
  std::wstring trimmed = path;
  while (!trimmed.empty() && trimmed.back() == L'\\') trimmed.pop_back();
  WIN32_FIND_DATAW data;
  UniqueFind find(::FindFirstFileW(trimmed.c_str(), &data));
  return find ? data.dwFileAttributes : INVALID_FILE_ATTRIBUTES;
}

void RemoveTestTree(const std::wstring& path) {
  const std::wstring folder = WithBackslash(path);
  WIN32_FIND_DATAW data;
  UniqueFind find(::FindFirstFileW((folder + L"*").c_str(), &data));
  if (find) {
    do {
      const std::wstring name = data.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring child = folder + name;
      if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        ::RemoveDirectoryW(child.c_str());  // the link only, never its target
      } else if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTestTree(child);
      } else {
        ::SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileW(child.c_str());
      }
    } while (::FindNextFileW(find.get(), &data));
  }
  find.reset();
  ::RemoveDirectoryW(path.c_str());
}

bool MakeFolderLink(const std::wstring& link, const std::wstring& target) {
  std::wstring trimmed = link;
  while (!trimmed.empty() && trimmed.back() == L'\\') trimmed.pop_back();
  const std::string unix_parent = UnixPath(ParentOf(trimmed));
  const std::string unix_target = UnixPath(target);
  if (unix_parent.empty() || unix_target.empty()) {
    ADD_FAILURE() << "no Unix path for the link or its target";
    return false;
  }
  const std::string name = WideToUtf8(trimmed.substr(trimmed.find_last_of(L'\\') + 1));
  return AskLinkService("link\n" + unix_parent + "/" + name + "\n" + unix_target + "\n");
}

bool MapDrive(wchar_t letter, const std::wstring& target) {
  const std::string unix_target = UnixPath(target);
  if (unix_target.empty()) return false;
  return AskLinkService(std::string("drive\n") + static_cast<char>(letter) + "\n" + unix_target +
                        "\n");
}

std::wstring Env(const wchar_t* name) {
  wchar_t value[32768];
  const DWORD length = ::GetEnvironmentVariableW(name, value, 32768);
  return length > 0 && length < 32768 ? std::wstring(value, length) : std::wstring();
}

PROCESS_INFORMATION StartProcess(const std::wstring& command_line,
                                 const std::wstring& working_folder) {
  std::wstring line = command_line;
  const std::wstring folder = working_folder.empty() ? L"C:\\work" : working_folder;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!::CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(),
                        &startup, &process)) {
    ADD_FAILURE() << "cannot start " << WideToUtf8(command_line) << " (error "
                  << ::GetLastError() << ")";
  }
  return process;
}

ProcessRun RunProcess(const std::wstring& command_line, DWORD timeout_ms,
                      const std::wstring& working_folder) {
  ProcessRun run;
  PROCESS_INFORMATION info = StartProcess(command_line, working_folder);
  UniqueHandle process(info.hProcess);
  UniqueHandle thread(info.hThread);
  if (!process) return run;
  run.started = true;
  run.process_id = info.dwProcessId;
  if (::WaitForSingleObject(process.get(), timeout_ms) == WAIT_OBJECT_0) {
    run.finished = true;
    ::GetExitCodeProcess(process.get(), &run.exit_code);
  } else {
    ::TerminateProcess(process.get(), 1);
    ::WaitForSingleObject(process.get(), 5000);
  }
  return run;
}

}  // namespace oldtest
