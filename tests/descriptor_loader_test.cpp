#include "profile/descriptor_loader.h"

#include <gtest/gtest.h>

#include "profile/game_profile.h"
#include "tests/support/test_support.h"

namespace {

// Writes `document` as the descriptor of a fresh installation folder and
// loads it into a reset GameProfile; returns the loader's result.
bool LoadDescriptor(const std::string& document) {
  const std::wstring folder = oldtest::FreshTestFolder();
  oldtest::WriteFileBytes(folder + L"res\\data\\init.dat", document);
  ResetGameProfile();
  return LoadGameProfile(folder);
}

void ExpectStartValues() {
  EXPECT_EQ(GameProfile.game_name, L"");
  EXPECT_EQ(GameProfile.cache_name, L"");
  EXPECT_EQ(GameProfile.exe_name, L"");
  EXPECT_EQ(GameProfile.install_name, L"");
  EXPECT_EQ(GameProfile.uninstall_name, L"uninstall.exe");
}

const char kFullDescriptor[] =
    "{\"game_name\":\"Demo\",\"shortcut_name\":\"Demo Shortcut\",\"cache_name\":\"cache\","
    "\"branch_id\":\"7\",\"install_name\":\"DemoGame\",\"exe_name\":\"demo.exe\",\"ver\":\"15\","
    "\"version\":\"2\",\"uninstall_name\":\"un.exe\",\"info_about\":\"https://a.example/\","
    "\"publisher\":\"Pub\",\"help_link\":\"https://h.example/\",\"op_id\":\"op\","
    "\"game_id\":\"1234\",\"install_dir\":\"C:\\\\evil\"}";

}  // namespace

TEST(Descriptor, AllMembersLoad) {
  LoadDescriptor(kFullDescriptor);
  EXPECT_EQ(GameProfile.game_name, L"Demo");
  EXPECT_EQ(GameProfile.shortcut_name, L"Demo Shortcut");
  EXPECT_EQ(GameProfile.cache_name, L"cache");
  EXPECT_EQ(GameProfile.branch_id, L"7");
  EXPECT_EQ(GameProfile.install_name, L"DemoGame");
  EXPECT_EQ(GameProfile.exe_name, L"demo.exe");
  EXPECT_EQ(GameProfile.ver, L"15");
  EXPECT_EQ(GameProfile.version, L"2");
  EXPECT_EQ(GameProfile.uninstall_name, L"un.exe");
  EXPECT_EQ(GameProfile.info_about, L"https://a.example/");
  EXPECT_EQ(GameProfile.publisher, L"Pub");
  EXPECT_EQ(GameProfile.help_link, L"https://h.example/");
  EXPECT_EQ(GameProfile.op_id, L"op");
  EXPECT_EQ(GameProfile.game_id, L"1234");
  // The installation folder never comes from the descriptor.
  EXPECT_EQ(GameProfile.install_dir, L"");
}

TEST(Descriptor, UnreadableDocumentsLeaveStartValues) {
  const struct {
    const char* what;
    std::string document;
  } cases[] = {
      {"empty file", ""},
      {"not JSON", "game_name=Demo"},
      {"root is an array", "[{\"game_name\":\"Demo\"}]"},
      {"root is a string", "\"Demo\""},
      {"byte-order mark", "\xEF\xBB\xBF{\"game_name\":\"Demo\"}"},
      {"object closes past 4,095 bytes",
       "{\"game_name\":\"Demo\",\"pad\":\"" + std::string(5000, 'x') + "\"}"},
      {"NUL before the object closes", std::string("{\"game_name\":\"Demo\"\0}", 21)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_FALSE(LoadDescriptor(c.document));
    ExpectStartValues();
  }
}

TEST(Descriptor, MissingFileOrFolderWithoutBackslash) {
  const std::wstring folder = oldtest::FreshTestFolder();
  ResetGameProfile();
  EXPECT_FALSE(LoadGameProfile(folder));
  ExpectStartValues();

  oldtest::WriteFileBytes(folder + L"game\\res\\data\\init.dat", "{\"game_name\":\"Demo\"}");
  ResetGameProfile();
  LoadGameProfile(folder + L"game");  // names "gameres\data\init.dat"
  ExpectStartValues();
  LoadGameProfile(folder + L"game\\");
  EXPECT_EQ(GameProfile.game_name, L"Demo");
}

TEST(Descriptor, MemberTypesAndDefaults) {
  EXPECT_TRUE(LoadDescriptor("{}"));
  EXPECT_EQ(GameProfile.cache_name, L"sdk_cache");
  EXPECT_EQ(GameProfile.uninstall_name, L"uninstall.exe");
  EXPECT_EQ(GameProfile.game_name, L"");

  LoadDescriptor(
      "{\"cache_name\":\"\",\"uninstall_name\":\"\",\"game_id\":1234,\"op_id\":null,"
      "\"exe_name\":[\"a.exe\"],\"publisher\":{\"x\":\"y\"},\"ver\":true,\"game_name\":\"G\"}");
  EXPECT_EQ(GameProfile.cache_name, L"sdk_cache");
  EXPECT_EQ(GameProfile.uninstall_name, L"");
  EXPECT_EQ(GameProfile.game_id, L"");
  EXPECT_EQ(GameProfile.op_id, L"");
  EXPECT_EQ(GameProfile.exe_name, L"");
  EXPECT_EQ(GameProfile.publisher, L"");
  EXPECT_EQ(GameProfile.ver, L"");
  EXPECT_EQ(GameProfile.game_name, L"G");

  LoadDescriptor("{\"cache_name\":5}");
  EXPECT_EQ(GameProfile.cache_name, L"sdk_cache");
}

TEST(Descriptor, TextFormsThatStillLoad) {
  const struct {
    const char* what;
    std::string document;
  } cases[] = {
      {"CR LF line ends", "{\r\n  \"game_name\": \"Demo\",\r\n  \"exe_name\": \"demo.exe\"\r\n}\r\n"},
      {"comments", "// installer output\n{ /* name */ \"game_name\": \"Demo\", // exe\n"
                   "\"exe_name\": \"demo.exe\" }"},
      {"text after the object", "{\"game_name\":\"Demo\",\"exe_name\":\"demo.exe\"} trailing"},
      // 4,095 bytes after CR LF is read as LF: the object closes within them.
      {"CR LF document near the limit",
       "{\"exe_name\":\"demo.exe\",\r\n\"game_name\":\"Demo\",\"pad\":\"" + std::string(4040, 'x') +
           "\"}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    LoadDescriptor(c.document);
    EXPECT_EQ(GameProfile.game_name, L"Demo");
    EXPECT_EQ(GameProfile.exe_name, L"demo.exe");
  }
}

TEST(Descriptor, NonAsciiAndEscapedNul) {
  LoadDescriptor("{\"game_name\":\"\xE6\xB8\xB8\xE6\x88\x8F \xC3\xA9\",\"exe_name\":\"a\\u0000b.exe\"}");
  EXPECT_EQ(GameProfile.game_name, L"\u6E38\u620F \u00E9");
  EXPECT_EQ(GameProfile.exe_name, L"a");
}
