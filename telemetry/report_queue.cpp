#include "telemetry/report_queue.h"

#include <cstring>
#include <memory>

#include "common/run_log.h"
#include "common/unique_resource.h"
#include "telemetry/http_transport.h"

namespace {

// One queued report. Its thread owns it, and the handle of the thread
// queued before it, which it waits for.
struct QueuedReport {
  std::string body;
  std::wstring host, label;
  int port = 0;
  UniqueHandle previous;
};

void Send(QueuedReport& report) {
  if (report.previous) (void)::WaitForSingleObject(report.previous.get(), INFINITE);
  report.previous.reset();
  std::wstring response;
  const char* bytes = report.body.c_str();
  const bool sent =
      PostForm(bytes, std::strlen(bytes), report.host, /*path=*/L"", response, report.port);
  LogLine(L"report %s: %s", report.label.c_str(), sent ? L"sent" : L"not sent");
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

}  // namespace

void SendInOrder(std::string body, std::wstring host, int port, std::wstring label) {
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

bool AwaitQueuedReports(DWORD wait_ms) {
  const UniqueHandle& last = LastQueued();
  return !last || ::WaitForSingleObject(last.get(), wait_ms) == WAIT_OBJECT_0;
}
