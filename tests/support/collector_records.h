#pragma once
// What the harness's loopback collectors saw (tests/harness/collector.py).

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace oldtest {

struct CollectedRequest {
  int port = 0;
  std::string method;
  std::string path;
  std::string version;
  std::string header_text;  // the header lines as they arrived
  std::vector<std::pair<std::string, std::string>> headers;
  size_t body_length = 0;
  std::string body_md5;  // lower-case hex
  std::string body;      // only for bodies up to 64 KiB
  bool has_body = false;
};

// Every request recorded so far in this run (COLLECTOR_RECORDS).
std::vector<CollectedRequest> CollectedRequests();

// The recorded requests whose body holds `marker`.
std::vector<CollectedRequest> RequestsContaining(const std::string& marker);

// The first value of header `name` (case-insensitive), "" when absent.
std::string HeaderValue(const CollectedRequest& request, const std::string& name);

// The port in environment variable `name` (COLLECTOR_PORT and the like);
// fails the test when it is not set.
int CollectorPort(const wchar_t* name);

// A text that no other request of the run holds.
std::string UniqueMarker();

}  // namespace oldtest
