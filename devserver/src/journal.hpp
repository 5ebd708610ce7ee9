// What the development backend has been asked: request counts per method and path, the statuses
// it answered, and the most recent requests with every credential replaced by "<redacted>", so
// tests can check what a client sent without the backend ever handing a secret back out.
#pragma once

#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "util.hpp"

namespace tarn::devserver {

struct JournalEntry {
  std::string method;
  std::string path;
  int status = 0;  // 0 when the connection was dropped without an answer
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
};

class Journal {
public:
  explicit Journal(std::size_t keep = 256) : keep_(keep) {}

  // Brackets the handling of one request, so that tests can see how many were served at once.
  void enter();
  void leave();
  void record(JournalEntry entry);
  void reset();
  // {"total": n, "in_flight": n, "max_in_flight": n, "requests": {"POST /auth/refresh": 1, ...},
  //  "statuses": {"POST /auth/refresh": {"200": 1}}}
  Json stats() const;
  // The kept requests, oldest first, optionally only those of one path.
  Json recent(const std::string& path) const;

  // Header values and body members that carry credentials come back as "<redacted>".
  static std::string redactHeader(const std::string& name, const std::string& value);
  static std::string redactBody(const std::string& body);

private:
  mutable std::mutex mutex_;
  std::size_t keep_;
  std::size_t total_ = 0;
  std::size_t inFlight_ = 0;
  std::size_t maxInFlight_ = 0;
  std::map<std::string, std::size_t> counts_;
  std::map<std::string, std::map<std::string, std::size_t>> statuses_;
  std::deque<JournalEntry> recent_;
};

}  // namespace tarn::devserver
