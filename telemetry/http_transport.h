#pragma once
// The one network call of the program: an HTTPS POST of a ready body.

#include <windows.h>

#include <cstddef>
#include <string>

// Bodies above this are refused before anything is opened.
constexpr size_t kLargestPostBody = 10485760;  // 10 MiB

// The whole exchange (connect, handshake, send and answer together) is given
// up after this long, however the peer trickles, so that no collector can
// hold the uninstall.
constexpr DWORD kExchangeDeadlineMs = 10000;

// Posts `length` bytes of `body` over TLS to `host`:`port` (`path` "" is the
// root), as HTTP/1.0 with a form-urlencoded content type. Reads the answer
// once, up to 10,240 bytes, into `response` (unchanged when nothing came).
// Returns whether the request was sent; the HTTP status is not looked at.
// False without opening anything for a null body or one above 10 MiB.
// Returns within `deadline_ms`: an exchange not over by then is abandoned
// (false, `response` unchanged), and so is one that cannot start before it
// because an abandoned one has not yet ended.
bool PostForm(const char* body, size_t length, const std::wstring& host,
              const std::wstring& path, std::wstring& response, int port,
              DWORD deadline_ms = kExchangeDeadlineMs);
