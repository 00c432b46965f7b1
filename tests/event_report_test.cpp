// Telemetry reports: the body byte for byte, and the report as the loopback
// collector receives it, whatever the collector does.

#include <gtest/gtest.h>

#include <string>

#include "common/text.h"
#include "profile/game_profile.h"
#include "telemetry/device_identity.h"
#include "telemetry/event_report.h"
#include "telemetry/http_transport.h"
#include "telemetry/version_info.h"
#include "tests/support/collector_records.h"

namespace {

constexpr DWORD kFaultBoundMs = 3 * kExchangeTimeoutMs + 5000;

ReportContext FixedContext() {
  ReportContext context;
  context.device_id = "0123456789abcdef0123456789abcdef";
  context.os = "Win10_64";
  context.version = "3.1.2.7";
  context.install_source = "";
  context.game_id = "12 ab/\xC3\xA9";
  context.op_id = "op-1";
  return context;
}

}  // namespace

TEST(EventReport, PercentEncodeKeepsOnlyTheUnreservedSet) {
  const struct {
    std::string input, encoded;
  } cases[] = {
      {"", ""},
      {"12 ab/\xC3\xA9", "12%20ab%2F%C3%A9"},
      {"AZaz09-_.~", "AZaz09-_.~"},
      {"a+b=c&d?e#f%", "a%2Bb%3Dc%26d%3Fe%23f%25"},
      {"\"\\{}", "%22%5C%7B%7D"},
      {std::string("\x01\x7f\x80\xff", 4), "%01%7F%80%FF"},
      {std::string("a\0b", 3), "a%00b"},
  };
  for (const auto& c : cases) EXPECT_EQ(PercentEncode(c.input), c.encoded) << c.input;
}

TEST(EventReport, BodyIsCompactSortedAndEndsInOneLineFeed) {
  const ReportContext context = FixedContext();
  EXPECT_EQ(BuildReportBody(kStartEvent, context),
            "[{\"device_id\":\"0123456789abcdef0123456789abcdef\",\"event_type\":\"80018\","
            "\"game_id\":\"12%20ab%2F%C3%A9\",\"install_source\":\"\",\"key_function\":\"start\","
            "\"key_module\":\"uninstall\",\"op_id\":\"op-1\",\"os\":\"Win10_64\","
            "\"platform\":\"VUZOR\",\"status\":0,\"tag\":\"collect_desktop_frontend_data\","
            "\"version\":\"3.1.2.7\"}]\n");
  EXPECT_EQ(BuildReportBody(kCancelledEvent, context),
            "[{\"device_id\":\"0123456789abcdef0123456789abcdef\","
            "\"error\":\"cancelled_by_user\",\"event_type\":\"80015\","
            "\"game_id\":\"12%20ab%2F%C3%A9\",\"install_source\":\"\",\"key_function\":\"finish\","
            "\"key_module\":\"uninstall\",\"op_id\":\"op-1\",\"os\":\"Win10_64\","
            "\"platform\":\"VUZOR\",\"status\":101,\"tag\":\"collect_desktop_frontend_data\","
            "\"version\":\"3.1.2.7\"}]\n");

  // "error" is escaped as JSON, not percent-encoded; empty event fields and
  // everything after a NUL are left out.
  ReportEvent odd;
  odd.event_type = std::string("\0junk", 5);
  odd.status = -5;
  odd.error = std::string("say \"no\" / 100%\0tail", 20);
  odd.key_module = "un install";
  EXPECT_EQ(BuildReportBody(odd, context),
            "[{\"device_id\":\"0123456789abcdef0123456789abcdef\","
            "\"error\":\"say \\\"no\\\" / 100%\","
            "\"game_id\":\"12%20ab%2F%C3%A9\",\"install_source\":\"\","
            "\"key_module\":\"un%20install\",\"op_id\":\"op-1\",\"os\":\"Win10_64\","
            "\"platform\":\"VUZOR\",\"status\":-5,\"tag\":\"collect_desktop_frontend_data\","
            "\"version\":\"3.1.2.7\"}]\n");
}

TEST(EventReport, ReportReachesTheCollectorAsOneExactRequest) {
  ResetGameProfile();
  const std::string marker = oldtest::UniqueMarker();
  GameProfile.branch_id = L"";
  GameProfile.game_id = L"12 ab/\u00e9";
  GameProfile.op_id = Utf8ToWide(marker);

  for (const ReportEvent* event : {&kStartEvent, &kResidualProcessEvent}) {
    SCOPED_TRACE(event->key_function);
    const size_t before = oldtest::RequestsContaining(marker).size();
    EXPECT_TRUE(TelemetryClient::Report(*event));
    const auto requests = oldtest::RequestsContaining(marker);
    ASSERT_EQ(requests.size(), before + 1);
    const oldtest::CollectedRequest& request = requests.back();
    EXPECT_EQ(request.port, oldtest::CollectorPort(L"COLLECTOR_PORT"));
    EXPECT_EQ(request.path, "/");  // the rest of the request: HttpTransport tests

    // The machine's values as this test reads them itself.
    ReportContext context;
    context.device_id = GetDeviceId();
    context.os = WideToUtf8(GetSystemName());
    context.version = WideToUtf8(GetPlatformVersion());
    context.game_id = "12 ab/\xC3\xA9";
    context.op_id = marker;
    EXPECT_EQ(request.body, BuildReportBody(*event, context));
    EXPECT_NE(request.body.find("\"game_id\":\"12%20ab%2F%C3%A9\",\"install_source\":\"\","),
              std::string::npos);
    // Right after the 32-digit device id when present.
    EXPECT_EQ(request.body.find("\"error\""), event->error.empty() ? std::string::npos : 49u);
  }
}

TEST(EventReport, ReportIsTrueWhateverTheCollectorDoes) {
  ResetGameProfile();
  const wchar_t* ports[] = {L"COLLECTOR_CLOSED_PORT", L"COLLECTOR_ERROR_PORT",
                            L"COLLECTOR_SILENT_PORT", L"COLLECTOR_WRONG_HOST_PORT"};
  for (const wchar_t* variable : ports) {
    SCOPED_TRACE(WideToUtf8(variable));
    const std::wstring port = std::to_wstring(oldtest::CollectorPort(variable));
    ::SetEnvironmentVariableW(L"UNINSTALL_TELEMETRY_PORT", port.c_str());
    const DWORD start = ::GetTickCount();
    EXPECT_TRUE(TelemetryClient::Report(kSuccessEvent));
    const DWORD elapsed = ::GetTickCount() - start;
    std::printf("%s: report returned after %lu ms\n", WideToUtf8(variable).c_str(),
                static_cast<unsigned long>(elapsed));
    EXPECT_LT(elapsed, kFaultBoundMs);
  }
}
