#include "profile/descriptor_loader.h"

#include <json/reader.h>
#include <json/value.h>

#include "cleanup/files/plain_file.h"
#include "cleanup/files/removal_safety.h"
#include "common/unique_resource.h"
#include "common/text.h"
#include "profile/game_profile.h"

namespace {

constexpr size_t kBufferSize = 4096;

constexpr wchar_t kDescriptor[] = L"res\\data\\init.dat";

// The descriptor's text as the runtime's text mode reads it: CR LF as LF, an
// end at Ctrl-Z, at most 4,095 bytes, up to its first NUL. Empty when the
// file is not a plain file or cannot be read.
std::string ReadDescriptorText(HANDLE file) {
  std::string raw;
  // Each byte of the text takes at most two bytes of the file.
  if (!file || file == INVALID_HANDLE_VALUE || !ReadPlainFile(file, 2 * (kBufferSize - 1), raw))
    return {};
  std::string text;
  for (size_t i = 0; i < raw.size() && text.size() < kBufferSize - 1; ++i) {
    if (raw[i] == '\x1a') break;
    if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
    text += raw[i];
  }
  return std::string(text.c_str());
}

// Sets `field` from the member `name` when it is a JSON string.
void TakeString(const Json::Value& root, const char* name, std::wstring& field) {
  const Json::Value* member = root.find(name, name + std::char_traits<char>::length(name));
  if (member != nullptr && member->isString()) field = Utf8ToWide(member->asString());
}

}  // namespace

bool LoadGameProfile(const std::wstring& directory) {
  // Plain concatenation: a directory without its trailing "\" names another
  // file ("...\gameres\data\init.dat").
  const size_t slash = directory.find_last_of(L'\\');
  const std::wstring parent = slash == std::wstring::npos ? L"." : directory.substr(0, slash + 1);
  // A relative folder ("\\" without /path: the current drive's root) as the
  // system reads it.
  wchar_t full[MAX_PATH * 2] = {};
  const DWORD length = ::GetFullPathNameW(parent.c_str(), MAX_PATH * 2, full, nullptr);
  const UniqueFileHandle folder =
      length > 0 && length < MAX_PATH * 2 ? OpenFolderToList(full) : UniqueFileHandle();
  if (!folder) return false;
  const std::wstring relative =
      (slash == std::wstring::npos ? directory : directory.substr(slash + 1)) + kDescriptor;
  return LoadGameProfileIn(folder.get(), relative);
}

bool LoadGameProfileIn(HANDLE folder, const std::wstring& relative) {
  const std::string document = ReadDescriptorText(OpenPlainFile(folder, relative).get());

  Json::Value root;
  Json::Reader reader;
  try {
    if (!reader.parse(document, root)) return false;
  } catch (...) {
    // The parser throws past its nesting limit: as unreadable as a syntax error.
    return false;
  }
  if (!root.isObject()) return false;

  TakeString(root, "game_name", GameProfile.game_name);
  TakeString(root, "shortcut_name", GameProfile.shortcut_name);
  TakeString(root, "cache_name", GameProfile.cache_name);
  if (GameProfile.cache_name.empty()) GameProfile.cache_name = L"sdk_cache";
  TakeString(root, "branch_id", GameProfile.branch_id);
  TakeString(root, "install_name", GameProfile.install_name);
  TakeString(root, "exe_name", GameProfile.exe_name);
  TakeString(root, "ver", GameProfile.ver);
  TakeString(root, "version", GameProfile.version);
  TakeString(root, "uninstall_name", GameProfile.uninstall_name);
  TakeString(root, "info_about", GameProfile.info_about);
  TakeString(root, "publisher", GameProfile.publisher);
  TakeString(root, "help_link", GameProfile.help_link);
  TakeString(root, "op_id", GameProfile.op_id);
  TakeString(root, "game_id", GameProfile.game_id);
  return true;
}
