// The install descriptor read into the game profile: members, defaults, text
// forms, and documents that leave every field at its start value.

#include "profile/descriptor_loader.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "common/text.h"
#include "profile/game_profile.h"
#include "tests/support/harness.h"

namespace {

using Field = std::wstring GameProfileRecord::*;
using Fields = std::vector<std::pair<Field, std::wstring>>;

const std::string kFull =
    "{\"game_name\":\"Demo\",\"shortcut_name\":\"Demo Shortcut\",\"cache_name\":\"cache\","
    "\"branch_id\":\"7\",\"install_name\":\"DemoGame\",\"exe_name\":\"demo.exe\",\"ver\":\"15\","
    "\"version\":\"2\",\"uninstall_name\":\"un.exe\",\"info_about\":\"https://a/\","
    "\"publisher\":\"Pub\",\"help_link\":\"https://h/\",\"op_id\":\"op\",\"game_id\":\"1234\","
    "\"install_dir\":\"C:\\\\evil\"}";
const Fields kFullFields = {
    {&GameProfileRecord::game_name, L"Demo"},       {&GameProfileRecord::shortcut_name, L"Demo Shortcut"},
    {&GameProfileRecord::cache_name, L"cache"},     {&GameProfileRecord::branch_id, L"7"},
    {&GameProfileRecord::install_name, L"DemoGame"}, {&GameProfileRecord::exe_name, L"demo.exe"},
    {&GameProfileRecord::ver, L"15"},               {&GameProfileRecord::version, L"2"},
    {&GameProfileRecord::uninstall_name, L"un.exe"}, {&GameProfileRecord::info_about, L"https://a/"},
    {&GameProfileRecord::publisher, L"Pub"},        {&GameProfileRecord::help_link, L"https://h/"},
    {&GameProfileRecord::op_id, L"op"},             {&GameProfileRecord::game_id, L"1234"}};
const Fields kDemo = {{&GameProfileRecord::game_name, L"Demo"},
                      {&GameProfileRecord::exe_name, L"demo.exe"},
                      {&GameProfileRecord::cache_name, L"sdk_cache"}};

}  // namespace

TEST(Descriptor, EachDocumentGivesItsFieldsAndNothingElse) {
  const struct {
    const char* what;
    std::string document;
    bool loaded;
    Fields fields;  // every other field keeps its start value
  } cases[] = {
      {"all members; install_dir never comes from it", kFull, true, kFullFields},
      {"empty object: only the cache default", "{}", true, {{&GameProfileRecord::cache_name, L"sdk_cache"}}},
      {"members that are not strings, empty strings",
       "{\"cache_name\":\"\",\"uninstall_name\":\"\",\"game_id\":1234,\"op_id\":null,"
       "\"exe_name\":[\"a.exe\"],\"publisher\":{\"x\":\"y\"},\"ver\":true,\"game_name\":\"G\"}",
       true,
       {{&GameProfileRecord::cache_name, L"sdk_cache"}, {&GameProfileRecord::uninstall_name, L""},
        {&GameProfileRecord::game_name, L"G"}}},
      {"cache name a number", "{\"cache_name\":5}", true, {{&GameProfileRecord::cache_name, L"sdk_cache"}}},
      {"CR LF line ends", "{\r\n  \"game_name\": \"Demo\",\r\n  \"exe_name\": \"demo.exe\"\r\n}\r\n",
       true, kDemo},
      {"comments", "// installer\n{ /* n */ \"game_name\": \"Demo\", // e\n\"exe_name\": \"demo.exe\" }",
       true, kDemo},
      {"text after the object", "{\"game_name\":\"Demo\",\"exe_name\":\"demo.exe\"} trailing", true,
       kDemo},
      // 4,095 bytes once CR LF is read as LF: the object closes within them.
      {"CR LF document near the limit",
       "{\"exe_name\":\"demo.exe\",\r\n\"game_name\":\"Demo\",\"pad\":\"" + std::string(4040, 'x') +
           "\"}",
       true, kDemo},
      {"non-ASCII text, escaped NUL",
       "{\"game_name\":\"\xE6\xB8\xB8\xE6\x88\x8F \xC3\xA9\",\"exe_name\":\"a\\u0000b.exe\"}", true,
       {{&GameProfileRecord::game_name, L"\u6E38\u620F \u00E9"}, {&GameProfileRecord::exe_name, L"a"},
        {&GameProfileRecord::cache_name, L"sdk_cache"}}},
      {"empty file", "", false, {}},
      {"not JSON", "game_name=Demo", false, {}},
      {"root is an array", "[{\"game_name\":\"Demo\"}]", false, {}},
      {"root is a string", "\"Demo\"", false, {}},
      {"byte-order mark", "\xEF\xBB\xBF{\"game_name\":\"Demo\"}", false, {}},
      {"object closes past 4,095 bytes",
       "{\"game_name\":\"Demo\",\"pad\":\"" + std::string(5000, 'x') + "\"}", false, {}},
      {"NUL before the object closes", std::string("{\"game_name\":\"Demo\"\0}", 21), false, {}},
      {"nesting past the parser's limit", std::string(4000, '['), false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::wstring folder = test::FreshFolder();
    test::Write(folder + L"res\\data\\init.dat", c.document);
    GameProfile = {};
    EXPECT_EQ(LoadGameProfile(folder), c.loaded);
    GameProfileRecord expected;
    for (const auto& [field, value] : c.fields) expected.*field = value;
    for (const auto& [field, value] : kFullFields) {
      EXPECT_EQ(WideToUtf8(GameProfile.*field), WideToUtf8(expected.*field)) << WideToUtf8(value);
    }
    EXPECT_EQ(GameProfile.install_dir, L"");
  }
}

TEST(Descriptor, FolderMustEndInABackslash) {
  const std::wstring folder = test::FreshFolder();
  GameProfile = {};
  EXPECT_FALSE(LoadGameProfile(folder));  // no file at all
  test::Write(folder + L"game\\res\\data\\init.dat", "{\"game_name\":\"Demo\"}");
  EXPECT_FALSE(LoadGameProfile(folder + L"game"));  // names "gameres\data\init.dat"
  EXPECT_EQ(GameProfile.cache_name, L"");
  EXPECT_TRUE(LoadGameProfile(folder + L"game\\"));
  EXPECT_EQ(GameProfile.game_name, L"Demo");
}
