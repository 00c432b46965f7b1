#include "cleanup/module_files.h"

#include <gtest/gtest.h>

#include "common/unique_resource.h"
#include "tests/support/test_support.h"

namespace {

std::string Pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 4096) & 0xFF);
  return bytes;
}

// The server end of a pipe: reads one block, then closes.
struct OneBlockReader {
  HANDLE pipe;
  DWORD received = 0;

  static DWORD WINAPI Run(void* self) {
    auto* reader = static_cast<OneBlockReader*>(self);
    UniqueFileHandle pipe(reader->pipe);
    ::ConnectNamedPipe(pipe.get(), nullptr);
    char block[4096];
    DWORD got = 0;
    while (reader->received < sizeof(block) &&
           ::ReadFile(pipe.get(), block, sizeof(block) - reader->received, &got, nullptr) && got > 0)
      reader->received += got;
    return 0;
  }
};

}  // namespace

TEST(ModuleFiles, OwnFolderAndTemporaryFolder) {
  std::wstring program = oldtest::ProgramFolder();
  program.pop_back();
  EXPECT_EQ(GetModuleDirectory(), program);

  wchar_t expected[MAX_PATH] = {};
  ASSERT_GT(::GetTempPathW(MAX_PATH, expected), 0u);
  EXPECT_EQ(GetTempDirectory(), expected);
  EXPECT_EQ(GetTempDirectory().back(), L'\\');
}

TEST(ModuleFiles, CopyGivesTheSourceBytes) {
  const std::wstring folder = oldtest::FreshTestFolder();
  const struct {
    const char* what;
    std::string source;
    std::string existing;  // the destination's bytes before, if any
  } cases[] = {
      {"empty source", "", ""},
      {"less than a block", Pattern(100), ""},
      {"exactly one block", Pattern(4096), ""},
      {"several blocks and a rest", Pattern(3 * 4096 + 17), ""},
      {"longer destination is truncated", Pattern(5000), Pattern(20000)},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::wstring source = folder + L"source" + std::to_wstring(n);
    const std::wstring destination = folder + L"copy" + std::to_wstring(n++) + L".exe";
    oldtest::WriteFileBytes(source, c.source);
    if (!c.existing.empty()) oldtest::WriteFileBytes(destination, c.existing);
    EXPECT_TRUE(CopyFileContents(source, destination));
    ASSERT_TRUE(oldtest::PathExists(destination));
    EXPECT_EQ(oldtest::ReadFileBytes(destination), c.source);
  }
}

TEST(ModuleFiles, CopyOfTheRunningProgramWhileItRuns) {
  const std::wstring folder = oldtest::FreshTestFolder();
  wchar_t own[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, own, MAX_PATH);
  EXPECT_TRUE(CopyFileContents(own, folder + L"self.exe"));
  EXPECT_EQ(oldtest::ReadFileBytes(folder + L"self.exe"), oldtest::ReadFileBytes(own));
}

TEST(ModuleFiles, FailedCopiesSayFalse) {
  const std::wstring folder = oldtest::FreshTestFolder();
  oldtest::WriteFileBytes(folder + L"source", Pattern(64 * 4096));

  // No source: nothing is created.
  EXPECT_FALSE(CopyFileContents(folder + L"missing", folder + L"a"));
  EXPECT_FALSE(oldtest::PathExists(folder + L"a"));

  // The destination's folder does not exist, or the destination is a folder.
  EXPECT_FALSE(CopyFileContents(folder + L"source", folder + L"nowhere\\copy"));
  oldtest::MakeFolders(folder + L"taken");
  EXPECT_FALSE(CopyFileContents(folder + L"source", folder + L"taken"));

  // Another program holds the destination without sharing write.
  {
    UniqueFileHandle holder(::CreateFileW((folder + L"held").c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                          nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(holder.valid());
    EXPECT_FALSE(CopyFileContents(folder + L"source", folder + L"held"));
  }

  // A reader that takes one block and goes away: the later writes fail, so
  // the copy is short.
  const std::wstring pipe_name = L"\\\\.\\pipe\\brim_copy_test";
  UniqueFileHandle pipe(::CreateNamedPipeW(pipe_name.c_str(), PIPE_ACCESS_INBOUND,
                                           PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr));
  ASSERT_TRUE(pipe.valid());
  OneBlockReader reader{pipe.release()};
  UniqueHandle thread(::CreateThread(nullptr, 0, &OneBlockReader::Run, &reader, 0, nullptr));
  EXPECT_FALSE(CopyFileContents(folder + L"source", pipe_name));
  ::WaitForSingleObject(thread.get(), 10000);
  EXPECT_EQ(reader.received, 4096u);
}
