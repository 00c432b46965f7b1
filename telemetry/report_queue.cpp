#include "telemetry/report_queue.h"

#include <cstring>
#include <memory>

#include "common/run_log.h"
#include "common/text.h"
#include "common/unique_resource.h"
#include "telemetry/http_transport.h"

namespace {

// What a report's thread needs beyond its exchange's deadline: starting, and
// loading WinInet. Only a guard on the final wait, which each report's own
// deadline already ends.
constexpr DWORD kReportSlackMs = 1000;

// One queued report. Its thread owns it, and the handle of the thread
// queued before it, which it waits for.
struct QueuedReport {
  std::string body;
  std::wstring host, label;
  int port = 0;
  UniqueHandle previous;
};

// How the report's exchange ended, for the log: "sent in 215 ms", "given
// up at its deadline, after 9503 ms", "not sent, the exchange failed after
// 12 ms", with the connections when there were two.
std::wstring Outcome(const PostResult& result) {
  const bool two = result.connections > 1;
  switch (result.end) {
    case PostResult::kSent:
      return FormatWide(L"sent in %lu ms%s", result.duration_ms,
                        !two ? L"" : result.sender == 2 ? L" over the second of 2 connections"
                                                        : L" over the first of 2 connections");
    case PostResult::kGivenUp:
      return FormatWide(L"given up at its deadline, after %lu ms%s", result.duration_ms,
                        two ? L" (2 connections)" : L"");
    case PostResult::kFailed:
      break;
  }
  return FormatWide(L"not sent, the exchange failed after %lu ms%s", result.duration_ms,
                    two ? L" (2 connections)" : L"");
}

void Send(QueuedReport& report) {
  if (report.previous) (void)::WaitForSingleObject(report.previous.get(), INFINITE);
  report.previous.reset();
  std::wstring response;
  const char* bytes = report.body.c_str();
  const PostResult result =
      Post(bytes, std::strlen(bytes), report.host, /*path=*/L"", response, report.port);
  LogLine(L"report %s: %s", report.label.c_str(), Outcome(result).c_str());
}

DWORD WINAPI SendOnItsThread(void* context) {
  const std::unique_ptr<QueuedReport> report(static_cast<QueuedReport*>(context));
  Send(*report);
  return 0;
}

// The thread of the report queued last; it ends after every earlier one.
UniqueHandle& LastQueued() {
  static UniqueHandle thread;
  return thread;
}

// Reports queued so far.
DWORD& Queued() {
  static DWORD count = 0;
  return count;
}

}  // namespace

void SendInOrder(std::string body, std::wstring host, int port, std::wstring label) {
  ++Queued();
  std::unique_ptr<QueuedReport> report(new QueuedReport);
  report->body = std::move(body);
  report->host = std::move(host);
  report->label = std::move(label);
  report->port = port;
  report->previous = std::move(LastQueued());
  UniqueHandle thread(::CreateThread(nullptr, 0, SendOnItsThread, report.get(), 0, nullptr));
  if (!thread) {
    // No thread to spare: sent here, still after the earlier ones.
    Send(*report);
    return;
  }
  report.release();
  LastQueued() = std::move(thread);
}

bool AwaitQueuedReports() {
  const UniqueHandle& last = LastQueued();
  return !last || ::WaitForSingleObject(last.get(), Queued() * (kExchangeDeadlineMs + kReportSlackMs)) ==
                      WAIT_OBJECT_0;
}
