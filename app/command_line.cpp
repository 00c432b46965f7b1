#include "app/command_line.h"

#include <windows.h>
#include <shlwapi.h>

#include <cwctype>

#include "profile/game_profile.h"

namespace {

constexpr size_t kOptionNameSize = 30;  // 29 characters and the terminator
constexpr int kValueBufferSize = 4096;

// The process-wide buffer in which a value is unquoted.
wchar_t g_option_value[kValueBufferSize];

struct OptionEntry {
  wchar_t name[kOptionNameSize];
  std::wstring* destination;
};

// Lower-cases ASCII letters only, trims white space and reads a leading '-'
// as '/': the form an argument is matched in.
std::wstring MatchingCopy(const std::wstring& argument) {
  std::wstring copy = argument;
  for (wchar_t& c : copy) {
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
  }
  size_t begin = 0;
  while (begin < copy.size() && std::iswspace(copy[begin])) ++begin;
  size_t end = copy.size();
  while (end > begin && std::iswspace(copy[end - 1])) --end;
  copy = copy.substr(begin, end - begin);
  if (!copy.empty() && copy[0] == L'-') copy[0] = L'/';
  return copy;
}

}  // namespace

std::wstring ExtractOptionValue(const std::wstring& argument) {
  const size_t equals = argument.find(L'=');
  if (equals == std::wstring::npos) return {};
  const std::wstring value = argument.substr(equals + 1);
  if (value.empty()) return {};
  ::lstrcpynW(g_option_value, value.c_str(), kValueBufferSize);
  ::PathUnquoteSpacesW(g_option_value);
  return std::wstring(g_option_value);
}

void ParseCommandLine(int count, wchar_t** arguments, LaunchOptions& options) {
  std::wstring quiet;
  OptionEntry table[] = {
      {L"/action", &options.action},
      {L"/path", &GameProfile.install_dir},
      {L"/quiet", &quiet},
      {L"/log", &options.log},
  };
  for (int i = 1; i < count; ++i) {
    if (arguments == nullptr || arguments[i] == nullptr) continue;
    const std::wstring argument = arguments[i];
    const std::wstring copy = MatchingCopy(argument);
    if (copy == L"/s" || copy == L"/silent" || copy == L"/verysilent") options.quiet = true;
    for (OptionEntry& option : table) {
      // A prefix match: "/pathology" counts as "/path".
      if (copy.compare(0, std::wcslen(option.name), option.name) != 0) continue;
      *option.destination = ExtractOptionValue(argument);
      if (option.destination == &quiet) options.quiet = true;
      break;
    }
  }
}

bool SelectsRemovalStage(const LaunchOptions& options) { return options.action == L"uninstall"; }
