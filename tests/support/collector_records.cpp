#include "tests/support/collector_records.h"

#include <gtest/gtest.h>

#include <json/reader.h>
#include <json/value.h>

#include <cstdlib>
#include <memory>

#include "common/text.h"
#include "tests/support/test_support.h"

namespace oldtest {
namespace {

std::string FromHex(const std::string& hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes += static_cast<char>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16));
  }
  return bytes;
}

CollectedRequest FromJson(const Json::Value& entry) {
  CollectedRequest request;
  request.port = entry["port"].asInt();
  request.method = entry["method"].asString();
  request.path = entry["path"].asString();
  request.version = entry["version"].asString();
  request.header_text = entry["header_text"].asString();
  for (const Json::Value& header : entry["headers"]) {
    request.headers.emplace_back(header[0].asString(), header[1].asString());
  }
  request.body_length = entry["body_length"].asUInt();
  request.body_md5 = entry["body_md5"].asString();
  request.has_body = entry.isMember("body_hex");
  request.body = FromHex(entry["body_hex"].asString());
  return request;
}

}  // namespace

std::vector<CollectedRequest> CollectedRequests() {
  const std::wstring path = Env(L"COLLECTOR_RECORDS");
  EXPECT_FALSE(path.empty()) << "COLLECTOR_RECORDS is not set (is the harness running?)";
  const std::string text = ReadFileBytes(path);
  std::vector<CollectedRequest> requests;
  Json::CharReaderBuilder builder;
  const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) break;  // a line still being written
    Json::Value entry;
    std::string errors;
    if (reader->parse(text.data() + start, text.data() + end, &entry, &errors)) {
      requests.push_back(FromJson(entry));
    }
    start = end + 1;
  }
  return requests;
}

std::vector<CollectedRequest> RequestsContaining(const std::string& marker) {
  std::vector<CollectedRequest> found;
  for (CollectedRequest& request : CollectedRequests()) {
    if (request.body.find(marker) != std::string::npos) found.push_back(std::move(request));
  }
  return found;
}

std::string HeaderValue(const CollectedRequest& request, const std::string& name) {
  for (const auto& header : request.headers) {
    if (::lstrcmpiA(header.first.c_str(), name.c_str()) == 0) return header.second;
  }
  return {};
}

int CollectorPort(const wchar_t* name) {
  const std::wstring value = Env(name);
  EXPECT_FALSE(value.empty()) << WideToUtf8(name) << " is not set (is the harness running?)";
  return static_cast<int>(std::wcstol(value.c_str(), nullptr, 10));
}

std::string UniqueMarker() {
  static int counter = 0;
  LARGE_INTEGER now;
  ::QueryPerformanceCounter(&now);
  return "marker" + std::to_string(::GetCurrentProcessId()) + "x" +
         std::to_string(now.QuadPart) + "x" + std::to_string(++counter);
}

}  // namespace oldtest
