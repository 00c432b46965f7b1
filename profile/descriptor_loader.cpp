#include "profile/descriptor_loader.h"

#include <json/reader.h>
#include <json/value.h>

#include <cstdio>
#include <memory>

#include "common/text.h"
#include "profile/game_profile.h"

namespace {

constexpr size_t kBufferSize = 4096;

struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};

// The descriptor's text up to its first NUL, at most 4,095 bytes after the
// text-mode reading of CR LF as LF; empty when the file cannot be opened.
std::string ReadDescriptorText(const std::wstring& path) {
  char buffer[kBufferSize] = {};
  std::unique_ptr<FILE, FileCloser> file(_wfopen(path.c_str(), L"r"));
  if (file) {
    std::fseek(file.get(), 0, SEEK_END);
    const long size = std::ftell(file.get());
    std::fseek(file.get(), 0, SEEK_SET);
    if (size > 0) {
      const size_t wanted = size < static_cast<long>(kBufferSize - 1)
                                ? static_cast<size_t>(size)
                                : kBufferSize - 1;
      (void)std::fread(buffer, wanted, 1, file.get());
    }
  }
  return std::string(buffer);
}

// Sets `field` from the member `name` when it is a JSON string.
void TakeString(const Json::Value& root, const char* name, std::wstring& field) {
  const Json::Value* member = root.find(name, name + std::char_traits<char>::length(name));
  if (member != nullptr && member->isString()) field = Utf8ToWide(member->asString());
}

}  // namespace

bool LoadGameProfile(const std::wstring& directory) {
  const std::string document = ReadDescriptorText(directory + L"res\\data\\init.dat");

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
