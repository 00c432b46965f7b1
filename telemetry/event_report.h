#pragma once
// Telemetry events about the uninstall: one HTTPS POST of a small JSON
// document per event, whose outcome never reaches the caller.

#include <windows.h>

#include <cstdint>
#include <string>

// <windows.h> spells the event-log call ReportEventW through this macro; the
// name belongs to the telemetry event here.
#undef ReportEvent

struct ReportEvent {
  std::string event_type;    // "80018" start, "80015" end
  int32_t status = 0;        // 0, or 100 to 104
  std::string error;         // outcome word, "" for none
  std::string key_module;    // "uninstall"
  std::string key_function;  // "start" or "finish"
};

// The events of the removal stage: the start, then one of the others. The
// incomplete removal says that the user confirmed but the game is still
// there; the last two that nothing could be removed, and no question was
// asked.
inline const ReportEvent kStartEvent{"80018", 0, "", "uninstall", "start"};
inline const ReportEvent kCancelledEvent{"80015", 101, "cancelled_by_user", "uninstall", "finish"};
inline const ReportEvent kResidualProcessEvent{"80015", 100, "residual_process", "uninstall",
                                               "finish"};
inline const ReportEvent kSuccessEvent{"80015", 0, "success", "uninstall", "finish"};
inline const ReportEvent kIncompleteEvent{"80015", 102, "incomplete_removal", "uninstall",
                                          "finish"};
inline const ReportEvent kUnreadableDescriptorEvent{"80015", 103, "unreadable_descriptor",
                                                    "uninstall", "finish"};
inline const ReportEvent kRefusedEvent{"80015", 104, "removal_refused", "uninstall", "finish"};

// The machine and game values that every report carries besides the event,
// all as UTF-8.
struct ReportContext {
  std::string device_id;
  std::string os;
  std::string version;
  std::string install_source;
  std::string game_id;
  std::string op_id;
};

// RFC 3986 percent-encoding: letters, digits and "-_.~" stay, every other
// byte becomes "%" and two upper-case hexadecimal digits.
std::string PercentEncode(const std::string& text);

// The report body for `event`: a JSON array of one object with sorted keys,
// compact, ending in one line feed.
std::string BuildReportBody(const ReportEvent& event, const ReportContext& context);

class TelemetryClient {
 public:
  // Builds a report from the machine, the game profile and `event` now, and
  // posts it to the collection host on a thread of its own, after every
  // report begun before it: returns at once. Called from one thread.
  static void Begin(const ReportEvent& event);
  // Waits until every report begun has ended or reached its own deadline,
  // counted from the start of its own exchange: at most the rest of the
  // exchange under way and one deadline for each report still waiting.
  // Returns whether all have ended.
  static bool Await();
  // Begin, then Await the exchange. Returns true in every case, also when
  // the exchange fails.
  static bool Report(const ReportEvent& event);
};
