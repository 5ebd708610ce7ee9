// Fault injection for the development backend: rules that make the next answers of a path fail
// with a chosen status, body or delay, or drop the connection, so that retry, refresh and timeout
// handling can be exercised against a real peer.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "util.hpp"

namespace tarn::devserver {

struct FaultRule {
  std::int64_t id = 0;
  std::string path;                   // exact path, or a prefix when it ends in "*"
  std::optional<std::string> method;  // any method when absent
  std::int64_t remaining = 1;         // answers still to be spoiled
  std::optional<int> status;          // answer with this status instead of the real one
  std::optional<std::string> body;    // body of that answer; a JSON error text when absent
  std::optional<std::string> contentType;
  std::int64_t delayMs = 0;  // wait before answering (before handling when `after` is false)
  bool close = false;        // drop the connection without an answer
  bool after = false;        // handle the request first, then spoil the answer

  bool matches(std::string_view method, std::string_view path) const;
  Json toJson() const;

  // {"path": "/me", "method": "GET", "count": 2, "status": 500, "body": "...", "content_type": ...,
  //  "delay_ms": 0, "close": false, "after": false}; throws HttpError(422) when malformed.
  static FaultRule fromJson(const Json& j);
  // "status=500;count=1;delay_ms=200;close=1;after=1;body=..." ("body" takes the rest of the
  // value, semicolons included); throws HttpError(400) when malformed.
  static FaultRule fromHeader(std::string_view value);
};

class FaultBook {
public:
  std::int64_t add(FaultRule rule);
  void clear();
  Json list() const;
  // The first rule that matches, with one answer consumed from it; rules are tried in the order
  // they were added and a used-up rule disappears.
  std::optional<FaultRule> take(std::string_view method, std::string_view path);

private:
  mutable std::mutex mutex_;
  std::vector<FaultRule> rules_;
  std::int64_t nextID_ = 1;
};

}  // namespace tarn::devserver
