// The HTTPS POST against the harness's loopback collectors: the request as
// the collector receives it, and every fault ending in a plain result.

#include <gtest/gtest.h>

#include <string>

#include "telemetry/http_transport.h"
#include "telemetry/md5.h"
#include "tests/support/collector_records.h"

namespace {

// Each fault gives up after one connect, send or receive time-out at most,
// with room for Wine's slower start.
constexpr DWORD kFaultBoundMs = 3 * kExchangeTimeoutMs + 5000;

}  // namespace

TEST(HttpTransport, SendsTheExactRequestAndReadsTheAnswer) {
  const std::string marker = oldtest::UniqueMarker();
  // Bytes that a text-minded transport would mangle: NUL, high bytes, CR LF.
  const std::string body = "[{\"m\":\"" + marker + "\"}]" + std::string("\0\xff\r\n%20", 7);
  std::wstring response = L"untouched";

  ASSERT_TRUE(PostForm(body.data(), body.size(), L"localhost", L"", response,
                       oldtest::CollectorPort(L"COLLECTOR_PORT")));
  EXPECT_EQ(response, L"ok");

  const auto requests = oldtest::RequestsContaining(marker);
  ASSERT_EQ(requests.size(), 1u);
  const oldtest::CollectedRequest& request = requests[0];
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.path, "/");
  EXPECT_EQ(request.version, "HTTP/1.0");
  EXPECT_EQ(oldtest::HeaderValue(request, "User-Agent"), "WinInetGet/0.1");
  EXPECT_NE(request.header_text.find("\nContent-type: application/x-www-form-urlencoded\n"),
            std::string::npos)
      << request.header_text;
  EXPECT_EQ(oldtest::HeaderValue(request, "Content-Length"), std::to_string(body.size()));
  EXPECT_EQ(request.body, body);
}

TEST(HttpTransport, ServerErrorCountsAsSentAndItsBodyIsRead) {
  const std::string marker = oldtest::UniqueMarker();
  std::wstring response;
  EXPECT_TRUE(PostForm(marker.c_str(), marker.size(), L"localhost", L"", response,
                       oldtest::CollectorPort(L"COLLECTOR_ERROR_PORT")));
  EXPECT_EQ(response, L"collector failure: event not stored");
  EXPECT_EQ(oldtest::RequestsContaining(marker).size(), 1u);
}

TEST(HttpTransport, FaultsEndInFalseWithinTheTimeOut) {
  const struct {
    const char* name;
    const wchar_t* port_variable;
  } cases[] = {
      {"nothing listens", L"COLLECTOR_CLOSED_PORT"},
      {"takes the request and never answers", L"COLLECTOR_SILENT_PORT"},
      {"certificate for another host name", L"COLLECTOR_WRONG_HOST_PORT"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string marker = oldtest::UniqueMarker();
    std::wstring response = L"untouched";
    const DWORD start = ::GetTickCount();
    EXPECT_FALSE(PostForm(marker.c_str(), marker.size(), L"localhost", L"", response,
                          oldtest::CollectorPort(c.port_variable)));
    const DWORD elapsed = ::GetTickCount() - start;
    std::printf("%s: gave up after %lu ms\n", c.name, static_cast<unsigned long>(elapsed));
    EXPECT_LT(elapsed, kFaultBoundMs);
    EXPECT_EQ(response, L"untouched");
    // Only the silent collector got as far as reading the request.
    EXPECT_EQ(oldtest::RequestsContaining(marker).size(),
              std::wstring(c.port_variable) == L"COLLECTOR_SILENT_PORT" ? 1u : 0u);
  }
}

TEST(HttpTransport, BodySizeBoundIsCheckedBeforeConnecting) {
  const std::string marker = oldtest::UniqueMarker();
  std::string body(kLargestPostBody + 1, 'x');
  body.replace(0, marker.size(), marker);
  const int port = oldtest::CollectorPort(L"COLLECTOR_PORT");
  std::wstring response = L"untouched";

  EXPECT_FALSE(PostForm(nullptr, 10, L"localhost", L"", response, port));
  EXPECT_FALSE(PostForm(body.data(), body.size(), L"localhost", L"", response, port));
  EXPECT_EQ(response, L"untouched");

  // Exactly at the bound the body goes out whole.
  EXPECT_TRUE(PostForm(body.data(), kLargestPostBody, L"localhost", L"", response, port));
  EXPECT_EQ(response, L"ok");
  const std::string expected_md5 = Md5Hex(ComputeMd5(body.data(), kLargestPostBody));
  int seen_large = 0;
  for (const oldtest::CollectedRequest& request : oldtest::CollectedRequests()) {
    if (request.body_md5 == expected_md5) {
      ++seen_large;
      EXPECT_EQ(request.body_length, kLargestPostBody);
    }
  }
  EXPECT_EQ(seen_large, 1);  // the oversized one never reached the collector
}
