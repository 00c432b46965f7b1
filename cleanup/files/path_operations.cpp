#include "cleanup/files/path_operations.h"

#include <windows.h>

#include <vector>

#include "common/unique_resource.h"

namespace {

// Replaces every `from` with `to`, scanning on behind each replacement.
void ReplaceAll(std::wstring& text, const std::wstring& from, const std::wstring& to) {
  size_t at = 0;
  while ((at = text.find(from, at)) != std::wstring::npos) {
    text.replace(at, from.size(), to);
    at += to.size();
  }
}

// The attributes of the first entry a search on `path` yields, without
// trailing separators; false when the search fails.
bool ListedAttributes(const std::wstring& path, DWORD& attributes) {
  std::wstring copy = path;
  NormalizeSeparators(copy);
  while (!copy.empty() && (copy.back() == L'\\' || copy.back() == L'/')) copy.pop_back();
  if (copy.empty()) return false;
  WIN32_FIND_DATAW data;
  UniqueFind find(::FindFirstFileW(copy.c_str(), &data));
  if (!find) return false;
  attributes = data.dwFileAttributes;
  return true;
}

}  // namespace

void NormalizeSeparators(std::wstring& path) {
  ReplaceAll(path, L"/", L"\\");
  while (path.find(L"\\\\") != std::wstring::npos) ReplaceAll(path, L"\\\\", L"\\");
}

std::wstring ParentDirectory(const std::wstring& path) {
  std::wstring copy = path;
  NormalizeSeparators(copy);
  if (!copy.empty() && copy.back() == L'\\') copy.pop_back();
  const size_t last = copy.find_last_of(L'\\');
  if (last == std::wstring::npos) return {};
  return copy.substr(0, last + 1);
}

bool DirectoryExists(const std::wstring& path) {
  DWORD attributes = 0;
  return ListedAttributes(path, attributes) && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool FileExists(const std::wstring& path) {
  DWORD attributes = 0;
  return ListedAttributes(path, attributes) && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool CreateDirectoryChain(const std::wstring& path) {
  std::wstring copy = path;
  if (copy.empty() || copy.back() != L'\\') copy += L'\\';
  std::vector<std::wstring> prefixes;
  std::wstring prefix;
  for (const wchar_t c : copy) {
    if (c == L'\\') prefixes.push_back(prefix);
    prefix += c;
  }
  bool last = false;
  for (const std::wstring& folder : prefixes) {
    last = ::CreateDirectoryW(folder.c_str(), nullptr) != FALSE;
  }
  return last;
}
