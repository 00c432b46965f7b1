#include "telemetry/event_report.h"

#include <json/value.h>
#include <json/writer.h>

#include "common/test_seams.h"
#include "common/deprecation.h"
#include "common/text.h"
#include "profile/game_profile.h"
#include "telemetry/device_identity.h"
#include "telemetry/report_queue.h"
#include "telemetry/version_info.h"

namespace {

constexpr wchar_t kCollectionHost[] = TELEMETRY_HOST;
constexpr int kCollectionPort = 443;

// The collector reads the compact writer's exact text; the library marks that
// writer deprecated in favour of the stream builder, whose output differs.
std::string WriteCompact(const Json::Value& value) {
UNINSTALL_ALLOW_DEPRECATED_BEGIN
  Json::FastWriter writer;
  return writer.write(value);
UNINSTALL_ALLOW_DEPRECATED_END
}

// A field as far as its first NUL.
std::string UpToNul(const std::string& text) { return text.c_str(); }

bool IsUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         c == '-' || c == '_' || c == '.' || c == '~';
}

}  // namespace

std::string PercentEncode(const std::string& text) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string encoded;
  for (const unsigned char c : text) {
    if (IsUnreserved(c)) {
      encoded += static_cast<char>(c);
    } else {
      encoded += '%';
      encoded += kDigits[c >> 4];
      encoded += kDigits[c & 0x0f];
    }
  }
  return encoded;
}

std::string BuildReportBody(const ReportEvent& event, const ReportContext& context) {
  Json::Value object(Json::objectValue);
  object["device_id"] = PercentEncode(context.device_id);
  object["os"] = PercentEncode(context.os);
  object["install_source"] = PercentEncode(context.install_source);
  object["game_id"] = PercentEncode(context.game_id);
  object["op_id"] = PercentEncode(context.op_id);
  object["platform"] = PercentEncode("VUZOR");
  object["version"] = PercentEncode(context.version);
  object["tag"] = PercentEncode("collect_desktop_frontend_data");
  const std::string event_type = UpToNul(event.event_type);
  const std::string key_module = UpToNul(event.key_module);
  const std::string key_function = UpToNul(event.key_function);
  const std::string error = UpToNul(event.error);
  if (!event_type.empty()) object["event_type"] = PercentEncode(event_type);
  if (!key_module.empty()) object["key_module"] = PercentEncode(key_module);
  if (!key_function.empty()) object["key_function"] = PercentEncode(key_function);
  object["status"] = Json::Int(event.status);
  // The one member left as it is: the writer escapes it as JSON.
  if (!error.empty()) object["error"] = error;

  Json::Value array(Json::arrayValue);
  array.append(object);
  return WriteCompact(array);
}

void TelemetryClient::Begin(const ReportEvent& event) {
  ReportContext context;
  context.device_id = GetDeviceId();
  context.version = WideToUtf8(GetPlatformVersion());
  context.os = WideToUtf8(GetSystemName());
  context.install_source = WideToUtf8(GameProfile.branch_id);
  context.game_id = WideToUtf8(GameProfile.game_id);
  context.op_id = WideToUtf8(GameProfile.op_id);
  std::string body = BuildReportBody(event, context);

  ::OutputDebugStringA("start report...\n");
  ::OutputDebugStringW((std::wstring(kCollectionHost) + L"\n").c_str());
  ::OutputDebugStringA(body.c_str());  // already ends in a line feed
  ::OutputDebugStringA("end report...\n");

  // Test build only: the port of a collector in the harness.
  const int port = static_cast<int>(TestSeamNumber(L"UNINSTALL_TELEMETRY_PORT", kCollectionPort));
  SendInOrder(std::move(body), kCollectionHost, port,
              Utf8ToWide(event.error.empty() ? event.key_function : event.error));
}

bool TelemetryClient::Await() { return AwaitQueuedReports(); }

bool TelemetryClient::Report(const ReportEvent& event) {
  Begin(event);
  (void)Await();
  return true;
}
