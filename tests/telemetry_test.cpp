// Telemetry: the body byte for byte, the request as the loopback collector
// receives it and every way the exchange can fail, the device identifier,
// the version sources and the system name, and the debugger lines.

#include <gtest/gtest.h>
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <algorithm>
#include <regex>
#include <tuple>

#include "cleanup/platform_data.h"
#include "common/run_log.h"
#include "common/text.h"
#include "profile/game_profile.h"
#include "telemetry/device_identity.h"
#include "telemetry/event_report.h"
#include "telemetry/http_transport.h"
#include "telemetry/md5.h"
#include "telemetry/version_info.h"
#include "tests/support/harness.h"

namespace {

using Strings = std::vector<std::string>;

int Port(const wchar_t* variable) { return _wtoi(test::Env(variable).c_str()); }

}  // namespace

TEST(Telemetry, DigestsEncodingAndBodies) {
  // RFC 1321's suite, and the padding around one 64-byte block.
  for (const auto& [input, digest] : std::vector<std::pair<std::string, const char*>>{
           {"", "d41d8cd98f00b204e9800998ecf8427e"}, {"abc", "900150983cd24fb0d6963f7d28e17f72"},
           {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
           {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
            "57edf4a22be3c955ac49da2e2107b67a"},
           {std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"}, {std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},
           {std::string(64, 'a'), "014842d480b571495a4a0363793f7367"}, {std::string(119, 'a'), "8a7bd0732ed6a28ce75f6dabc90e1613"},
           {"00:1A:2B:3C:4D:5E", "64ef59ed159b1cfd56057da3b82a7677"}, {std::string("abc\0def", 7), "900150983cd24fb0d6963f7d28e17f72"}})
    EXPECT_EQ(Md5Hex(ComputeMd5(input)), digest) << input.size();
  EXPECT_EQ(PercentEncode(std::string("AZaz09-_.~ +=&?#%/\"\\{}\x01\x7f\x80\xff\0", 27)),
            "AZaz09-_.~%20%2B%3D%26%3F%23%25%2F%22%5C%7B%7D%01%7F%80%FF%00");
  EXPECT_EQ(PercentEncode("12 ab/\xC3\xA9"), "12%20ab%2F%C3%A9");
  const ReportContext context{"0123456789abcdef0123456789abcdef", "Win10_64", "3.1.2.7", "", "12 ab/\xC3\xA9", "op-1"};
  const std::string tail = "\"game_id\":\"12%20ab%2F%C3%A9\",\"install_source\":\"\",";
  EXPECT_EQ(BuildReportBody(kStartEvent, context),
            "[{\"device_id\":\"0123456789abcdef0123456789abcdef\",\"event_type\":\"80018\"," + tail +
                "\"key_function\":\"start\",\"key_module\":\"uninstall\",\"op_id\":\"op-1\",\"os\":\"Win10_64\","
                "\"platform\":\"VUZOR\",\"status\":0,\"tag\":\"collect_desktop_frontend_data\",\"version\":\"3.1.2.7\"}]\n");
  // "error" is escaped as JSON, not percent-encoded; empty event fields and
  // what follows a NUL are left out.
  const ReportEvent odd{std::string("\0junk", 5), -5, std::string("say \"no\" / 100%\0tail", 20), "un install", ""};
  EXPECT_EQ(BuildReportBody(odd, context),
            "[{\"device_id\":\"0123456789abcdef0123456789abcdef\",\"error\":\"say \\\"no\\\" / 100%\"," + tail +
                "\"key_module\":\"un%20install\",\"op_id\":\"op-1\",\"os\":\"Win10_64\",\"platform\":\"VUZOR\","
                "\"status\":-5,\"tag\":\"collect_desktop_frontend_data\",\"version\":\"3.1.2.7\"}]\n");
}

TEST(Telemetry, ExchangesWithTheCollector) {
  // The report, exactly as the collector receives it, with the machine's
  // own values.
  GameProfile = {};
  const std::string marker = test::UniqueMarker();
  GameProfile.game_id = L"12 ab/\u00e9";
  GameProfile.op_id = Utf8ToWide(marker);
  ASSERT_TRUE(TelemetryClient::Report(kCancelledEvent));
  const std::vector<test::Request> reports = test::Requests(marker);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].body, BuildReportBody(kCancelledEvent, {GetDeviceId(), WideToUtf8(GetSystemName()),
                                                               WideToUtf8(GetPlatformVersion()), "", "12 ab/\xC3\xA9", marker}));
  // The request: bytes a text-minded transport would mangle, headers, and the
  // answer read back.
  const std::string inner = test::UniqueMarker(), body = "[{\"m\":\"" + inner + "\"}]" + std::string("\0\xff\r\n%20", 7);
  std::wstring response;
  ASSERT_TRUE(PostForm(body.data(), body.size(), L"localhost", L"", response, Port(L"COLLECTOR_PORT")));
  EXPECT_EQ(response, L"ok");
  const test::Request request = test::Requests(inner).at(0);
  EXPECT_EQ(request.method + " " + request.path + " " + request.version + " " + request.body, "POST / HTTP/1.0 " + body);
  for (const std::string& header : {std::string("User-Agent: WinInetGet/0.1\n"),
                                    std::string("\nContent-type: application/x-www-form-urlencoded\n"),
                                    "Content-Length: " + std::to_string(body.size()) + "\n"})
    EXPECT_NE(request.headers.find(header), std::string::npos) << request.headers;
  // A server error still counts as sent; its body is read.
  EXPECT_TRUE(PostForm(marker.data(), marker.size(), L"localhost", L"", response, Port(L"COLLECTOR_ERROR_PORT")));
  EXPECT_EQ(response, L"collector failure: event not stored");
  // The size bound is checked before anything is opened; at the bound the
  // body goes out whole.
  std::string large(kLargestPostBody + 1, 'x');
  large.replace(0, marker.size(), marker + "large");
  EXPECT_FALSE(PostForm(nullptr, 10, L"localhost", L"", response, Port(L"COLLECTOR_PORT")));
  EXPECT_FALSE(PostForm(large.data(), large.size(), L"localhost", L"", response, Port(L"COLLECTOR_PORT")));
  EXPECT_TRUE(PostForm(large.data(), kLargestPostBody, L"localhost", L"", response, Port(L"COLLECTOR_PORT")));
  ASSERT_EQ(test::Requests(marker + "large").size(), 1u);
  EXPECT_EQ(test::Requests(marker + "large")[0].length, kLargestPostBody);
  // Nothing answered leaves the response as it was.
  response = L"untouched";
  EXPECT_FALSE(PostForm(marker.data(), marker.size(), L"localhost", L"", response, Port(L"COLLECTOR_CLOSED_PORT")));
  EXPECT_EQ(response, L"untouched");
}

// Reports in a row, each to the collector the test build names at its
// start. Each goes out after the one before it has ended or been given up,
// at most once, with its own deadline counted from the start of its own
// exchange; the log says how each ended and after how long; and the wait
// for them all takes no more than one deadline each.
TEST(Telemetry, EachReportHasItsOwnDeadline) {
  const std::string sent = R"(sent in \d+ ms)", given_up = R"(given up at its deadline, after \d+ ms( \(2 connections\))?)",
                    failed = R"(not sent, the exchange failed after \d+ ms( \(2 connections\))?)";
  const struct {
    const char* what;
    std::vector<std::tuple<const wchar_t*, std::string, bool>> reports;  // collector, the log's word, collected
  } cases[] = {
      // Catches a report that waits for a given-up one's connection to end:
      // behind the trickled handshake, which outlives its deadline, the last
      // would be given up unsent.
      {"faults: each ends by its deadline, and the next still goes out",
       {{L"COLLECTOR_CLOSED_PORT", failed, false}, {L"COLLECTOR_SILENT_PORT", given_up, true},
        {L"COLLECTOR_WRONG_HOST_PORT", failed, false}, {L"COLLECTOR_TRICKLE_PORT", given_up, false},
        {L"COLLECTOR_PORT", sent, true}}},
      // Catches no second connection (given up), or a stalled one that may
      // still send (collected twice).
      {"a first connection that never gets its handshake: the report goes out once, on a second",
       {{L"COLLECTOR_STALL_PORT", sent + " over the second of 2 connections", true}, {L"COLLECTOR_PORT", sent, true}}},
      // Catches a deadline counted from the report's start rather than its
      // exchange's: the second would be cut 2 s into its exchange.
      {"every exchange 8 s: each has its own deadline",
       {{L"COLLECTOR_SLOW_PORT", sent + " over the first of 2 connections", true},
        {L"COLLECTOR_SLOW_PORT", sent + " over the first of 2 connections", true}}},
  };
  const std::wstring log = test::FreshFolder() + L"run.log";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SetRunLog(UniqueFileHandle(::CreateFileW(log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                             CREATE_ALWAYS, 0, nullptr)));
    GameProfile = {};
    const std::string marker = test::UniqueMarker();
    GameProfile.op_id = Utf8ToWide(marker);
    Strings collected;
    for (const auto& report : c.reports)
      if (std::wstring(std::get<0>(report)) == L"COLLECTOR_STALL_PORT") ASSERT_TRUE(test::StallNextConnection());
    const DWORD start = ::GetTickCount();
    for (size_t i = 0; i < c.reports.size(); ++i) {
      const auto& [collector, word, received] = c.reports[i];
      test::SetEnv({{L"UNINSTALL_TELEMETRY_PORT", test::Env(collector)}});
      const std::string label = "r" + std::to_string(i + 1);
      TelemetryClient::Begin({"80015", 0, label, "uninstall", "finish"});
      if (received) collected.push_back(label);
      if (std::wstring(collector) == L"COLLECTOR_SILENT_PORT") collected.push_back(label + " let go");
    }
    EXPECT_TRUE(TelemetryClient::Await());
    EXPECT_LE(::GetTickCount() - start, c.reports.size() * kExchangeDeadlineMs + 1000) << "one deadline each";
    test::SetEnv({{L"UNINSTALL_TELEMETRY_PORT", test::Env(L"COLLECTOR_PORT")}});
    SetRunLog(UniqueFileHandle());
    // In the order begun, each once; the silent collector's connection let
    // go before the next report came.
    Strings received;
    for (const test::Request& request : test::Requests(marker, /*releases=*/true)) {
      const size_t at = request.body.find("\"error\":\"") + 9;
      received.push_back(request.body.substr(at, request.body.find('"', at) - at) + (request.released ? " let go" : ""));
    }
    EXPECT_EQ(received, collected);
    const std::string text = test::Read(log);
    for (size_t i = 0; i < c.reports.size(); ++i) {
      const std::regex line("\\] report r" + std::to_string(i + 1) + ": " + std::get<1>(c.reports[i]) + "\r\n");
      EXPECT_TRUE(std::regex_search(text, line)) << "r" << i + 1 << " " << std::get<1>(c.reports[i]) << "\n" << text;
    }
  }
}

TEST(Telemetry, DeviceVersionAndSystem) {
  IP_ADAPTER_INFO adapters[4] = {};
  const UINT types[] = {IF_TYPE_IEEE80211, MIB_IF_TYPE_ETHERNET, MIB_IF_TYPE_ETHERNET, MIB_IF_TYPE_ETHERNET};
  const UINT lengths[] = {6, 8, 6, 6};
  for (int i = 0; i < 4; ++i) {
    adapters[i] = {i < 3 ? &adapters[i + 1] : nullptr};
    adapters[i].Type = types[i];
    adapters[i].AddressLength = lengths[i];
    const BYTE address[] = {static_cast<BYTE>(i * 0x11), 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x6F, 0x70};
    memcpy(adapters[i].Address, address, sizeof(address));
  }
  std::string mac = "unchanged";
  EXPECT_TRUE(FindEthernetMac(adapters, mac));  // the first Ethernet one of six bytes
  EXPECT_EQ(mac, "22:1A:2B:3C:4D:5E");
  adapters[1].Next = nullptr;
  EXPECT_FALSE(FindEthernetMac(adapters, mac = "unchanged"));
  EXPECT_EQ(mac, "unchanged");
  test::SetEnv({{L"UNINSTALL_SEAM_NO_ADAPTER", L"1"}});
  EXPECT_EQ(GetDeviceId(), "d41d8cd98f00b204e9800998ecf8427e");
  test::SetEnv({{L"UNINSTALL_SEAM_NO_ADAPTER", L""}});

  // The first source with a build number decides: INI, XML, registry.
  std::wstring folder;
  PlatformDataDirectory(folder);
  const std::wstring key = L"SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\brimlake";
  const auto utf16 = [](const std::wstring& text) {  // with its byte-order mark
    std::string bytes = "\xFF\xFE";
    for (const wchar_t c : text) bytes += {static_cast<char>(c & 0xff), static_cast<char>(c >> 8)};
    return bytes;
  };
  const struct {
    std::string ini, xml;  // "": no such file
    test::Values registry;
    const wchar_t* version;
    std::string linked_ini = "";  // the text of a file a link in place of the INI file leads to
  } sources[] = {
      {"[General]\r\nversion=3.1.2\r\nver=7\r\n", "<root><items version=\"9\" ver=\"9\"/></root>", {{L"Version", L"8"}}, L"3.1.2.7"},
      {"[General]\r\nver=7\r\n", "", {{L"DisplayVersion", L"8.8"}}, L".7"},
      {"[General]\r\nversion=3.1.2\r\nver=0\r\n", "<?xml version=\"1.0\"?><root><items version=\"3.1.2\" ver=\"0x10\"/></root>",
       {{L"Version", L"8"}}, L"3.1.2.16"},
      {"", "\xEF\xBB\xBF<root><items version=\"4.2\" ver=\" 12\"/></root>", {}, L"4.2.12"},
      {"", "", {}, L".0"},
      {"", "", {{L"DisplayVersion", L"3.1.2"}}, L"3.1.2.0"},
      {"[General]\r\nversion=1.0\r\n", "<root><items version=\"2.0\"/></root>", {{L"DisplayVersion", L"5.1"}, {L"Version", L" 42x"}}, L"5.1.42"},
      {"[General]\r\nversion=2.0\r\n", "<root><other ver=\"5\"/></root>", {}, L"2.0.0"},
      {"", "<root><items version=\"5.5\"/></root>", {}, L"5.5.0"},
      {"[General]\r\nversion=2.1\r\nver=-3\r\n", "<root><items", {}, L"2.1.-3"},
      {utf16(L"[General]\r\nversion=7.1\r\nver=3\r\n"), "", {}, L"7.1.3"},
      {"\xEF\xBB\xBF[general]\r\n  VERSION = \"3.2 beta\" \r\nVer= 8 \r\n", "", {}, L"3.2 beta.8"},
      {"[Other]\r\nversion=9.9\r\nver=9\r\n[General]\r\nversion=1.0\r\nver=4\r\nver=5\r\n[General]\r\nver=6\r\n", "", {}, L"1.0.4"},
      {"[General]\r\nversion=9.9\r\nver=9\r\n" + std::string(70000, ' '), "", {}, L".0"},
      {"", "<root><items version=\"4.4\" ver=\"4\"/></root>", {}, L"4.4.4", "[General]\r\nversion=6.6\r\nver=6\r\n"},
  };
  for (const auto& s : sources) {
    for (const wchar_t* file : {L"brimlake.ini", L"brimlake.xml"}) ::DeleteFileW((folder + file).c_str());
    test::DeleteKey(HKEY_LOCAL_MACHINE, key);
    if (!s.ini.empty()) test::Write(folder + L"brimlake.ini", s.ini);
    if (!s.xml.empty()) test::Write(folder + L"brimlake.xml", s.xml);
    if (!s.linked_ini.empty()) {
      test::Write(folder + L"decoy.ini", s.linked_ini);
      test::Link(folder + L"brimlake.ini", folder + L"decoy.ini");
    }
    if (!s.registry.empty()) test::WriteKey(HKEY_LOCAL_MACHINE, key, s.registry);
    EXPECT_EQ(WideToUtf8(GetPlatformVersion()), WideToUtf8(s.version));
    if (!s.linked_ini.empty()) test::RemoveTree(folder + L"brimlake.ini");
  }
  test::DeleteKey(HKEY_LOCAL_MACHINE, key);

  // Release and bitness.
  for (const auto& [major, minor, type, name] : std::vector<std::tuple<DWORD, DWORD, BYTE, const wchar_t*>>{
           {5, 0, VER_NT_SERVER, L"2000Server"}, {5, 0, 1, L"2000"}, {5, 1, VER_NT_SERVER, L"XP"}, {5, 2, 1, L"2003"},
           {6, 0, VER_NT_SERVER, L"2008"}, {6, 0, VER_NT_DOMAIN_CONTROLLER, L"Vista"}, {6, 1, VER_NT_SERVER, L"Win7"},
           {6, 3, 1, L"Win10"}, {5, 3, 1, L""}, {7, 0, 1, L""}, {10, 0, 1, L""}})
    EXPECT_EQ(WindowsReleaseName(VER_PLATFORM_WIN32_NT, major, minor, type), name) << major << "." << minor;
  EXPECT_EQ(WindowsReleaseName(VER_PLATFORM_WIN32_WINDOWS, 6, 1, 0), L"");
  EXPECT_EQ(SystemBitnessOf(PROCESSOR_ARCHITECTURE_AMD64) + SystemBitnessOf(PROCESSOR_ARCHITECTURE_IA64) +
                SystemBitnessOf(PROCESSOR_ARCHITECTURE_INTEL) + SystemBitnessOf(PROCESSOR_ARCHITECTURE_ARM64),
            L"64643232");
  std::printf("this system: %s\n", WideToUtf8(GetSystemName()).c_str());
  test::SetEnv({{L"UNINSTALL_SEAM_OS_MAJOR", L"6"}, {L"UNINSTALL_SEAM_OS_MINOR", L"0"}, {L"UNINSTALL_SEAM_OS_PRODUCT_TYPE", L"3"}});
  EXPECT_EQ(GetSystemName(), L"2008_" + GetSystemBitness());  // the native bitness, also from WoW64
  EXPECT_EQ(GetSystemBitness(), L"64");
}

// The four lines of a report, as a debugger attached to a program sees them.
TEST(Telemetry, DebuggerSeesFourLinesAroundTheRequest) {
  std::wstring line = L"\"" + test::ProgramFolder() + L"helper.exe\"";
  test::SetEnv({{L"HELPER", L"report"}});
  STARTUPINFOW startup = {sizeof(startup)};
  PROCESS_INFORMATION info = {};
  ASSERT_TRUE(::CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, DEBUG_ONLY_THIS_PROCESS, nullptr, nullptr,
                               &startup, &info));
  test::SetEnv({{L"HELPER", L""}});
  std::vector<std::string> strings;
  for (DEBUG_EVENT event = {}; ::WaitForDebugEvent(&event, 60000);) {
    if (event.dwDebugEventCode == CREATE_PROCESS_DEBUG_EVENT) ::CloseHandle(event.u.CreateProcessInfo.hFile);
    if (event.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT) ::CloseHandle(event.u.LoadDll.hFile);
    if (event.dwDebugEventCode == OUTPUT_DEBUG_STRING_EVENT && !event.u.DebugString.fUnicode) {
      std::string text(event.u.DebugString.nDebugStringLength, '\0');
      ::ReadProcessMemory(info.hProcess, event.u.DebugString.lpDebugStringData, &text[0], text.size(), nullptr);
      strings.push_back(text.c_str());
    }
    if (event.dwDebugEventCode == OUTPUT_DEBUG_STRING_EVENT && event.u.DebugString.fUnicode) {
      std::wstring text(event.u.DebugString.nDebugStringLength, L'\0');
      ::ReadProcessMemory(info.hProcess, event.u.DebugString.lpDebugStringData, &text[0], text.size() * 2, nullptr);
      strings.push_back(WideToUtf8(text.c_str()));
    }
    const bool exception = event.dwDebugEventCode == EXCEPTION_DEBUG_EVENT &&
                           event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT;
    ::ContinueDebugEvent(event.dwProcessId, event.dwThreadId, exception ? DBG_EXCEPTION_NOT_HANDLED : DBG_CONTINUE);
    if (event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT) break;
  }
  ::CloseHandle(info.hProcess);
  ::CloseHandle(info.hThread);
  const auto first = std::find(strings.begin(), strings.end(), "start report...\n");  // Wine may add its own
  ASSERT_LE(first + 4, strings.end());
  EXPECT_EQ(first[1], "localhost\n");
  EXPECT_EQ(first[2].substr(0, 15) + first[2].substr(first[2].size() - 3), "[{\"device_id\":\"}]\n");
  EXPECT_NE(first[2].find("\"event_type\":\"80018\""), std::string::npos);
  EXPECT_EQ(first[3], "end report...\n");
}
