// The relocation stage as a whole program, started from a fake installation
// folder: what lands in the temporary folder, what happens to the game's
// registration, and how the copy is started.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

#include "common/text.h"
#include "common/unique_resource.h"
#include "tests/support/program_runs.h"
#include "tests/support/test_support.h"

namespace {

const wchar_t kMachineUninstall[] =
    L"Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Brim Reloc Game";
const wchar_t kUserUninstall[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Brim Reloc Game";
const wchar_t kMachineAppPaths[] =
    L"Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\App Paths\\brimreloc.exe";
const wchar_t kUserAppPaths[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\brimreloc.exe";

struct Entry {
  HKEY hive;
  const wchar_t* path;
};
const Entry kEntries[] = {{HKEY_LOCAL_MACHINE, kMachineUninstall},
                          {HKEY_CURRENT_USER, kUserUninstall},
                          {HKEY_LOCAL_MACHINE, kMachineAppPaths},
                          {HKEY_CURRENT_USER, kUserAppPaths}};

// A registry value's text, or "<absent>".
std::wstring ReadText(const Entry& entry, const wchar_t* name) {
  wchar_t data[1024] = {};
  DWORD size = sizeof(data) - sizeof(wchar_t);
  if (::RegGetValueW(entry.hive, entry.path, name, RRF_RT_REG_SZ, nullptr, data, &size) !=
      ERROR_SUCCESS)
    return L"<absent>";
  return data;
}

bool Exists(const Entry& entry) { return ReadText(entry, nullptr) != L"<absent>"; }

// The four entries as the installer left them; each holds its default value.
void RegisterGame() {
  for (const Entry& entry : kEntries) {
    UniqueKey key;
    ASSERT_EQ(::RegCreateKeyExW(entry.hive, entry.path, 0, nullptr, 0, KEY_WRITE, nullptr,
                                key.put(), nullptr),
              ERROR_SUCCESS);
    const std::wstring text = L"installed";
    ASSERT_EQ(::RegSetValueExW(key.get(), nullptr, 0, REG_SZ,
                               reinterpret_cast<const BYTE*>(text.c_str()),
                               static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
  }
}

void UnregisterGame() {
  for (const Entry& entry : kEntries) {
    (void)::RegDeleteTreeW(entry.hive, entry.path);
    (void)::RegDeleteKeyW(entry.hive, entry.path);
  }
}

// The names of the copies g_uninstall_*.exe in `folder`.
std::vector<std::wstring> CopiesIn(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW data;
  UniqueFind find(::FindFirstFileW((folder + L"g_uninstall_*.exe").c_str(), &data));
  if (find) {
    do names.push_back(data.cFileName);
    while (::FindNextFileW(find.get(), &data));
  }
  return names;
}

// Opens the first copy that appears in a folder, as a virus scanner might,
// without letting anyone read it: the copy can be written but not started.
class CopyGrabber {
 public:
  explicit CopyGrabber(const std::wstring& folder) : folder_(folder) {
    thread_.reset(::CreateThread(nullptr, 0, &CopyGrabber::Run, this, 0, nullptr));
  }
  ~CopyGrabber() { Release(); }

  // Stops watching and closes the copy; true when one was held.
  bool Release() {
    stop_ = true;
    if (thread_) ::WaitForSingleObject(thread_.get(), INFINITE);
    thread_.reset();
    const bool held = copy_.valid();
    copy_.reset();
    return held;
  }

 private:
  static DWORD WINAPI Run(void* self) {
    auto* grabber = static_cast<CopyGrabber*>(self);
    while (!grabber->stop_ && !grabber->copy_) {
      for (const std::wstring& name : CopiesIn(grabber->folder_)) {
        grabber->copy_.reset(::CreateFileW((grabber->folder_ + name).c_str(), GENERIC_READ,
                                           FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (grabber->copy_) break;
      }
      ::Sleep(1);
    }
    return 0;
  }

  std::wstring folder_;
  std::atomic<bool> stop_{false};
  UniqueFileHandle copy_;
  UniqueHandle thread_;
};

class Relocation : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = oldtest::FreshTestFolder();
    install_dir_ = folder_ + L"Brim Reloc\\app";  // as the program sees its folder
    program_ = install_dir_ + L"\\uninstall.exe";
    oldtest::MakeFolders(install_dir_);
    ASSERT_TRUE(::CopyFileW((oldtest::ProgramFolder() + L"uninstall.exe").c_str(), program_.c_str(),
                            FALSE));
    oldtest::WriteFileBytes(install_dir_ + L"\\res\\data\\init.dat",
                         "{\"game_name\":\"Brim Reloc\",\"install_name\":\"Brim Reloc Game\","
                         "\"exe_name\":\"brimreloc.exe\",\"version\":\"2\",\"ver\":\"15\"}");
    UnregisterGame();
    RegisterGame();
  }
  void TearDown() override { UnregisterGame(); }

  std::wstring folder_, install_dir_, program_;
};

}  // namespace

TEST_F(Relocation, CopiesUnregistersAndStartsTheCopyHidden) {
  wchar_t temp_path[MAX_PATH] = {};
  ASSERT_GT(::GetTempPathW(MAX_PATH, temp_path), 0u);
  const std::wstring temp = temp_path;
  const std::vector<std::wstring> before = CopiesIn(temp);
  oldtest::LaunchRecord record(folder_ + L"launches.txt");

  // A /path given to this stage is ignored.
  const oldtest::WatchedRun watched = oldtest::RunWatched(program_, L"/path=\"C:\\Elsewhere\"");
  ASSERT_TRUE(watched.run.finished);
  EXPECT_EQ(watched.run.exit_code, 0u);
  EXPECT_EQ(watched.windows_seen, 0u);

  for (const Entry& entry : kEntries) EXPECT_FALSE(Exists(entry)) << WideToUtf8(entry.path);

  std::vector<std::wstring> added;
  for (const std::wstring& name : CopiesIn(temp))
    if (std::find(before.begin(), before.end(), name) == before.end()) added.push_back(name);
  ASSERT_EQ(added.size(), 1u);
  EXPECT_EQ(oldtest::ReadFileBytes(temp + added[0]), oldtest::ReadFileBytes(program_));

  const std::vector<oldtest::Launch> launches = record.WaitFor(2, 20000);
  ASSERT_EQ(launches.size(), 2u) << "the copy did not start";
  EXPECT_EQ(launches[0].process_id, watched.run.process_id);
  const oldtest::Launch& copy = launches[1];
  EXPECT_EQ(copy.show, SW_HIDE);
  const std::vector<std::wstring> arguments = oldtest::SplitCommandLine(copy.command_line);
  ASSERT_EQ(arguments.size(), 3u) << WideToUtf8(copy.command_line);
  // The copy path carries the doubled separator of "<temp>\" + "\g_uninstall_".
  EXPECT_EQ(arguments[0], temp + L"\\" + added[0]);
  EXPECT_EQ(arguments[1], L"/action=uninstall");
  EXPECT_EQ(arguments[2], L"/path=" + install_dir_);
  const std::wstring quoted = L"/action=uninstall /path=\"" + install_dir_ + L"\"";
  EXPECT_NE(copy.command_line.find(quoted), std::wstring::npos) << WideToUtf8(copy.command_line);
}

TEST_F(Relocation, WithoutATemporaryFolderNothingChanges) {
  oldtest::WriteFileBytes(folder_ + L"plain file", "x");
  const std::wstring temps[] = {folder_ + L"missing\\", folder_ + L"plain file\\"};
  for (const std::wstring& temp : temps) {
    SCOPED_TRACE(WideToUtf8(temp));
    oldtest::LaunchRecord record(folder_ + L"launches.txt", temp);
    const oldtest::WatchedRun watched = oldtest::RunWatched(program_, L"");
    ASSERT_TRUE(watched.run.finished);
    EXPECT_EQ(watched.run.exit_code, 0u);
    EXPECT_EQ(watched.windows_seen, 0u);
    for (const Entry& entry : kEntries)
      EXPECT_EQ(ReadText(entry, nullptr), L"installed") << WideToUtf8(entry.path);
    EXPECT_EQ(record.WaitFor(2, 3000).size(), 1u) << "a copy was started";
  }
  EXPECT_FALSE(oldtest::PathExists(folder_ + L"missing"));
}

TEST_F(Relocation, CopyThatCannotStartLeavesTheGameRegistered) {
  const std::wstring temp = folder_ + L"temp\\";
  oldtest::MakeFolders(temp);
  oldtest::LaunchRecord record(folder_ + L"launches.txt", temp);
  CopyGrabber grabber(temp);

  // The shell may say in its own box that the copy cannot be started.
  const oldtest::WatchedRun watched = oldtest::RunWatched(program_, L"", /*close_windows=*/true);
  ASSERT_TRUE(grabber.Release()) << "the copy was never seen";
  ASSERT_TRUE(watched.run.finished);
  EXPECT_EQ(watched.run.exit_code, 0u);
  EXPECT_EQ(record.WaitFor(2, 3000).size(), 1u) << "a copy was started";

  // Written again from the descriptor, in the program's own folder.
  const Entry machine_uninstall = kEntries[0];
  const Entry machine_app_paths = kEntries[2];
  EXPECT_EQ(ReadText(machine_uninstall, L"DisplayName"), L"Brim Reloc Game");
  EXPECT_EQ(ReadText(machine_uninstall, L"InstallLocation"), install_dir_ + L"\\");
  EXPECT_EQ(ReadText(machine_uninstall, L"UninstallString"), L"\"" + program_ + L"\"");
  EXPECT_EQ(ReadText(machine_uninstall, L"DisplayVersion"), L"2.15");
  EXPECT_EQ(ReadText(machine_app_paths, nullptr), install_dir_ + L"\\brimreloc.exe");
  // The copy that could not start is gone.
  EXPECT_TRUE(CopiesIn(temp).empty());
}
