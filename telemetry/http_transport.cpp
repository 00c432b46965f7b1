#include "telemetry/http_transport.h"

#include <wininet.h>

#include "common/system_library.h"
#include "common/text.h"

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

// Owns one HINTERNET; closes it through the loaded InternetCloseHandle, which
// therefore must outlive it (the API table is declared before every handle).
class InternetHandle {
 public:
  InternetHandle(HINTERNET handle, decltype(&::InternetCloseHandle) close)
      : handle_(handle), close_(close) {}
  InternetHandle(const InternetHandle&) = delete;
  InternetHandle& operator=(const InternetHandle&) = delete;
  ~InternetHandle() {
    if (handle_ != nullptr) (void)close_(handle_);
  }
  HINTERNET get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

 private:
  HINTERNET handle_;
  decltype(&::InternetCloseHandle) close_;
};

void SetTimeouts(const WinInetApi& api, HINTERNET handle, DWORD timeout_ms) {
  for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                       INTERNET_OPTION_RECEIVE_TIMEOUT}) {
    DWORD value = timeout_ms;
    (void)api.InternetSetOptionW(handle, option, &value, sizeof(value));
  }
}

}  // namespace

bool PostForm(const char* body, size_t length, const std::wstring& host,
              const std::wstring& path, std::wstring& response, int port, DWORD timeout_ms) {
  if (body == nullptr || length > kLargestPostBody) return false;

  WinInetApi api;
  if (!api.Load()) return false;

  InternetHandle internet(api.InternetOpenW(kUserAgent, INTERNET_OPEN_TYPE_DIRECT,
                                            /*proxy=*/nullptr, /*bypass=*/nullptr, /*flags=*/0),
                          api.InternetCloseHandle);
  if (!internet) return false;
  // Set on the session so that the connection and request inherit them.
  SetTimeouts(api, internet.get(), timeout_ms);

  InternetHandle connection(
      api.InternetConnectW(internet.get(), host.c_str(), static_cast<INTERNET_PORT>(port),
                           /*user=*/nullptr, /*password=*/nullptr, INTERNET_SERVICE_HTTP,
                           /*flags=*/0, /*context=*/0),
      api.InternetCloseHandle);
  if (!connection) return false;

  InternetHandle request(
      api.HttpOpenRequestW(connection.get(), L"POST", path.c_str(), L"HTTP/1.0",
                           /*referrer=*/nullptr, /*accept_types=*/nullptr, kRequestFlags,
                           /*context=*/0),
      api.InternetCloseHandle);
  if (!request) return false;
  SetTimeouts(api, request.get(), timeout_ms);

  const bool sent =
      api.HttpSendRequestW(request.get(), kContentType, kContentTypeLength,
                           const_cast<char*>(body), static_cast<DWORD>(length)) != FALSE;

  // Read once whatever the send did; the rest of a longer answer is left.
  char buffer[kResponseBufferSize] = {};
  DWORD read = 0;
  if (api.InternetReadFile(request.get(), buffer, kResponseBufferSize, &read) && read > 0) {
    response = Utf8ToWide(std::string(buffer, read).c_str());
  }
  return sent;
}
