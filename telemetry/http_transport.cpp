#include "telemetry/http_transport.h"

#include <wininet.h>

#include <memory>

#include "common/system_library.h"
#include "common/text.h"
#include "common/unique_resource.h"

namespace {

constexpr wchar_t kUserAgent[] = L"WinInetGet/0.1";
constexpr wchar_t kContentType[] = L"Content-type: application/x-www-form-urlencoded";
constexpr DWORD kContentTypeLength = 47;
static_assert(sizeof(kContentType) / sizeof(wchar_t) - 1 == kContentTypeLength, "header length");
constexpr DWORD kResponseBufferSize = 10240;

// A certificate for another name is never accepted: that would let anyone on
// the path read and alter the reports.
constexpr DWORD kRequestFlags =
    INTERNET_FLAG_RELOAD | INTERNET_FLAG_SECURE | INTERNET_FLAG_KEEP_CONNECTION |
    INTERNET_FLAG_NO_AUTO_REDIRECT | INTERNET_FLAG_READ_PREFETCH | INTERNET_FLAG_NO_COOKIES |
    INTERNET_FLAG_NO_AUTH | INTERNET_FLAG_RESTRICTED_ZONE | INTERNET_FLAG_CACHE_IF_NET_FAIL |
    INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTP | INTERNET_FLAG_NO_UI;
static_assert(kRequestFlags == 0x80FF8200, "request flags");

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
  decltype(&::InternetCloseHandle) InternetCloseHandle = nullptr;

  bool Load() {
    module = LoadSystemLibrary(L"wininet.dll");
    InternetOpenW = GetLibraryFunction<decltype(InternetOpenW)>(module, "InternetOpenW");
    InternetConnectW = GetLibraryFunction<decltype(InternetConnectW)>(module, "InternetConnectW");
    HttpOpenRequestW = GetLibraryFunction<decltype(HttpOpenRequestW)>(module, "HttpOpenRequestW");
    HttpSendRequestW = GetLibraryFunction<decltype(HttpSendRequestW)>(module, "HttpSendRequestW");
    InternetReadFile = GetLibraryFunction<decltype(InternetReadFile)>(module, "InternetReadFile");
    InternetSetOptionW =
        GetLibraryFunction<decltype(InternetSetOptionW)>(module, "InternetSetOptionW");
    InternetCloseHandle =
        GetLibraryFunction<decltype(InternetCloseHandle)>(module, "InternetCloseHandle");
    return InternetOpenW && InternetConnectW && HttpOpenRequestW && HttpSendRequestW &&
           InternetReadFile && InternetSetOptionW && InternetCloseHandle;
  }
};

// One exchange, shared by the caller and the thread that runs it. The thread
// works only on what is in here (copies of the request, the loaded WinInet),
// and whichever of the two lets go last frees it: a thread given up on finds
// nothing freed under it.
class Exchange {
 public:
  enum Slot { kSession, kConnection, kRequest };

  WinInetApi api;  // first: it outlives the handles
  std::string body;
  std::wstring host, path;
  INTERNET_PORT port = 0;
  DWORD timeout_ms = 0;
  // Written by the thread; read by the caller only once the thread has ended.
  bool sent = false, answered = false;
  std::wstring answer;

  Exchange() { ::InitializeCriticalSection(&lock_); }
  Exchange(const Exchange&) = delete;
  Exchange& operator=(const Exchange&) = delete;
  ~Exchange() {
    Close();
    ::DeleteCriticalSection(&lock_);
  }

  // Keeps `handle` in `slot`, to be closed with the exchange. False, with
  // the handle closed, when there is none or the caller has given up.
  bool Keep(Slot slot, HINTERNET handle) {
    ::EnterCriticalSection(&lock_);
    const bool kept = handle != nullptr && !abandoned_;
    if (kept) handles_[slot] = handle;
    ::LeaveCriticalSection(&lock_);
    if (!kept && handle != nullptr) (void)api.InternetCloseHandle(handle);
    return kept;
  }

  // Whether the caller still waits for the exchange.
  bool Wanted() {
    ::EnterCriticalSection(&lock_);
    const bool wanted = !abandoned_;
    ::LeaveCriticalSection(&lock_);
    return wanted;
  }

  // The caller gives up: closes the handles, which ends a wait on them where
  // the system allows; the thread asks nothing more of them.
  void Abandon() {
    ::EnterCriticalSection(&lock_);
    abandoned_ = true;
    ::LeaveCriticalSection(&lock_);
    Close();
  }

  // Lets go of the exchange; the last one to do so frees it.
  void Release() {
    if (::InterlockedDecrement(&references_) == 0) delete this;
  }

 private:
  // The request, then the connection, then the session.
  void Close() {
    ::EnterCriticalSection(&lock_);
    for (int slot = kRequest; slot >= kSession; --slot) {
      if (handles_[slot] != nullptr) (void)api.InternetCloseHandle(handles_[slot]);
      handles_[slot] = nullptr;
    }
    ::LeaveCriticalSection(&lock_);
  }

  CRITICAL_SECTION lock_;
  bool abandoned_ = false;
  HINTERNET handles_[3] = {};
  LONG references_ = 2;  // the caller and the thread
};

void SetTimeouts(const WinInetApi& api, HINTERNET handle, DWORD timeout_ms) {
  for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                       INTERNET_OPTION_RECEIVE_TIMEOUT}) {
    DWORD value = timeout_ms;
    (void)api.InternetSetOptionW(handle, option, &value, sizeof(value));
  }
}

// The exchange itself, on its own thread: open, connect, send, read once.
void Post(Exchange& exchange) {
  const WinInetApi& api = exchange.api;
  const HINTERNET internet = api.InternetOpenW(kUserAgent, INTERNET_OPEN_TYPE_DIRECT,
                                               /*proxy=*/nullptr, /*bypass=*/nullptr, /*flags=*/0);
  if (!exchange.Keep(Exchange::kSession, internet)) return;
  // Set on the session so that the connection and request inherit them.
  SetTimeouts(api, internet, exchange.timeout_ms);
  const HINTERNET connection = api.InternetConnectW(
      internet, exchange.host.c_str(), exchange.port, /*user=*/nullptr, /*password=*/nullptr,
      INTERNET_SERVICE_HTTP, /*flags=*/0, /*context=*/0);
  if (!exchange.Keep(Exchange::kConnection, connection)) return;
  const HINTERNET request =
      api.HttpOpenRequestW(connection, L"POST", exchange.path.c_str(), L"HTTP/1.0",
                           /*referrer=*/nullptr, /*accept_types=*/nullptr, kRequestFlags,
                           /*context=*/0);
  if (!exchange.Keep(Exchange::kRequest, request)) return;
  SetTimeouts(api, request, exchange.timeout_ms);

  exchange.sent = api.HttpSendRequestW(request, kContentType, kContentTypeLength,
                                       &exchange.body[0],
                                       static_cast<DWORD>(exchange.body.size())) != FALSE;
  if (!exchange.Wanted()) return;
  // Read once whatever the send did; the rest of a longer answer is left.
  char buffer[kResponseBufferSize] = {};
  DWORD read = 0;
  if (api.InternetReadFile(request, buffer, kResponseBufferSize, &read) && read > 0) {
    exchange.answer = Utf8ToWide(std::string(buffer, read));
    exchange.answered = true;
  }
}

DWORD WINAPI RunExchange(void* context) {
  Exchange* exchange = static_cast<Exchange*>(context);
  Post(*exchange);
  exchange->Release();
  return 0;
}

// The thread of the last exchange given up on, until it has ended. No new
// exchange starts before then, so that no handle value it may still use is
// handed out again.
UniqueHandle& AbandonedThread() {
  static UniqueHandle thread;
  return thread;
}

// Waits up to `wait_ms` for an abandoned exchange to end; whether none is left.
bool NoAbandonedExchange(DWORD wait_ms) {
  UniqueHandle& thread = AbandonedThread();
  if (thread && ::WaitForSingleObject(thread.get(), wait_ms) != WAIT_OBJECT_0) return false;
  thread.reset();
  return true;
}

}  // namespace

bool PostForm(const char* body, size_t length, const std::wstring& host,
              const std::wstring& path, std::wstring& response, int port, DWORD deadline_ms) {
  if (body == nullptr || length > kLargestPostBody) return false;
  const DWORD start = ::GetTickCount();
  if (!NoAbandonedExchange(deadline_ms)) return false;

  std::unique_ptr<Exchange> exchange(new Exchange);
  if (!exchange->api.Load()) return false;
  exchange->body.assign(body, length);
  exchange->host = host;
  exchange->path = path;
  exchange->port = static_cast<INTERNET_PORT>(port);
  exchange->timeout_ms = deadline_ms;
  UniqueHandle thread(::CreateThread(nullptr, 0, RunExchange, exchange.get(), 0, nullptr));
  if (!thread) return false;
  Exchange* shared = exchange.release();

  const DWORD elapsed = ::GetTickCount() - start;
  const bool ended = ::WaitForSingleObject(thread.get(), elapsed < deadline_ms
                                                             ? deadline_ms - elapsed
                                                             : 0) == WAIT_OBJECT_0;
  if (ended && shared->answered) response = shared->answer;
  const bool sent = ended && shared->sent;
  if (!ended) {
    shared->Abandon();
    AbandonedThread() = std::move(thread);
  }
  shared->Release();
  return sent;
}
