// The whole program as a user lives it: started from the game's folder it
// relocates into a protected copy, which asks, ends the game, removes,
// reports and tells. Boxes are answered as a user would, the loopback
// collector records the reports, and the test build records every start.

#include <gtest/gtest.h>
#include <windows.h>
#include <sddl.h>
#include <shlobj.h>

#include <commctrl.h>

#include <algorithm>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "app/relocation/elevated_copy.h"
#include "app/relocation/uninstall_lock.h"
#include "app/ui/window_mark.h"
#include "common/bounded_call.h"
#include "common/text.h"
#include "telemetry/http_transport.h"
#include "tests/support/harness.h"

namespace {

using test::Answer;
using test::Exists;
using Texts = std::vector<std::wstring>;
using Strings = std::vector<std::string>;
using Members = std::map<std::string, std::string>;

const std::wstring kQuestion = L"Are you sure you want to completely remove Demo Quest and all of its components?";
const std::wstring kDone = L"Demo Quest was successfully removed from your computer.";
const std::wstring kRunning = L"Demo Quest is still running please close Demo Quest then try uninstall again.";
const std::wstring kIncomplete =
    L"Demo Quest could not be removed completely. Close any program that uses its files, then try uninstall again.";
const std::wstring kUnreadable =
    L"The game in %s could not be removed: its install information (res\\data\\init.dat) could not be read.";
const std::wstring kRefusedFolder =
    L"Demo Quest cannot be removed from %s: that folder is a system or user folder, holds another program's installation, "
    L"or is not an ordinary folder. Nothing was changed.";
const std::wstring kRefusedEntry =
    L"Demo Quest cannot be removed: its entry %s in the list of installed programs cannot be deleted. Nothing was changed.";
const std::wstring kEntries = L"SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\";
const std::wstring kUserEntries = L"Software\\Microsoft\\Windows\\CurrentVersion\\";
const test::Values kOthers = {{L"InstallLocation", L"C:\\Program Files\\Other\\"}, {L"", L"C:\\Program Files\\Other\\o.exe"}};
const test::Values kMadeAgain = {{L"DisplayName", L"Demo Quest, installed again"}};

std::wstring ShellFolder(int csidl) {
  wchar_t path[MAX_PATH] = {};
  ::SHGetSpecialFolderPathW(nullptr, path, csidl, TRUE);
  return path;
}
std::wstring OldCopy(wchar_t digit) { return L"temp\\g_uninstall_" + std::wstring(32, digit) + L"\\"; }

// A game as the platform's installer leaves it, with its registry entries,
// and beside it what must stay: another game, another program's entries, and
// in its own temporary folder what earlier runs and other programs left.
struct Game {
  std::wstring base = test::FreshFolder(), app = base + L"Lib\\G\\app\\", temp = base + L"temp\\";
  std::wstring uninstall_key = kEntries + L"Uninstall\\DemoQuest", app_paths_key = kEntries + L"App Paths\\dq.exe";
  std::string marker = test::UniqueMarker();  // its op_id, which finds its reports
  std::vector<std::wstring> files{app + L"data\\level.map", base + L"Lib\\G\\launcher.cfg", base + L"Lib\\sdk_cache\\7\\p.bin",
                                  ShellFolder(CSIDL_DESKTOPDIRECTORY) + L"\\Demo Quest.lnk",
                                  ShellFolder(CSIDL_STARTMENU) + L"\\Programs\\DemoQuest\\Demo Quest.lnk", app + L"uninstall.exe"};
  // Another program's shortcuts, which names in the descriptor may point at.
  std::vector<std::wstring> others{ShellFolder(CSIDL_DESKTOPDIRECTORY) + L"\\Other Game.lnk",
                                   ShellFolder(CSIDL_STARTMENU) + L"\\Programs\\Other\\Other.lnk"};
  std::vector<std::wstring> survivors{L"Lib\\keep", L"Lib\\sdk_cache\\8\\other", L"Lib\\Other\\app\\res\\data\\init.dat",
                                      L"outside.lnk", L"temp\\notes.txt", L"temp\\g_uninstall_9\\g_uninstall_9.exe",
                                      OldCopy(L'4') + L"g_uninstall_8.exe", OldCopy(L'4') + L"also.txt", L"Elsewhere\\7\\keep",
                                      L"Elsewhere\\8\\other", L"Lib\\Other\\app\\other.dat", L"Lib\\Other\\launcher.cfg",
                                      L"Lib\\Vendor\\data.bin"};  // a folder users may add folders to
  // The game's entries: the machine's, and the user's when a row adds them.
  std::vector<std::pair<HKEY, std::wstring>> keys{{HKEY_LOCAL_MACHINE, uninstall_key}, {HKEY_LOCAL_MACHINE, app_paths_key}};
  std::wstring installed;  // the installer's entries, byte for byte
  std::vector<UniqueHandle> squats;  // lock names an ordinary user made

  Game(const Members& changes, const std::string& document) {
    Members members = {{"game_name", "Demo Quest"}, {"shortcut_name", "Demo Quest"}, {"branch_id", "7"},
                       {"install_name", "DemoQuest"}, {"exe_name", "dq.exe"}, {"op_id", marker},
                       {"version", "2"}, {"ver", "15"}};
    for (const auto& [name, value] : changes) members[name] = value;
    std::string json = "{";
    for (const auto& [name, value] : members) json += "\"" + name + "\":\"" + value + "\",";
    json.back() = '}';
    test::Write(app + L"res\\data\\init.dat", document.empty() ? json : document);
    for (const std::wstring& file : files)
      if (file.find(L".lnk") != std::wstring::npos) test::MakeShortcut(file, app + L"dq.exe");
      else test::Write(file, test::Read(test::ProgramFolder() + L"uninstall.exe"));
    for (const std::wstring& file : others) test::MakeShortcut(file, L"C:\\Program Files\\Other\\o.exe");
    for (const std::wstring& file : survivors) test::Write(base + file);
    for (wchar_t old : {L'1', L'2'}) test::Write(base + OldCopy(old) + L"g_uninstall_5.exe");
    test::Write(app + L"dq.exe", test::Read(test::ProgramFolder() + L"helper.exe"));
    // What an installer writes beyond what the uninstaller knows of.
    test::WriteKey(HKEY_LOCAL_MACHINE, uninstall_key, {{L"InstallLocation", app}, {L"UninstallString", L"\"" + app + L"uninstall.exe\""},
                                                       {L"DisplayName", L"Demo Quest (installer)"}, {L"InstallDate", L"20261201"},
                                                       {L"QuietUninstallString", L"\"" + app + L"uninstall.exe\" /quiet"}});
    const DWORD size = 123456, yes = 1;
    test::WriteRawValue(HKEY_LOCAL_MACHINE, uninstall_key, L"EstimatedSize", REG_DWORD, std::string(reinterpret_cast<const char*>(&size), 4));
    test::WriteRawValue(HKEY_LOCAL_MACHINE, uninstall_key, L"NoModify", REG_DWORD, std::string(reinterpret_cast<const char*>(&yes), 4));
    test::WriteRawValue(HKEY_LOCAL_MACHINE, uninstall_key, L"Blob", REG_BINARY, std::string("\0\x01\xff", 3));
    test::WriteKey(HKEY_LOCAL_MACHINE, app_paths_key, {{L"", app + L"dq.exe"}, {L"Path", app}});
    installed = Entries();
    for (const wchar_t* key : {L"Uninstall\\Other", L"App Paths\\other.exe"}) test::WriteKey(HKEY_LOCAL_MACHINE, kEntries + key, kOthers);
    test::SetEnv({{L"TEMP", temp}, {L"TMP", temp}, {L"UNINSTALL_TEST_LAUNCH_RECORD", base + L"launches"}});
  }
  ~Game() {
    for (const auto& [hive, key] : keys) test::DeleteKey(hive, key);
    test::DeleteKey(HKEY_LOCAL_MACHINE, kEntries + L"Uninstall\\Evil");
    for (const wchar_t* name : {L"DemoQuest", L"Other"})
      test::DeleteKey(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + std::wstring(name));
    for (const auto* list : {&files, &others})
      for (const std::wstring& file : *list) ::DeleteFileW(file.c_str());
    test::SetEnv({{L"UNINSTALL_TEST_LAUNCH_RECORD", L""}, {L"TEMP", L"C:\\users\\root\\Temp"}, {L"TMP", L""}});
  }
  std::wstring Entries() const {
    std::wstring raw;
    for (const auto& [hive, key] : keys) raw += test::RawKey(hive, key);
    return raw;
  }
  // The game's entries for one user too, as its installer writes them then.
  void AddUserEntries() {
    keys.push_back({HKEY_CURRENT_USER, kUserEntries + L"Uninstall\\DemoQuest"});
    test::WriteKey(HKEY_CURRENT_USER, keys.back().second, {{L"DisplayIcon", app + L"uninstall.exe,0"}, {L"Publisher", L"Brimlake"}});
    keys.push_back({HKEY_CURRENT_USER, kUserEntries + L"App Paths\\dq.exe"});
    test::WriteKey(HKEY_CURRENT_USER, keys.back().second, {{L"", app + L"dq.exe"}});
    installed = Entries();
  }
  // Lock names of this installation that an ordinary user made first: owned
  // by the user, held by this process for the row's length.
  void SquatLocks() {
    const UniqueFileHandle folder(::CreateFileW(app.c_str(), FILE_READ_ATTRIBUTES, 7, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    const std::wstring prefix = UninstallLockPrefix(folder.get());
    ASSERT_FALSE(prefix.empty());
    alignas(TOKEN_USER) BYTE user[256];
    DWORD size = 0;
    wchar_t* sid = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    UniqueHandle token;
    ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put());
    ::GetTokenInformation(token.get(), TokenUser, user, sizeof(user), &size);
    ::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, &sid);
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW((L"O:" + std::wstring(sid) + L"D:(A;;GA;;;WD)").c_str(), 1, &descriptor, nullptr));
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
    for (const std::wstring& name : {prefix + std::wstring(32, L'0'), prefix + std::wstring(32, L'f'), prefix, prefix.substr(0, prefix.size() - 1)})
      squats.emplace_back(::CreateMutexW(&attributes, /*bInitialOwner=*/TRUE, (L"Global\\" + name).c_str()));
    for (const UniqueHandle& squat : squats) EXPECT_TRUE(squat);
    ::LocalFree(sid);
    ::LocalFree(descriptor);
  }
  // "none" (none of its entries is left), "as installed" (byte for byte,
  // not written since), "made again" (as a row made it while the question
  // was up) or "changed".
  std::string Registration() const {
    bool any = false;
    for (const auto& [hive, key] : keys) any = any || test::KeyExists(hive, key);
    if (!any) return "none";
    if (Entries() == installed) return "as installed";
    return test::ReadKey(HKEY_LOCAL_MACHINE, uninstall_key) == kMadeAgain ? "made again" : "changed";
  }
  // How many of its files are left but `spared`.
  std::string LeftBesides(const std::wstring& spared) const {
    size_t left = 0;
    for (const std::wstring& file : files) left += file != spared && Exists(file);
    return std::to_string(left);
  }
  // How many of its 6 files are left, or what beside it went.
  std::string Left() const {
    for (const std::wstring& file : survivors)
      if (!Exists(base + file)) return "lost " + WideToUtf8(file);
    for (const std::wstring& file : others)
      if (!Exists(file)) return "lost " + WideToUtf8(file);
    for (const wchar_t* key : {L"Uninstall\\Other", L"App Paths\\other.exe"})
      if (test::ReadKey(HKEY_LOCAL_MACHINE, kEntries + key) != kOthers) return "another program's entries changed";
    for (const wchar_t* name : {L"DemoQuest", L"Other", L"Evil"})
      if (((keys.size() == 2 || std::wstring(name) != L"DemoQuest") &&
           test::KeyExists(HKEY_CURRENT_USER, kUserEntries + L"Uninstall\\" + name)) ||
          (std::wstring(name) == L"Evil" && test::KeyExists(HKEY_LOCAL_MACHINE, kEntries + L"Uninstall\\Evil")))
        return "an entry created for " + WideToUtf8(name);
    size_t left = 0;
    for (const std::wstring& file : files) left += Exists(file);
    return std::to_string(left);
  }
  // The "error" of each report, "start" for the start, in the order the
  // collector received them; with `releases`, "<it> let go" where the silent
  // collector's client let go of one unanswered.
  Strings Reports(bool releases = false) const {
    Strings outcomes;
    for (const test::Request& request : test::Requests(marker, releases)) {
      const size_t at = request.body.find("\"error\":\"");
      outcomes.push_back((at == std::string::npos ? "start" : request.body.substr(at + 9, request.body.find('"', at + 9) - at - 9)) +
                         (request.released ? " let go" : ""));
    }
    return outcomes;
  }
  // The starts the test build recorded: "<id> <show command> <command line>".
  std::vector<std::wstring> Launches() const {
    std::vector<std::wstring> launches;
    std::wistringstream lines(Utf8ToWide(test::Read(base + L"launches")));
    for (std::wstring line; std::getline(lines, line);) launches.push_back(line);
    return launches;
  }
};

// What the windows on screen show: whether the first process `first`
// showed one (COM keeps hidden windows: a shown one counts), and whether
// any showed `caption`.
struct Shown {
  DWORD first;
  const std::wstring* caption;
  bool by_first = false, captioned = false;
};

BOOL CALLBACK NoteShownWindow(HWND window, LPARAM context) {
  auto* seen = reinterpret_cast<Shown*>(context);
  DWORD owner = 0;
  wchar_t title[512] = {};
  ::GetWindowThreadProcessId(window, &owner);
  ::GetWindowTextW(window, title, 512);
  const bool shown = ::IsWindowVisible(window);
  seen->by_first = seen->by_first || (owner == seen->first && shown);
  seen->captioned = seen->captioned || (shown && title == *seen->caption);
  return TRUE;
}

// The shown window captioned `caption`: a message box, or another window.
HWND ShownWindow(const std::wstring& caption, bool box) {
  for (HWND window = ::FindWindowExW(nullptr, nullptr, nullptr, caption.c_str()); window;
       window = ::FindWindowExW(nullptr, window, nullptr, caption.c_str())) {
    wchar_t name[16] = {};
    ::GetClassNameW(window, name, 16);
    if (::IsWindowVisible(window) && (std::wstring(name) == L"#32770") == box) return window;
  }
  return nullptr;
}

// The progress window's look: its lines, in the order of their identifiers,
// and its bar. `folder` receives the line cut as a path; `prefixes` notes a
// line whose "&" would be a mnemonic.
std::wstring LookAt(HWND window, std::wstring& folder, bool& prefixes) {
  std::map<int, std::wstring> lines;
  std::wstring bar;
  for (HWND child = ::GetWindow(window, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT)) {
    wchar_t name[32] = {}, text[512] = {};
    ::GetClassNameW(child, name, 32);
    const LONG style = ::GetWindowLongW(child, GWL_STYLE);
    DWORD_PTR position = 0;
    if (std::wstring(name) == L"msctls_progress32") {
      ::SendMessageTimeoutW(child, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 1000, &position);
      bar = (style & PBS_MARQUEE) ? L"[moving]" : L"[" + std::to_wstring(position) + L"]";
      continue;
    }
    ::SendMessageTimeoutW(child, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 1000, &position);
    lines[::GetDlgCtrlID(child)] = text;
    prefixes = prefixes || !(style & SS_NOPREFIX);
    if ((style & SS_ELLIPSISMASK) == SS_PATHELLIPSIS) folder = text;
  }
  std::wstring look;
  for (const auto& line : lines) look += line.second + L"|";
  return look + bar;
}

// Watches the progress window from the answer to the closing box (or the
// end of `copy`), trying once to close it: "none", or "shown (<its first
// line first seen>)" with ", moving" when it changed after that, and what
// should never be.
// `folders` receives the folders it named.
std::string WatchProgress(const std::wstring& caption, HANDLE copy, std::set<std::wstring>& folders) {
  bool shown = false, moving = false, with_box = false, prefixes = false;
  std::wstring first;
  for (const DWORD start = ::GetTickCount(); ::GetTickCount() - start < 120000; ::Sleep(20)) {
    const HWND progress = ShownWindow(caption, false);
    if (ShownWindow(caption, true)) {
      with_box = progress != nullptr;
      break;
    }
    if (!progress && (!copy || ::WaitForSingleObject(copy, 0) == WAIT_OBJECT_0)) break;
    if (!progress) continue;
    std::wstring folder;
    const std::wstring look = LookAt(progress, folder, prefixes);
    folders.insert(folder);
    if (!shown) {  // as a user would: its close button, Alt+F4
      DWORD_PTR result = 0;
      ::SendMessageTimeoutW(progress, WM_SYSCOMMAND, SC_CLOSE, 0, SMTO_ABORTIFHUNG, 1000, &result);
      ::SendMessageTimeoutW(progress, WM_CLOSE, 0, 0, SMTO_ABORTIFHUNG, 1000, &result);
      first = look;
    }
    shown = true;
    moving = moving || look != first;
  }
  if (!shown) return "none";
  return "shown (" + WideToUtf8(first.substr(0, first.find(L'|'))) + ")" + (moving ? ", moving" : "") +
         (with_box ? ", up with the box" : "") + (prefixes ? ", with mnemonics" : "");
}

// Runs `command_line` from `folder`; checks that its first process, which
// waits for the copy's word, shows no window unless it is the removal stage
// itself; answers the question with
// `confirm`, calling `meanwhile` while it is up, and a closing box, if any,
// with OK: the boxes' texts, or a note of a window or an exit code other than
// 0. Without a question: "exit <code>" of the first process, or a note of a
// window captioned `caption`. `progress` receives what WatchProgress saw.
Texts RunProgram(const std::wstring& command_line, const std::wstring& folder, Answer confirm, const std::wstring& caption,
                 const std::function<void()>& meanwhile = nullptr, std::string* progress = nullptr,
                 std::set<std::wstring>* folders = nullptr) {
  const test::Process first = test::Start(command_line, folder);
  const bool direct = command_line.find(L"action=uninstall") != std::wstring::npos;
  Shown windows{first.id, &caption};
  const auto note_windows = [&] {
    if (!direct) ::EnumWindows(NoteShownWindow, reinterpret_cast<LPARAM>(&windows));
  };
  if (confirm == Answer::kNone) {
    while (first.Wait(1) == ~0u) note_windows();
    return {windows.by_first || windows.captioned ? L"a window" : L"exit " + std::to_wstring(first.Wait(120000))};
  }
  test::Box question = test::AnswerBox(caption, confirm, 60000, [&] {
    note_windows();
    if (meanwhile) meanwhile();
  });
  std::set<std::wstring> named;
  const std::string seen = WatchProgress(caption, question.process.get(), folders ? *folders : named);
  if (progress) *progress = seen;
  const test::Box closing = test::AnswerBox(caption, Answer::kOk, confirm == Answer::kOk ? 60000 : 2000);
  test::Process copy;
  copy.handle = std::move(question.process);
  Texts boxes;
  for (const test::Box* box : {static_cast<const test::Box*>(&question), &closing})
    if (box->found) boxes.push_back(box->text);
  const bool clean = !windows.by_first && (!copy.handle || copy.Wait(60000) == 0) && first.Wait(10000) == 0;
  return clean ? boxes : Texts{L"a window or an exit code other than 0"};
}

// The window in front once `act` is done, which starts with a window of the
// test's own in front, carrying `mark` (as any program can) when given.
HWND InFrontAfter(const std::function<void()>& act, const std::wstring& mark = L"") {
  const HWND own = ::CreateWindowExW(0, L"STATIC", L"elsewhere", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200, 100, nullptr,
                                     nullptr, nullptr, nullptr);
  if (!mark.empty()) ::SetPropW(own, mark.c_str(), reinterpret_cast<HANDLE>(1));
  ::SetForegroundWindow(own);
  EXPECT_EQ(::GetForegroundWindow(), own);
  act();
  HWND front = ::GetForegroundWindow();
  for (int i = 0; i < 100 && front == own; ++i, ::Sleep(20)) front = ::GetForegroundWindow();
  if (!mark.empty()) ::RemovePropW(own, mark.c_str());
  ::DestroyWindow(own);
  return front;
}

// Another program that holds `file` open to read, sharing nothing or, with
// `share` "read", reading only, until it ends.
test::Process HoldOpen(const std::wstring& file, const std::wstring& share = L"") {
  test::SetEnv({{L"HELPER", L"hold"}});
  test::Process holder = test::Start(L"\"" + test::ProgramFolder() + L"helper.exe\" \"" + file + L"\" " + share);
  test::SetEnv({{L"HELPER", L""}});
  for (int i = 0; i < 500 && UniqueFileHandle(::CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, 7, nullptr, OPEN_EXISTING, 0, nullptr)); ++i)
    ::Sleep(10);  // until it holds the file
  return holder;
}

// Reads the pipe `context->first` until it ends, then sets the event
// `context->second`.
DWORD WINAPI ReadToEnd(void* context) {
  auto* ends = static_cast<std::pair<HANDLE, HANDLE>*>(context);
  char block[256];
  DWORD got = 0;
  while (::ReadFile(ends->first, block, sizeof(block), &got, nullptr)) {
  }
  ::SetEvent(ends->second);
  return 0;
}

// Waits for the process `id` to end, answering any box of `caption` it
// shows: "" when none came, else a note.
std::string AwaitWithoutBoxes(DWORD id, const std::wstring& caption) {
  const UniqueHandle process(::OpenProcess(SYNCHRONIZE, FALSE, id));
  std::string boxes;
  for (int i = 0; i < 600 && process && ::WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT; ++i)
    if (test::AnswerBox(caption, Answer::kOk, 100).found) boxes = "a box";
  return boxes;
}

}  // namespace

// One row per thing a user does or meets, from the game's own folder unless
// the row starts the removal stage itself. Run in two halves, `around` or
// not: the rows where something else happens around the run (before it, or
// while the question is up) or nobody answers (unattended runs), and the
// others.
void LiveTheTable(bool around) {
  const std::wstring documents = ShellFolder(CSIDL_PERSONAL), direct = L"/action=uninstall ";
  test::Write(documents + L"\\res\\data\\init.dat", "{\"game_name\":\"Demo Quest\"}");
  const std::map<std::wstring, std::wstring> kUnkillable = {
      {L"UNINSTALL_TEST_TERMINATE_FAILS", L"1"}, {L"UNINSTALL_TEST_STOP_ATTEMPTS", L"3"}, {L"UNINSTALL_TEST_STOP_PAUSE_MS", L"100"}};
  const Members kOtherNames = {{"install_name", "Other"}, {"exe_name", "other.exe"}, {"shortcut_name", "Other Game"}};
  // While the first asks, with another window in front: one that carries
  // the uninstall's mark is not the uninstall's, and is passed over.
  const auto second_starts = [](const Game& g) {
    const HWND box = ShownWindow(L"Demo Quest Unistall", true);
    const UniqueFileHandle app(::CreateFileW(g.app.c_str(), FILE_READ_ATTRIBUTES, 7, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    const std::wstring mark = WindowMarkName(IdentityOf(app.get()));
    ASSERT_FALSE(mark.empty());
    EXPECT_EQ(InFrontAfter([&] { EXPECT_EQ(test::Start(L"\"" + g.app + L"uninstall.exe\"", g.app).Wait(), 0u); }, mark), box);
    EXPECT_NE(InFrontAfter([&] { EXPECT_EQ(test::Start(L"\"" + g.app + L"uninstall.exe\" /quiet", g.app).Wait(), 1618u); }), box);
    EXPECT_EQ(g.Registration(), "as installed");
  };
  const auto holds_the_start = [](const Game& g) {  // against a collector that never answers
    for (int i = 0; i < 1000 && g.Reports().empty(); ++i) ::Sleep(20);
    EXPECT_EQ(g.Reports(true), Strings{"start"}) << "the question waited for the start's exchange";
    for (int i = 0; i < 1500 && g.Reports(true).size() < 2; ++i) ::Sleep(20);  // given up at its deadline
  };
  const auto second_removal = [](const Game& g) {  // while a removal started directly asks
    EXPECT_EQ(test::Start(L"\"" + test::ProgramFolder() + L"uninstall.exe\" /action=uninstall /quiet /path=\"" +
                          g.app.substr(0, g.app.size() - 1) + L"\"").Wait(), 1618u);
  };
  const auto edits_descriptor = [](const Game& g) {
    test::Write(g.app + L"res\\data\\init.dat", "{\"game_name\":\"Demo Quest\",\"install_name\":\"Evil\",\"exe_name\":\"evil.exe\","
                                                "\"op_id\":\"" + g.marker + "\"}");
  };
  const auto links_the_game_root = [](const Game& g) { EXPECT_TRUE(test::Swap(g.base + L"Lib\\G", g.base + L"Lib\\Other")); };
  const auto links_the_cache = [](const Game& g) { EXPECT_TRUE(test::Swap(g.base + L"Lib\\sdk_cache", g.base + L"Elsewhere")); };
  const auto makes_it_again = [](const Game& g) {
    test::DeleteKey(HKEY_LOCAL_MACHINE, g.uninstall_key);
    test::WriteKey(HKEY_LOCAL_MACHINE, g.uninstall_key, kMadeAgain);
  };
  const auto moves_the_installation = [](const Game& g) {  // renamed, or moved into another program's folder
    const std::wstring app = g.app.substr(0, g.app.size() - 1);
    EXPECT_FALSE(::MoveFileW(app.c_str(), (g.base + L"Lib\\Vendor\\app").c_str()));
    EXPECT_FALSE(::MoveFileW(app.c_str(), (g.base + L"Lib\\G\\moved").c_str()));
  };
  const auto ends_the_copy = [](const Game& g) {  // with exit code 0, which RunProgram expects of it
    const std::vector<std::wstring> launches = g.Launches();
    ASSERT_EQ(launches.size(), 2u);
    // Once its start report is in, which goes beside the question.
    for (int i = 0; i < 500 && g.Reports().empty(); ++i) ::Sleep(20);
    const UniqueHandle copy(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, std::stoul(launches[1])));
    EXPECT_TRUE(copy && ::TerminateProcess(copy.get(), 0));
    ::WaitForSingleObject(copy.get(), 30000);
  };
  const std::map<std::wstring, std::wstring> kNoTemp = {{L"TEMP", L"C:\\missing\\"}, {L"TMP", L"C:\\missing\\"}};
  const Texts kExit0 = {L"exit 0"};
  const struct {
    const char* what;
    Members changes;
    std::string document;    // in place of the descriptor
    std::wstring layout;     // more in the installation folder
    std::wstring arguments;  // after direct: the removal stage itself, from C:\work; <log> the log's path
    std::map<std::wstring, std::wstring> seams;
    bool running;  // the game runs, a program of its name elsewhere and an earlier copy too
    Answer confirm;
    Texts boxes;  // "<app>" stands for the installation folder; "exit <code>" for a run without a question
    Strings reports;
    std::string left, registration;  // left: of its files ("a|b": either), or what else went
    std::function<void(const Game&)> meanwhile = nullptr;  // while the question is up
    std::wstring hold;                                     // a file another program holds open
    size_t more_starts = 0;                                // uninstallers started meanwhile
    std::function<void(Game&)> before = nullptr;           // more of the situation, before the start
    std::string progress = "";       // what the progress window showed after the answer ("": not looked at)
    std::wstring shows_folder = L"";  // a folder it must name as it is; it names no other but the game's own
  } cases[] = {
      {"Cancel", {}, "", L"", L"", {}, false, Answer::kCancel, {kQuestion}, {"start", "cancelled_by_user"}, "6", "as installed",
       nullptr, L"", 0, nullptr, "none"},
      {"the close button", {}, "", L"", L"", {}, false, Answer::kCloseButton, {kQuestion}, {"start", "cancelled_by_user"}, "6", "as installed"},
      {"OK: done within a second, no progress window", {}, "", L"", L"", {}, false, Answer::kOk, {kQuestion, kDone},
       {"start", "success"}, "0", "none", nullptr, L"", 0, nullptr, "none"},
      {"OK while the game runs: the progress window while it is ended", {}, "", L"", L"", {}, true, Answer::kOk,
       {kQuestion, kDone}, {"start", "success"}, "0", "none", nullptr, L"", 0, nullptr, "shown (Closing Demo Quest\u2026)"},
      {"a removal that lasts: the progress window follows it and cannot be closed", {}, "",
       L"%s%n&x/1 %s%n&x/2 %s%n&x/3 %s%n&x/4 %s%n&x/5 %s%n&x/6 %s%n&x/7 %s%n&x/8", L"",
       {{L"UNINSTALL_TEST_ENTRY_PAUSE_MS", L"200"}}, false, Answer::kOk, {kQuestion, kDone}, {"start", "success"}, "0", "none",
       nullptr, L"", 0, nullptr, "shown (Removing Demo Quest\u2026), moving", L"%s%n&x"},
      {"a collector that never answers holds neither the question nor the order of the reports", {}, "", L"", L"",
       {{L"UNINSTALL_TELEMETRY_PORT", test::Env(L"COLLECTOR_SILENT_PORT")}}, false, Answer::kCancel, {kQuestion},
       {"start", "cancelled_by_user"}, "6", "as installed", holds_the_start},
      {"OK, the game cannot be ended", {}, "", L"", L"", kUnkillable, true, Answer::kOk, {kQuestion, kRunning},
       {"start", "residual_process"}, "6", "as installed"},
      {"names that leave their folders",
       {{"shortcut_name", "..\\\\..\\\\..\\\\work\\\\tests\\\\Program.AsAUserLivesIt\\\\outside"}, {"cache_name", ".."},
        {"branch_id", "C:\\\\work"}, {"uninstall_name", "..\\\\evil.exe"}},
       "", L"", L"", {}, false, Answer::kOk, {kQuestion, kDone}, {"start", "success"}, "2", "none"},
      {"cache and branch naming another game", {{"cache_name", "Other"}, {"branch_id", "app"}}, "", L"", L"", {}, false,
       Answer::kOk, {kQuestion, kDone}, {"start", "success"}, "1", "none"},
      {"another program's names, Cancel", kOtherNames, "", L"", L"", {}, false, Answer::kCancel, {kQuestion},
       {"start", "cancelled_by_user"}, "6", "as installed"},
      {"another program's names, OK: its entries, shortcut and menu folder stay", kOtherNames, "", L"", L"", {}, false,
       Answer::kOk, {kQuestion, kDone}, {"start", "success"}, "2", "as installed"},
      {"a file that cannot be deleted: the uninstaller stays", {}, "", L"stuck!", L"", {}, false, Answer::kOk, {kQuestion, kIncomplete},
       {"start", "incomplete_removal"}, "1", "as installed"},
      // What the removal refuses is said at once: nothing is asked, the game
      // is not ended, and the user is not told to try again.
      {"a descriptor that breaks the parser: nothing asked", {}, std::string(4000, '['), L"", L"", {}, true, Answer::kCancel,
       {FormatWide(kUnreadable.c_str(), L"<app>")}, {}, "6", "as installed"},
      {"no /path: no descriptor at the drive's root", {}, "", L"", direct, {}, false, Answer::kCancel,
       {FormatWide(kUnreadable.c_str(), L"\\")}, {}, "6", "as installed"},
      {"the user's Documents as /path", {}, "", L"", direct + L"/path=\"" + documents + L"\"", {}, false, Answer::kCancel,
       {FormatWide(kRefusedFolder.c_str(), (documents + L"\\").c_str())}, {}, "6", "as installed"},
      {"another game's layout nested in the installation", {}, "", L"tools\\res\\data\\init.dat", L"", {}, true,
       Answer::kCancel, {FormatWide(kRefusedFolder.c_str(), L"<app>")}, {"start", "removal_refused"}, "6", "as installed"},
      {"a subkey under the game's entry", {}, "", L"", L"", {}, true, Answer::kCancel,
       {FormatWide(kRefusedEntry.c_str(), (L"HKEY_LOCAL_MACHINE\\" + kEntries + L"Uninstall\\DemoQuest").c_str())},
       {"start", "removal_refused"}, "6", "as installed", nullptr, L"", 0,
       [](Game& g) {
         test::WriteKey(HKEY_LOCAL_MACHINE, g.uninstall_key + L"\\Component", {});
         g.installed = g.Entries();
       }},
      {"odd options relocate", {}, "", L"", L"/verbose --path=x -x /action=Uninstall /suppressmsgboxes \"/path=" + std::wstring(5000, L'p') + L"\"",
       {}, false, Answer::kCancel, {kQuestion}, {"start", "cancelled_by_user"}, "6", "as installed"},
      {"no temporary folder: nothing changes", {}, "", L"", L"", kNoTemp, false, Answer::kNone, kExit0, {}, "6", "as installed"},
      {"quiet, no temporary folder: 1603", {}, "", L"", L"/quiet", kNoTemp, false, Answer::kNone, {L"exit 1603"}, {}, "6", "as installed"},
      {"a copy that cannot start: nothing changes", {}, "", L"", L"", {{L"UNINSTALL_TEST_START_FAILS", L"1"}}, false,
       Answer::kNone, kExit0, {}, "6", "as installed"},
      {"quiet, a copy that cannot start: 1603", {}, "", L"", L"/quiet", {{L"UNINSTALL_TEST_START_FAILS", L"1"}}, false,
       Answer::kNone, {L"exit 1603"}, {}, "6", "as installed"},
      {"a record that cannot be written: nothing changes", {}, "", L"", L"", {{L"UNINSTALL_TEST_RECORD_FAILS", L"1"}}, false,
       Answer::kNone, kExit0, {}, "6", "as installed"},
      {"quiet, a record that cannot be written: 1603", {}, "", L"", L"/quiet", {{L"UNINSTALL_TEST_RECORD_FAILS", L"1"}}, false,
       Answer::kNone, {L"exit 1603"}, {}, "6", "as installed"},
      {"a second start while the first asks changes nothing", {}, "", L"", L"", {}, false, Answer::kCancel, {kQuestion},
       {"start", "cancelled_by_user"}, "6", "as installed", second_starts, L"", 2},
      {"a second removal while one started directly asks", {}, "", L"", direct + L"/path=\"<app>\"", {}, false, Answer::kCancel,
       {kQuestion}, {"start", "cancelled_by_user"}, "6", "as installed", second_removal, L"", 1},
      {"a descriptor edited while the question is up", {}, "", L"", L"", {}, false, Answer::kCancel, {kQuestion},
       {"start", "cancelled_by_user"}, "6", "as installed", edits_descriptor},
      {"the installation folder renamed or moved while the question is up: it stays where it was held", {}, "", L"", L"",
       {}, false, Answer::kOk, {kQuestion, kDone}, {"start", "success"}, "0", "none", moves_the_installation},
      // What the game root's name leads to now is not the game's: nothing outside the installation goes (under
      // Wine, which keeps the held folders' old names, not the installation folder's files either).
      {"the game root swapped for a link while the question is up", {}, "", L"", L"", {}, false, Answer::kOk,
       {kQuestion, kIncomplete}, {"start", "incomplete_removal"}, "4", "as installed", links_the_game_root},
      {"the copy ended from outside at the question: nothing changed, the game stays listed", {}, "", L"", L"", {},
       false, Answer::kCancel, {kQuestion}, {"start"}, "6", "as installed", ends_the_copy},
      {"the shared cache swapped for a link while the question is up", {}, "", L"", L"", {}, false, Answer::kOk,
       {kQuestion, kDone}, {"start", "success"}, "0", "none", links_the_cache},
      {"quiet: no box, removed when the exit code comes", {}, "", L"", L"/quiet", {}, true, Answer::kNone, kExit0,
       {"start", "success"}, "0", "none"},
      {"quiet with /S and a log", {}, "", L"", L"/S \"/log=<log>\" /norestart", {}, false, Answer::kNone, kExit0,
       {"start", "success"}, "0", "none"},
      {"quiet, a file held open: 1603", {}, "", L"", L"/VERYSILENT", {}, false, Answer::kNone, {L"exit 1603"},
       {"start", "incomplete_removal"}, "2", "as installed", nullptr, L"data\\level.map"},
      {"all four entries: the game's go, last", {}, "", L"", L"", {}, false, Answer::kOk, {kQuestion, kDone},
       {"start", "success"}, "0", "none", nullptr, L"", 0, [](Game& g) { g.AddUserEntries(); }},
      {"all four entries, Cancel: each as installed, nothing written", {}, "", L"", L"", {}, false, Answer::kCancel,
       {kQuestion}, {"start", "cancelled_by_user"}, "6", "as installed", nullptr, L"", 0, [](Game& g) { g.AddUserEntries(); }},
      {"an entry deleted and made again while the question is up is not the one judged: it stays", {}, "", L"", L"", {},
       false, Answer::kOk, {kQuestion, kDone}, {"start", "success"}, "0", "made again", makes_it_again},
      {"lock names an ordinary user made first neither block nor let a second start in", {}, "", L"", L"", {}, false,
       Answer::kCancel, {kQuestion}, {"start", "cancelled_by_user"}, "6", "as installed", second_starts, L"", 2,
       [](Game& g) { g.SquatLocks(); }},
      {"a collector that trickles its handshake holds neither the question nor the end", {}, "", L"", L"",
       {{L"UNINSTALL_TELEMETRY_PORT", test::Env(L"COLLECTOR_TRICKLE_PORT")}}, false, Answer::kOk, {kQuestion, kDone}, {},
       "0", "none"},
      // A network that stalls once: the start report goes out on a second
      // connection, the success after it (no report lost behind the stalled
      // one), and the copy ends within two deadlines of the exit code.
      {"quiet, the collector's first connection stalls: both reports, in order", {}, "", L"", L"/quiet \"/log=<log>\"",
       {{L"UNINSTALL_TELEMETRY_PORT", test::Env(L"COLLECTOR_STALL_PORT")}}, false, Answer::kNone, kExit0,
       {"start", "success"}, "0", "none", nullptr, L"", 0, [](Game&) { EXPECT_TRUE(test::StallNextConnection()); }},
      // A slow network: the cancellation's exchange starts once the start's
      // ends, 8 s in, and is not cut by a wait of one deadline for both.
      {"every exchange 8 s, Cancel at once: the start report, then the cancellation", {}, "", L"", L"",
       {{L"UNINSTALL_TELEMETRY_PORT", test::Env(L"COLLECTOR_SLOW_PORT")}}, false, Answer::kCancel, {kQuestion},
       {"start", "cancelled_by_user"}, "6", "as installed"},
  };
  for (const auto& c : cases) {
    if ((c.meanwhile || c.before || c.confirm == Answer::kNone) != around) continue;
    SCOPED_TRACE(c.what);
    Game game(c.changes, c.document);
    if (c.before) c.before(game);
    test::LayOut(game.app, c.layout);
    std::map<std::wstring, std::wstring> before;
    for (const auto& seam : c.seams) before[seam.first] = test::Env(seam.first.c_str());
    test::SetEnv(c.seams);
    std::vector<test::Process> running;
    for (const std::wstring& program : {game.app + L"dq.exe", game.base + L"dq.exe", game.base + OldCopy(L'3') + L"g_uninstall_6.exe"}) {
      if (!c.running) break;
      test::Write(program, test::Read(game.app + L"dq.exe"));
      // A game runs in its own folder, which its working folder holds.
      running.push_back(test::Start(L"\"" + program + L"\"", program.substr(0, program.find_last_of(L'\\'))));
    }
    const test::Process holder = c.hold.empty() ? test::Process() : HoldOpen(game.app + c.hold);
    const bool relocates = c.arguments.compare(0, direct.size(), direct) != 0;
    std::wstring arguments = c.arguments;
    if (arguments.find(L"<log>") != std::wstring::npos) arguments.replace(arguments.find(L"<log>"), 5, game.base + L"run.log");
    if (arguments.find(L"<app>") != std::wstring::npos) arguments.replace(arguments.find(L"<app>"), 5, game.app.substr(0, game.app.size() - 1));
    Texts expected = c.boxes;
    for (std::wstring& text : expected)
      if (text.find(L"<app>") != std::wstring::npos) text.replace(text.find(L"<app>"), 5, game.app);
    // Without a readable descriptor the game has no name.
    const bool nameless = !c.boxes.empty() && c.boxes[0].compare(0, 12, L"The game in ") == 0;
    const std::wstring caption = nameless ? L" Unistall" : L"Demo Quest Unistall";
    const DWORD start = ::GetTickCount();
    std::string progress;
    std::set<std::wstring> folders;
    EXPECT_EQ(RunProgram(L"\"" + (relocates ? game.app : test::ProgramFolder()) + L"uninstall.exe\" " + arguments,
                         relocates ? game.app : L"C:\\work", c.confirm, caption, [&] { if (c.meanwhile) c.meanwhile(game); },
                         &progress, &folders),
              expected);
    const DWORD told = ::GetTickCount();  // the first process has ended with its exit code
    // "shown (...)" may also have caught it moving; never up with a box, nor with mnemonics.
    if (!c.progress.empty()) EXPECT_EQ(progress.substr(0, c.progress == "none" ? std::string::npos : c.progress.size()), c.progress);
    for (const char* never : {", up with the box", ", with mnemonics"}) EXPECT_EQ(progress.find(never), std::string::npos) << progress;
    if (!c.shows_folder.empty()) {
      EXPECT_EQ(folders.count(c.shows_folder), 1u);
      // Each named as it is, below what is removed.
      const std::set<std::wstring> game_folders = {L"", L"app", L"data", L"res", L"res\\data", L"G", L"7", c.shows_folder};
      for (const std::wstring& shown : folders) EXPECT_EQ(game_folders.count(shown), 1u) << WideToUtf8(shown);
    }
    // Each report has 10 s at most, whatever the network does.
    EXPECT_LT(::GetTickCount() - start, 45000u) << "the run ended before 45 s";
    const std::vector<std::wstring> launches = game.Launches();
    const bool started = relocates && (c.confirm != Answer::kNone || !c.reports.empty());
    if (started && c.confirm == Answer::kNone) {
      // A quiet run: when the exit code comes, only the uninstaller may be
      // left of what goes; the copy shows no box to the end.
      if (c.left == "0") EXPECT_EQ(game.LeftBesides(game.app + L"uninstall.exe"), "0");
      ASSERT_EQ(launches.size(), 2u);
      EXPECT_EQ(AwaitWithoutBoxes(std::stoul(launches[1]), caption), "");
      // Its last step follows the exit code; the reports still going get
      // one deadline each, and there are two.
      EXPECT_LE(::GetTickCount() - told, 2 * kExchangeDeadlineMs) << "the copy ended within two deadlines of the exit code";
    }
    EXPECT_EQ(game.Reports(), c.reports);
    // Where the collector held a report unanswered, the next one came only
    // once that one was let go.
    const Strings collected = game.Reports(true);
    const auto let_go = [](const std::string& report) { return report.find(" let go") != std::string::npos; };
    for (size_t i = 1; std::any_of(collected.begin(), collected.end(), let_go) && i < collected.size(); ++i)
      if (!let_go(collected[i])) EXPECT_TRUE(let_go(collected[i - 1])) << collected[i] << " came while " << collected[i - 1] << " was held";
    // Under Wine a link swapped in from the Unix side leaves the held
    // folder's name behind; how much of the game's own the removal can
    // still prove its own, and remove, varies ("1|2"): nothing else goes.
    EXPECT_NE(("|" + c.left + "|").find("|" + game.Left() + "|"), std::string::npos) << game.Left();
    EXPECT_EQ(game.Registration(), c.registration);
    if (arguments.find(L"/log=") != std::wstring::npos) {
      const std::string log = test::Read(game.base + L"run.log");
      for (const char* step : {"installation folder: ", "registration: 2 entries of the game's, deleted last", "started the copy ",
                               "report start: sent",
                               "the game: not running", "desktop shortcut Demo Quest.lnk: removed", "shared cache ",
                               "all but the uninstaller and the descriptor removed", "Start-menu folder Programs\\DemoQuest: removed",
                               "registration: deleted", "removal of the uninstaller and its folders: done",
                               "report success: sent", "exit code 0"})
        EXPECT_NE(log.find(step), std::string::npos) << step << "\n" << log;
    }
    if (holder.handle) ::TerminateProcess(holder.handle.get(), 0);
    test::SetEnv(before);
    // Only the game was ended, and only for a removal that could happen.
    const bool refused = c.confirm != Answer::kNone && c.boxes.size() == 1 && c.boxes[0] != kQuestion;
    for (size_t i = 0; i < running.size(); ++i) {
      EXPECT_EQ(running[i].Wait(0), i == 0 && c.seams.empty() && !refused ? 0u : ~0u) << i;
      ::TerminateProcess(running[i].handle.get(), 0);
    }
    // Started hidden, as /action=uninstall /path="<folder>" , from a new
    // folder with a random name; the earlier copies swept but a running one
    // and what is not theirs; a copy that did not start gone too.
    const bool swept = relocates && !c.seams.count(L"TEMP");
    ASSERT_EQ(launches.size(), (started ? 2u : 1u) + c.more_starts);
    size_t copies = 0;
    WIN32_FIND_DATAW data;
    UniqueFind find(::FindFirstFileW((game.temp + L"g_uninstall_*").c_str(), &data));
    for (bool more = find.valid(); more; more = ::FindNextFileW(find.get(), &data)) ++copies;
    EXPECT_EQ(copies, 2 + (swept ? 0 : 2) + c.running + started);
    EXPECT_EQ(Exists(game.base + OldCopy(L'1')), !swept);
    if (!started) continue;
    const size_t folder = launches[1].find(L" 0 \"" + game.temp + L"g_uninstall_");
    ASSERT_NE(folder, std::wstring::npos) << WideToUtf8(launches[1]);
    EXPECT_EQ(launches[1].find_first_not_of(L"0123456789abcdef", folder + game.temp.size() + 16), folder + game.temp.size() + 48);
    EXPECT_NE(launches[1].find(L".exe\" /action=uninstall /path=\"" + game.app.substr(0, game.app.size() - 1) + L"\" "),
              std::wstring::npos);
  }
  EXPECT_EQ(test::Read(documents + L"\\res\\data\\init.dat"), "{\"game_name\":\"Demo Quest\"}");
  test::RemoveTree(documents + L"\\res");
}

TEST(Program, AsAUserLivesIt) { LiveTheTable(/*around=*/false); }
TEST(Program, WhatHappensAroundARunAndWhenNobodyAnswers) { LiveTheTable(/*around=*/true); }

// A file in use stops the removal before the uninstaller and the descriptor
// go, and before the outcome is told: the entry, never deleted, names a
// working uninstaller, and a second run started as soon as the first has
// given its exit code, once the file is let go, finishes the job.
// The uninstaller and the descriptor themselves are held by the copy before
// its word: when another program holds either, the caller hears 1603.
TEST(Program, AFileInUseLeavesAWorkingUninstaller) {
  const struct {
    const char* what;
    std::wstring held, share, arguments;
    Texts first_run;
    std::wstring hangs = L"";  // a file whose marking for deletion never returns by itself
  } cases[] = {
      {"a game file, sharing nothing", L"data\\level.map", L"", L"", {kQuestion, kIncomplete}},
      {"the descriptor, sharing reading", L"res\\data\\init.dat", L"read", L"/quiet", {L"exit 1603"}},
      {"the uninstaller, sharing reading", L"uninstall.exe", L"read", L"/quiet", {L"exit 1603"}},
      // Deleted, but its name stays for as long as the other program holds it.
      {"a file at the top, letting it be deleted", L"dq.exe", L"delete", L"/quiet", {L"exit 1603"}},
      // As an oplock's holder that never acknowledges its break makes it
      // wait (Windows only; the test build's seam stands in): given up at
      // the bound.
      {"a file whose deletion waits on another program", L"", L"", L"/quiet", {L"exit 1603"}, L"level.map"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Game game({}, "");
    const std::wstring uninstaller = L"\"" + game.app + L"uninstall.exe\" " + c.arguments, caption = L"Demo Quest Unistall";
    const Answer answer = c.arguments.empty() ? Answer::kOk : Answer::kNone;
    test::Process holder = c.held.empty() ? test::Process() : HoldOpen(game.app + c.held, c.share);
    test::SetEnv({{L"UNINSTALL_TEST_DELETE_HANGS", c.hangs}});
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_EQ(RunProgram(uninstaller, game.app, answer, caption), c.first_run);
    // Generous beside the bound, which only the hanging row waits out.
    EXPECT_LT(::GetTickCount64() - start, kCallBoundMs + 20000u);
    test::SetEnv({{L"UNINSTALL_TEST_DELETE_HANGS", L""}});
    EXPECT_EQ(game.Registration(), "as installed");
    EXPECT_TRUE(Exists(game.app + L"uninstall.exe") && Exists(game.app + L"res\\data\\init.dat"));
    if (holder.handle) ::TerminateProcess(holder.handle.get(), 0);
    holder.Wait();
    EXPECT_EQ(RunProgram(uninstaller, game.app, answer, caption), (answer == Answer::kOk ? Texts{kQuestion, kDone} : Texts{L"exit 0"}));
    const std::vector<std::wstring> launches = game.Launches();
    ASSERT_EQ(launches.size(), 4u);
    EXPECT_EQ(AwaitWithoutBoxes(std::stoul(launches[3]), caption), "");  // a quiet copy's last step follows its word
    EXPECT_EQ(game.Left(), "0");
    EXPECT_EQ(game.Registration(), "none");
    EXPECT_EQ(game.Reports(), (Strings{"start", "incomplete_removal", "start", "success"}));
  }
}

// A caller that reads the uninstaller's output to its end (a script, a
// deployment agent) is done when the first process ends, not when the copy
// does: the copy inherits no standard handle. The first process ends once it
// has the copy's word: interactive, the copy still shows its last box then;
// quiet, it still reports, to a trickling collector.
TEST(Program, ACallerReadingTheOutputIsDoneWhenTheFirstProcessEnds) {
  const struct {
    const char* what;
    std::wstring arguments;
    const wchar_t* collector;
  } cases[] = {
      {"interactive", L"", L"COLLECTOR_PORT"},
      {"quiet", L"/quiet", L"COLLECTOR_TRICKLE_PORT"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Game game({}, "");
    test::SetEnv({{L"UNINSTALL_TELEMETRY_PORT", test::Env(c.collector)}});
    UniqueHandle read, write;
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    ASSERT_TRUE(::CreatePipe(read.put(), write.put(), &inherit, 0));
    ::SetHandleInformation(read.get(), HANDLE_FLAG_INHERIT, 0);
    const test::Process first = test::Start(L"\"" + game.app + L"uninstall.exe\" " + c.arguments, game.app, write.get());
    write.reset();
    const UniqueHandle done(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::pair<HANDLE, HANDLE> ends{read.get(), done.get()};
    const UniqueHandle reader(::CreateThread(nullptr, 0, ReadToEnd, &ends, 0, nullptr));
    // Generous: a copy holding the output would hold it for good.
    const auto read_through = [&] { return ::WaitForSingleObject(done.get(), 90000) == WAIT_OBJECT_0; };
    UniqueHandle copy;
    if (c.arguments.empty()) {
      EXPECT_TRUE(test::AnswerBox(L"Demo Quest Unistall", Answer::kOk, 60000).found);
      test::Box last = test::AnswerBox(L"Demo Quest Unistall", Answer::kOk, 60000, [&] {
        EXPECT_TRUE(read_through()) << "while the last box is up";
        EXPECT_EQ(first.Wait(0), 0u);
      });
      EXPECT_EQ(last.text, kDone);
      copy = std::move(last.process);
    } else {
      const bool through = read_through();
      EXPECT_TRUE(through);
      EXPECT_EQ(first.Wait(0), 0u);
      const std::vector<std::wstring> launches = game.Launches();
      EXPECT_EQ(launches.size(), 2u);
      if (launches.size() == 2)
        copy.reset(::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, std::stoul(launches[1])));
      EXPECT_EQ(::WaitForSingleObject(copy.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "the copy still ran";
      if (!through && copy) ::TerminateProcess(copy.get(), 1);
    }
    ::WaitForSingleObject(reader.get(), 90000);
    EXPECT_EQ(::WaitForSingleObject(copy.get(), 60000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(game.Registration(), "none");
    test::SetEnv({{L"UNINSTALL_TELEMETRY_PORT", test::Env(L"COLLECTOR_PORT")}});
  }
}

// The program's name is given to another file while it starts: the copy,
// when there is one, is the program that was started, byte for byte, never
// the file that took its name. After the program holds itself it reads the
// file it holds; before, it finds itself by the system's name of its image,
// which Wine does not update after a rename: there nothing is done.
TEST(Program, TheCopyIsTheProgramThatWasStarted) {
  for (const wchar_t* stage : {L"start", L"held"}) {
    SCOPED_TRACE(WideToUtf8(stage));
    const Game game({}, "");
    const std::string started = test::Read(game.app + L"uninstall.exe");
    test::Write(game.app + L"other.exe", test::Read(test::ProgramFolder() + L"helper.exe"));
    const std::wstring events = L"Local\\uninstall_test." + std::wstring(stage);
    const UniqueHandle ready(::CreateEventW(nullptr, TRUE, FALSE, (events + L".ready").c_str()));
    const UniqueHandle go(::CreateEventW(nullptr, TRUE, FALSE, (events + L".go").c_str()));
    test::SetEnv({{L"UNINSTALL_TEST_PAUSE", L"Local\\uninstall_test"}});
    const test::Process first = test::Start(L"\"" + game.app + L"uninstall.exe\"", game.app);
    test::SetEnv({{L"UNINSTALL_TEST_PAUSE", L""}});
    ASSERT_EQ(::WaitForSingleObject(ready.get(), 30000), WAIT_OBJECT_0);
    // From the Unix side, as no share mode of Wine's stands in its way.
    EXPECT_TRUE(test::Swap(game.app + L"uninstall.exe", game.app + L"other.exe"));
    ::SetEvent(go.get());
    test::Box question = test::AnswerBox(L"Demo Quest Unistall", Answer::kCancel, 15000);
    const bool asked = question.found;
    test::Process copy;
    copy.handle = std::move(question.process);
    EXPECT_EQ(first.Wait(), 0u);
    if (asked) EXPECT_EQ(copy.Wait(), 0u);
    const std::vector<std::wstring> launches = game.Launches();
    ASSERT_EQ(launches.size(), asked ? 2u : 1u);
    EXPECT_EQ(game.Registration(), "as installed");
    if (stage == std::wstring(L"held")) EXPECT_TRUE(asked);
    if (!asked) continue;
    const size_t quote = launches[1].find(L'"');
    EXPECT_EQ(test::Read(launches[1].substr(quote + 1, launches[1].find(L'"', quote + 1) - quote - 1)), started);
  }
}

TEST(Program, TheCopyIsHeldUntilStartedInAFolderOnlyAdministratorsWrite) {
  const std::wstring base = test::FreshFolder(), temp = base + L"a\\b\\", program = test::ProgramFolder() + L"uninstall.exe";
  test::MakeFolders(temp);
  const UniqueFileHandle source(::CreateFileW(program.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  ElevatedCopy copy = MakeElevatedCopy(source.get(), temp, 77);
  ASSERT_TRUE(copy);
  // Nor can any folder above it be renamed, and another put in its place.
  for (const std::wstring& above : {base + L"a\\b", base + L"a"})
    EXPECT_FALSE(::MoveFileW(above.c_str(), (above + L"x").c_str())) << WideToUtf8(above);
  const std::wstring folder = copy.path().substr(0, copy.path().find_last_of(L'\\'));
  EXPECT_EQ(copy.path(), folder + L"\\g_uninstall_77.exe");
  EXPECT_EQ(test::Read(copy.path()), test::Read(program));  // readers, the loader among them, may
  EXPECT_FALSE(UniqueFileHandle(::CreateFileW(copy.path().c_str(), GENERIC_WRITE, 7, nullptr, OPEN_EXISTING, 0, nullptr)));
  EXPECT_FALSE(::DeleteFileW(copy.path().c_str()) || ::MoveFileW(folder.c_str(), (folder + L"x").c_str()));
  // Wine keeps no security descriptor of a folder's own (it maps it to Unix
  // permissions), so the one the program hands over is read back: owner
  // Administrators; protected; full control for Administrators and SYSTEM,
  // read and execute for the user, each passed on to the copy.
  alignas(TOKEN_USER) BYTE user[256];
  DWORD size = 0;
  wchar_t *sid = nullptr, *text = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  UniqueHandle token;
  ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put());
  ::GetTokenInformation(token.get(), TokenUser, user, sizeof(user), &size);
  ::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, &sid);
  ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(ProtectedFolderSecurity().c_str(), 1, &descriptor, nullptr));
  ::ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, 1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text, nullptr);
  EXPECT_EQ(std::wstring(text), L"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;" + std::wstring(sid) + L")");
  for (void* memory : {static_cast<void*>(sid), static_cast<void*>(text), descriptor}) ::LocalFree(memory);
  copy.Discard();
  EXPECT_FALSE(Exists(folder));
  EXPECT_TRUE(::MoveFileW((base + L"a").c_str(), (base + L"ax").c_str())) << "let go with the copy";
}

// A temporary folder on a network drive is no place for the copy: a server
// need not keep what was written and checked. The copy is made in the
// system's own temporary folder instead, and the uninstall goes on.
TEST(Program, TheCopyIsMadeOnALocalDisk) {
  const Game game({}, "");
  ASSERT_TRUE(test::MapDrive(L'N', L"", /*remote=*/true));
  ASSERT_EQ(::GetDriveTypeW(L"N:\\"), static_cast<UINT>(DRIVE_REMOTE));
  test::MakeFolders(L"N:\\temp");
  test::SetEnv({{L"TEMP", L"N:\\temp\\"}, {L"TMP", L"N:\\temp\\"}});
  EXPECT_EQ(RunProgram(L"\"" + game.app + L"uninstall.exe\" /quiet", game.app, Answer::kNone, L"Demo Quest Unistall"), Texts{L"exit 0"});
  const std::vector<std::wstring> launches = game.Launches();
  ASSERT_EQ(launches.size(), 2u);
  EXPECT_EQ(AwaitWithoutBoxes(std::stoul(launches[1]), L"Demo Quest Unistall"), "");
  wchar_t windows[MAX_PATH] = {};
  ::GetWindowsDirectoryW(windows, MAX_PATH);
  std::wstring started = launches[1], system_temp = L" 0 \"" + std::wstring(windows) + L"\\temp\\g_uninstall_";
  for (std::wstring* text : {&started, &system_temp}) ::CharLowerBuffW(&(*text)[0], static_cast<DWORD>(text->size()));
  EXPECT_NE(started.find(system_temp), std::wstring::npos) << WideToUtf8(launches[1]);
  WIN32_FIND_DATAW data;
  EXPECT_FALSE(UniqueFind(::FindFirstFileW(L"N:\\temp\\g_uninstall_*", &data)));
  EXPECT_EQ(game.Left(), "0");
  EXPECT_EQ(game.Registration(), "none");
}

// The log is the uninstaller's own file. The first process opens it once,
// from the drive's root through handles, and hands it to the copy open; a
// log where the removal deletes is refused, and the removal completes; no
// text of the descriptor starts a line of it. Each row is a quiet run.
TEST(Program, TheLogIsTheUninstallersOwnFile) {
  const struct {
    const char* what;
    Members changes;
    std::wstring log;     // the /log value; <base> and <app> stand for the game's folders
    std::wstring folder;  // the working folder
    std::wstring written;                     // the log both processes wrote; "" none
    std::vector<std::wstring> absent;         // what must not be made
    std::function<void(const Game&)> before;  // more of the situation
  } cases[] = {
      {"a link on the log's way: nothing is made behind it", {}, L"<base>logs\\run.log", L"<base>", L"",
       {L"<base>Elsewhere\\run.log"}, [](const Game& g) { EXPECT_TRUE(test::Link(g.base + L"logs", g.base + L"Elsewhere")); }},
      {"line breaks in the game's name start no line", {{"game_name", "Demo\\r\\nQuest\\n2026-12-07 11:02:03.417 [1] ended with exit code 0"}},
       L"<base>run.log", L"<base>", L"<base>run.log", {}, nullptr},
      {"a log in the installation folder is refused", {}, L"uninstall.log", L"<app>", L"", {L"<app>uninstall.log"}, nullptr},
      {"a log in the game root is refused", {}, L"<base>Lib\\G\\logs\\run.log", L"<base>", L"", {L"<base>Lib\\G\\logs\\run.log"},
       [](const Game& g) { test::MakeFolders(g.base + L"Lib\\G\\logs"); }},
      {"a relative log: both processes write it", {}, L"run.log", L"<base>", L"<base>run.log", {}, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Game game(c.changes, "");
    if (c.before) c.before(game);
    const auto place = [&](std::wstring text) {
      for (const auto& [mark, folder] : {std::pair{L"<base>", game.base}, std::pair{L"<app>", game.app}})
        if (text.compare(0, wcslen(mark), mark) == 0) text = folder + text.substr(wcslen(mark));
      return text;
    };
    const std::wstring caption = Utf8ToWide(c.changes.count("game_name") ? c.changes.at("game_name") : "Demo Quest") + L" Unistall";
    EXPECT_EQ(RunProgram(L"\"" + game.app + L"uninstall.exe\" /quiet \"/log=" + place(c.log) + L"\"",
                         place(c.folder), Answer::kNone, caption),
              Texts{L"exit 0"});
    const std::vector<std::wstring> launches = game.Launches();
    ASSERT_EQ(launches.size(), 2u);
    EXPECT_EQ(AwaitWithoutBoxes(std::stoul(launches[1]), caption), "");
    EXPECT_EQ(game.Left(), "0");
    EXPECT_EQ(game.Registration(), "none");
    for (const std::wstring& path : c.absent) EXPECT_FALSE(Exists(place(path))) << WideToUtf8(place(path));
    if (c.written.empty()) continue;
    // Every line is one the program wrote: its time, one of its two
    // processes, then the text.
    std::set<std::string> writers;
    std::istringstream lines(test::Read(place(c.written)));
    const std::regex form(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[(\d+)\] .*\r)");
    for (std::string line; std::getline(lines, line);) {
      std::smatch match;
      EXPECT_TRUE(std::regex_match(line, match, form)) << line;
      if (!match.empty()) writers.insert(match[1]);
    }
    const std::set<std::string> processes = {WideToUtf8(launches[0].substr(0, launches[0].find(L' '))),
                                             WideToUtf8(launches[1].substr(0, launches[1].find(L' ')))};
    EXPECT_EQ(writers, processes);
  }
}

TEST(Program, AsksForAdministratorAndNeverLoadsPlantedSystemDlls) {
  const UniqueLibrary module(::LoadLibraryExW((test::ProgramFolder() + L"uninstall.exe").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
  const HRSRC manifest = ::FindResourceW(module.get(), MAKEINTRESOURCEW(1), RT_MANIFEST);
  ASSERT_TRUE(manifest);
  const std::string xml(static_cast<const char*>(::LockResource(::LoadResource(module.get(), manifest))),
                        ::SizeofResource(module.get(), manifest));
  EXPECT_NE(xml.find("level=\"requireAdministrator\""), std::string::npos);
  EXPECT_EQ(xml.find("<compatibility"), std::string::npos);  // Windows 8 and later report 6.2: "Win10"
  // Today's controls, and each window laid out at its display's scale.
  EXPECT_NE(xml.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""), std::string::npos);
  EXPECT_NE(xml.find(">PerMonitorV2"), std::string::npos);

  const Game game({}, "");
  for (const std::wstring& folder : {game.app, game.temp})
    for (const wchar_t* dll : {L"wininet.dll", L"iphlpapi.dll", L"comctl32.dll"})
      test::Write(folder + dll, test::Read(test::ProgramFolder() + L"planted\\" + dll));
  // Wine takes its DLL load order from the Unix environment, which the test
  // runner sets for this test alone (tests.cmake). An ordinary load from the
  // program's folder finds the planted DLL...
  ASSERT_EQ(test::Env(L"WINEDLLOVERRIDES"), L"wininet,iphlpapi,comctl32=n,b");
  test::Write(game.app + L"probe.exe", test::Read(test::ProgramFolder() + L"helper.exe"));
  test::SetEnv({{L"HELPER", L"load"}});
  EXPECT_EQ(test::Start(L"\"" + game.app + L"probe.exe\" wininet.dll").Wait(), 0u);
  test::SetEnv({{L"HELPER", L""}});
  EXPECT_TRUE(Exists(L"C:\\work\\markers\\wininet.dll.loaded"));
  test::RemoveTree(L"C:\\work\\markers");
  ::DeleteFileW((game.app + L"probe.exe").c_str());
  // ...but the uninstaller never does, in either of its two processes, its
  // progress window included (a removal made to last).
  std::string progress;
  test::SetEnv({{L"UNINSTALL_TEST_ENTRY_PAUSE_MS", L"300"}});
  EXPECT_EQ(RunProgram(L"\"" + game.app + L"uninstall.exe\"", game.app, Answer::kOk, L"Demo Quest Unistall", nullptr, &progress),
            (Texts{kQuestion, kDone}));
  test::SetEnv({{L"UNINSTALL_TEST_ENTRY_PAUSE_MS", L""}});
  EXPECT_EQ(progress.substr(0, 5), "shown");
  EXPECT_FALSE(Exists(L"C:\\work\\markers"));
  EXPECT_EQ(game.Reports(), (Strings{"start", "success"}));
}

// Every process of the run ended at once, as a power cut, a forced log-off
// or a deployment tool's time-out ends them: at any moment before its last
// step the game stays listed, with its uninstaller and descriptor, and the
// uninstaller the list names then removes it.
TEST(Program, EndedAtOnceTheGameStaysListedAndUninstallable) {
  const struct {
    const char* what;
    std::wstring arguments;
    bool midway;  // else with the question up
  } cases[] = {
      {"with the question up", L"", false},
      {"midway through removing thousands of files", L"", true},
      {"midway through a quiet removal", L"/quiet", true},
  };
  const std::wstring caption = L"Demo Quest Unistall";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Game game({}, "");
    std::vector<std::wstring> data;
    for (int folder = 0; c.midway && folder < 30; ++folder) {
      const std::wstring path = game.app + L"data\\part" + std::to_wstring(folder) + L"\\";
      test::MakeFolders(path);
      for (int file = 0; file < 100; ++file) {
        data.push_back(path + std::to_wstring(file) + L".bin");
        const UniqueFileHandle made(::CreateFileW(data.back().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
      }
    }
    test::SetEnv({{L"UNINSTALL_TEST_ENTRY_PAUSE_MS", c.midway ? L"5" : L""}});
    const test::Process first = test::Start(L"\"" + game.app + L"uninstall.exe\" " + c.arguments, game.app);
    if (c.arguments.empty()) {
      for (int i = 0; i < 3000 && !ShownWindow(caption, true); ++i) ::Sleep(20);
      ASSERT_TRUE(ShownWindow(caption, true));
      if (c.midway) test::AnswerBox(caption, Answer::kOk, 1000);
    }
    // Midway: some of the data gone, most of it not.
    for (int i = 0; i < 3000 && c.midway && Exists(data.front()); ++i) ::Sleep(10);
    const std::vector<std::wstring> launches = game.Launches();
    ASSERT_EQ(launches.size(), 2u);
    const UniqueHandle copy(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, std::stoul(launches[1])));
    EXPECT_TRUE(::TerminateProcess(copy.get(), 1) && ::TerminateProcess(first.handle.get(), 1));
    ::WaitForSingleObject(copy.get(), 30000);
    first.Wait();
    test::SetEnv({{L"UNINSTALL_TEST_ENTRY_PAUSE_MS", L""}});
    if (c.midway) EXPECT_TRUE(!Exists(data.front()) && Exists(data.back())) << "ended midway";
    EXPECT_EQ(game.Registration(), "as installed");
    EXPECT_TRUE(Exists(game.app + L"uninstall.exe") && Exists(game.app + L"res\\data\\init.dat"));
    // As the list of installed programs starts it.
    const std::wstring listed = test::ReadKey(HKEY_LOCAL_MACHINE, game.uninstall_key)[L"UninstallString"];
    EXPECT_EQ(RunProgram(listed, game.app, Answer::kOk, caption), (Texts{kQuestion, kDone}));
    EXPECT_EQ(game.Left(), "0");
    EXPECT_EQ(game.Registration(), "none");
    EXPECT_FALSE(Exists(game.app));
  }
}
