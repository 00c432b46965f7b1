#include "telemetry/http_transport.h"

#include <wininet.h>

#include <algorithm>
#include <atomic>
#include <memory>

#include "common/system_library.h"
#include "common/text.h"
#include "common/unique_resource.h"

// Each connection of an exchange runs on a thread of its own, which alone
// uses and closes its WinInet handles, once its calls return: nobody closes
// them under it, so no handle value it may still use is handed out again,
// and the next report need not wait for it to end. The caller waits only
// until the exchange's deadline. Only the first connection to reach the send
// may make it, and only while the caller waits; any other is held there for
// good, as WinInet goes on with a send whatever its status callback does: a
// report never reaches the collector twice, nor after a later one unless its
// send had begun before it was given up.

namespace {

constexpr wchar_t kUserAgent[] = L"WinInetGet/0.1";
constexpr wchar_t kContentType[] = L"Content-type: application/x-www-form-urlencoded";
constexpr DWORD kContentTypeLength = 47;
static_assert(sizeof(kContentType) / sizeof(wchar_t) - 1 == kContentTypeLength, "header length");
constexpr DWORD kResponseBufferSize = 10240;
// A connection that has begun sending lets go of it by itself this long
// before the exchange's deadline, so that the collector sees it closed
// before the next report comes.
constexpr DWORD kLetGoBeforeDeadlineMs = 500;
constexpr int kMostConnections = 2;

// A certificate for another name is never accepted: that would let anyone on
// the path read and alter the reports.
constexpr DWORD kRequestFlags =
    INTERNET_FLAG_RELOAD | INTERNET_FLAG_SECURE | INTERNET_FLAG_KEEP_CONNECTION |
    INTERNET_FLAG_NO_AUTO_REDIRECT | INTERNET_FLAG_READ_PREFETCH | INTERNET_FLAG_NO_COOKIES |
    INTERNET_FLAG_NO_AUTH | INTERNET_FLAG_RESTRICTED_ZONE | INTERNET_FLAG_CACHE_IF_NET_FAIL |
    INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTP | INTERNET_FLAG_NO_UI;
static_assert(kRequestFlags == 0x80FF8200, "request flags");

// The close function of the loaded WinInet, for the handles' owner; the DLL
// stays loaded while any exchange holds handles.
std::atomic<decltype(&::InternetCloseHandle)> close_internet_handle{nullptr};

struct InternetHandleTraits {
  using Type = HINTERNET;
  static Type Invalid() { return nullptr; }
  static void Close(Type handle) { (void)close_internet_handle.load()(handle); }
};
using UniqueInternet = UniqueResource<InternetHandleTraits>;

// WinInet is loaded from the system folder when a report is made, never
// imported, so that a wininet.dll planted beside the program is not used.
struct WinInetApi {
  UniqueLibrary module;
  decltype(&::InternetOpenW) InternetOpenW = nullptr;
  decltype(&::InternetConnectW) InternetConnectW = nullptr;
  decltype(&::HttpOpenRequestW) HttpOpenRequestW = nullptr;
  decltype(&::HttpSendRequestW) HttpSendRequestW = nullptr;
  decltype(&::InternetReadFile) InternetReadFile = nullptr;
  decltype(&::InternetSetOptionW) InternetSetOptionW = nullptr;
  decltype(&::InternetSetStatusCallbackW) InternetSetStatusCallbackW = nullptr;

  bool Load() {
    module = LoadSystemLibrary(L"wininet.dll");
    InternetOpenW = GetLibraryFunction<decltype(InternetOpenW)>(module, "InternetOpenW");
    InternetConnectW = GetLibraryFunction<decltype(InternetConnectW)>(module, "InternetConnectW");
    HttpOpenRequestW = GetLibraryFunction<decltype(HttpOpenRequestW)>(module, "HttpOpenRequestW");
    HttpSendRequestW = GetLibraryFunction<decltype(HttpSendRequestW)>(module, "HttpSendRequestW");
    InternetReadFile = GetLibraryFunction<decltype(InternetReadFile)>(module, "InternetReadFile");
    InternetSetOptionW =
        GetLibraryFunction<decltype(InternetSetOptionW)>(module, "InternetSetOptionW");
    InternetSetStatusCallbackW = GetLibraryFunction<decltype(InternetSetStatusCallbackW)>(
        module, "InternetSetStatusCallbackW");
    const auto close =
        GetLibraryFunction<decltype(&::InternetCloseHandle)>(module, "InternetCloseHandle");
    if (close) close_internet_handle.store(close);
    return InternetOpenW && InternetConnectW && HttpOpenRequestW && HttpSendRequestW &&
           InternetReadFile && InternetSetOptionW && InternetSetStatusCallbackW && close;
  }
};

class Exchange;

// One connection's try at the exchange. Written under the exchange's lock.
struct Attempt {
  Exchange* exchange = nullptr;
  int index = 0;
  // WinInet told its progress: it tells the send too, before any byte goes.
  bool reported = false;
  bool ended = false, sent = false, answered = false;
  std::wstring answer;
};

// One exchange, shared by the caller and the threads of its connections;
// the last to let go frees it.
class Exchange {
 public:
  WinInetApi api;  // first: it outlives the handles
  std::string body;
  std::wstring host, path;
  INTERNET_PORT port = 0;

  Exchange(DWORD started, DWORD deadline_ms)
      : started_(started), deadline_ms_(deadline_ms),
        changed_(::CreateEventW(nullptr, /*manual_reset=*/FALSE, FALSE, nullptr)) {
    ::InitializeCriticalSection(&lock_);
  }
  Exchange(const Exchange&) = delete;
  Exchange& operator=(const Exchange&) = delete;
  ~Exchange() { ::DeleteCriticalSection(&lock_); }

  bool ready() const { return changed_.valid(); }

  // What is left of the deadline, less `margin`; at least 1 ms, as WinInet
  // takes 0 for no limit.
  DWORD Remaining(DWORD margin = 0) const {
    const DWORD elapsed = ::GetTickCount() - started_ + margin;
    return elapsed < deadline_ms_ ? deadline_ms_ - elapsed : 1;
  }

  // The caller's part: starts the connections and waits for the one whose
  // end is the exchange's, or for the deadline.
  PostResult Run(std::wstring& response);

  // From the connections' threads.
  void Progress(int index) {
    ::EnterCriticalSection(&lock_);
    attempts_[index].reported = true;
    ::LeaveCriticalSection(&lock_);
  }
  // Whether connection `index` may send: only the first to ask, and only
  // while the caller still waits.
  bool TakeTheSend(int index) {
    ::EnterCriticalSection(&lock_);
    attempts_[index].reported = true;
    const bool taken = sender_ < 0 && !given_up_;
    if (taken) sender_ = index;
    ::LeaveCriticalSection(&lock_);
    return taken;
  }
  // Called once the connection's handles are closed.
  void End(int index, bool sent, bool answered, std::wstring answer) {
    ::EnterCriticalSection(&lock_);
    Attempt& attempt = attempts_[index];
    attempt.ended = true;
    attempt.sent = sent;
    attempt.answered = answered;
    attempt.answer = std::move(answer);
    if (sent && sender_ < 0) sender_ = index;  // a send WinInet did not tell
    ::LeaveCriticalSection(&lock_);
    (void)::SetEvent(changed_.get());
  }

  void Release() {
    if (::InterlockedDecrement(&references_) == 0) delete this;
  }

 private:
  bool StartAttempt();

  const DWORD started_, deadline_ms_;
  CRITICAL_SECTION lock_;
  UniqueHandle changed_;  // set when a connection ends
  Attempt attempts_[kMostConnections];
  int started_attempts_ = 0;
  int sender_ = -1;        // the connection that began sending, -1 none yet
  bool given_up_ = false;  // the caller stopped waiting: nothing begins sending
  LONG references_ = 1;    // the caller's, and one per connection's thread
};

void SetTimeouts(const WinInetApi& api, HINTERNET handle, DWORD timeout_ms, bool connect) {
  for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                       INTERNET_OPTION_RECEIVE_TIMEOUT}) {
    if (option == INTERNET_OPTION_CONNECT_TIMEOUT && !connect) continue;
    DWORD value = timeout_ms;
    (void)api.InternetSetOptionW(handle, option, &value, sizeof(value));
  }
}

void CALLBACK OnStatus(HINTERNET handle, DWORD_PTR context, DWORD status, void* /*info*/,
                       DWORD /*info_length*/) {
  auto* attempt = reinterpret_cast<Attempt*>(context);
  if (attempt == nullptr) return;  // the session's own handle carries none
  Exchange& exchange = *attempt->exchange;
  if (status != INTERNET_STATUS_SENDING_REQUEST) {
    exchange.Progress(attempt->index);
    return;
  }
  if (!exchange.TakeTheSend(attempt->index)) {
    // Another connection sends the report, or it was given up: this request
    // must never leave. The thread stays here, holding the exchange, until
    // the process ends.
    for (;;) ::Sleep(INFINITE);
  }
  // The send and the answer get what is left of the deadline (under Wine
  // the handshake before this point has no limit at all).
  SetTimeouts(exchange.api, handle, exchange.Remaining(kLetGoBeforeDeadlineMs), /*connect=*/false);
}

// One connection's exchange, on its own thread: open, connect, send, read
// once. Returns whether the request was sent; the handles are closed by then.
bool PostOnce(Attempt& attempt, std::wstring& answer, bool& answered) {
  Exchange& exchange = *attempt.exchange;
  const WinInetApi& api = exchange.api;
  const DWORD_PTR context = reinterpret_cast<DWORD_PTR>(&attempt);
  const UniqueInternet internet(api.InternetOpenW(kUserAgent, INTERNET_OPEN_TYPE_DIRECT,
                                                  /*proxy=*/nullptr, /*bypass=*/nullptr,
                                                  /*flags=*/0));
  if (!internet) return false;
  // Set on the session so that the connection and request inherit them.
  SetTimeouts(api, internet.get(), exchange.Remaining(), /*connect=*/true);
  // Without its callback WinInet tells nothing, and the exchange makes no
  // second connection.
  (void)api.InternetSetStatusCallbackW(internet.get(), OnStatus);
  const UniqueInternet connection(api.InternetConnectW(
      internet.get(), exchange.host.c_str(), exchange.port, /*user=*/nullptr,
      /*password=*/nullptr, INTERNET_SERVICE_HTTP, /*flags=*/0, context));
  if (!connection) return false;
  const UniqueInternet request(api.HttpOpenRequestW(connection.get(), L"POST", exchange.path.c_str(),
                                                    L"HTTP/1.0", /*referrer=*/nullptr,
                                                    /*accept_types=*/nullptr, kRequestFlags, context));
  if (!request) return false;
  SetTimeouts(api, request.get(), exchange.Remaining(), /*connect=*/true);

  const bool sent = api.HttpSendRequestW(request.get(), kContentType, kContentTypeLength,
                                         &exchange.body[0],
                                         static_cast<DWORD>(exchange.body.size())) != FALSE;
  // Read once whatever the send did; the rest of a longer answer is left.
  char buffer[kResponseBufferSize] = {};
  DWORD read = 0;
  if (api.InternetReadFile(request.get(), buffer, kResponseBufferSize, &read) && read > 0) {
    answer = Utf8ToWide(std::string(buffer, read));
    answered = true;
  }
  return sent;
}

DWORD WINAPI RunAttempt(void* context) {
  Attempt& attempt = *static_cast<Attempt*>(context);
  std::wstring answer;
  bool answered = false;
  const bool sent = PostOnce(attempt, answer, answered);
  Exchange* exchange = attempt.exchange;
  exchange->End(attempt.index, sent, answered, std::move(answer));
  exchange->Release();
  return 0;
}

bool Exchange::StartAttempt() {
  ::EnterCriticalSection(&lock_);
  Attempt& attempt = attempts_[started_attempts_];
  attempt.exchange = this;
  attempt.index = started_attempts_++;
  ::LeaveCriticalSection(&lock_);
  ::InterlockedIncrement(&references_);
  const UniqueHandle thread(::CreateThread(nullptr, 0, RunAttempt, &attempt, 0, nullptr));
  if (thread) return true;
  (void)::InterlockedDecrement(&references_);  // the caller's reference remains
  End(attempt.index, /*sent=*/false, /*answered=*/false, std::wstring());
  return false;
}

PostResult Exchange::Run(std::wstring& response) {
  PostResult result;
  (void)StartAttempt();
  for (;;) {
    const DWORD elapsed = ::GetTickCount() - started_;
    const bool late = elapsed >= deadline_ms_;
    ::EnterCriticalSection(&lock_);
    const Attempt& last = attempts_[started_attempts_ - 1];
    bool all_ended = true;
    for (int i = 0; i < started_attempts_; ++i) all_ended = all_ended && attempts_[i].ended;
    // The exchange ends with the connection that sent, or, when none has
    // begun, with the last one once no other may follow.
    const Attempt* over = nullptr;
    if (sender_ >= 0 && attempts_[sender_].ended) over = &attempts_[sender_];
    const bool more = started_attempts_ < kMostConnections && last.reported && !late;
    if (sender_ < 0 && all_ended && !more) over = &last;
    // A second connection only while WinInet is known to tell the send.
    const bool second = sender_ < 0 && !over && more && (last.ended || elapsed >= kSecondConnectionAfterMs);
    // Until the deadline, or until a second connection may be due.
    DWORD wait = late ? 0 : deadline_ms_ - elapsed;
    if (sender_ < 0 && started_attempts_ < kMostConnections && elapsed < kSecondConnectionAfterMs)
      wait = std::min(wait, kSecondConnectionAfterMs - elapsed);
    if (over && over->sent && over->answered) response = over->answer;
    const bool sent = over && over->sent;
    if (sent) result.sender = over->index + 1;
    if (!over && late) given_up_ = true;
    ::LeaveCriticalSection(&lock_);

    if (over || late) {
      result.duration_ms = elapsed;
      result.connections = started_attempts_;
      result.end = sent ? PostResult::kSent
                        : elapsed + kLetGoBeforeDeadlineMs >= deadline_ms_ ? PostResult::kGivenUp
                                                                            : PostResult::kFailed;
      return result;
    }
    if (second) {
      (void)StartAttempt();
      continue;
    }
    (void)::WaitForSingleObject(changed_.get(), wait);
  }
}

}  // namespace

PostResult Post(const char* body, size_t length, const std::wstring& host,
                const std::wstring& path, std::wstring& response, int port, DWORD deadline_ms) {
  if (body == nullptr || length > kLargestPostBody) return PostResult();
  const DWORD start = ::GetTickCount();
  std::unique_ptr<Exchange> exchange(new Exchange(start, deadline_ms));
  if (!exchange->ready() || !exchange->api.Load()) return PostResult();
  exchange->body.assign(body, length);
  exchange->host = host;
  exchange->path = path;
  exchange->port = static_cast<INTERNET_PORT>(port);
  Exchange* shared = exchange.release();
  const PostResult result = shared->Run(response);
  shared->Release();
  return result;
}

bool PostForm(const char* body, size_t length, const std::wstring& host,
              const std::wstring& path, std::wstring& response, int port, DWORD deadline_ms) {
  return Post(body, length, host, path, response, port, deadline_ms).end == PostResult::kSent;
}
