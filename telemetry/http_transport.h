#pragma once
// The one network call of the program: an HTTPS POST of a ready body.

#include <windows.h>

#include <cstddef>
#include <string>

// Bodies above this are refused before anything is opened.
constexpr size_t kLargestPostBody = 10485760;  // 10 MiB

// Each exchange (connect, handshake, send and answer together) is given up
// this long after it starts, however the peer trickles, so that no collector
// can hold the uninstall.
constexpr DWORD kExchangeDeadlineMs = 10000;

// An exchange whose connection has not begun sending this long after it
// started (a captive portal or a proxy that swallows a connection) goes out
// on a second connection, within the same deadline.
constexpr DWORD kSecondConnectionAfterMs = 3000;

// How one exchange ended.
struct PostResult {
  enum End {
    kSent,     // the request went out and an answer came, whatever its status
    kFailed,   // it ended before its deadline without an answer
    kGivenUp,  // its deadline came first
  };
  End end = kFailed;
  DWORD duration_ms = 0;  // from its start to its end
  int connections = 0;    // opened: two when the first stalled or failed before sending
  int sender = 0;         // the one that sent, 1 or 2; 0 none
};

// Posts `length` bytes of `body` over TLS to `host`:`port` (`path` "" is the
// root), as HTTP/1.0 with a form-urlencoded content type. Reads the answer
// once, up to 10,240 bytes, into `response` (unchanged when nothing came).
// Failed, opening nothing, for a null body or one above 10 MiB.
// Returns within `deadline_ms` of its call. The request goes out at most
// once: a connection that has not begun sending when the exchange is given
// up, or when another connection has begun, never sends it.
PostResult Post(const char* body, size_t length, const std::wstring& host,
                const std::wstring& path, std::wstring& response, int port,
                DWORD deadline_ms = kExchangeDeadlineMs);

// Post, and whether it was sent.
bool PostForm(const char* body, size_t length, const std::wstring& host,
              const std::wstring& path, std::wstring& response, int port,
              DWORD deadline_ms = kExchangeDeadlineMs);
