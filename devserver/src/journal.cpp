#include "journal.hpp"

#include <algorithm>
#include <array>
#include <string_view>

namespace tarn::devserver {

namespace {

constexpr std::array<std::string_view, 3> kSecretHeaders = {"authorization", "x-tarn-auth-session-secret",
                                                            "cookie"};
// A push token is the push service's address of the device, not a credential of this backend.
constexpr std::array<std::string_view, 7> kSecretMembers = {
    "password", "refresh_token", "access_token", "secret", "identity_token", "authorization_code",
    "signed_transaction_info"};

void redactTree(Json& j) {
  if (j.is_object()) {
    for (auto it = j.begin(); it != j.end(); ++it) {
      bool secret = false;
      for (auto name : kSecretMembers) secret = secret || it.key() == name;
      if (secret && !it.value().is_null()) it.value() = "<redacted>";
      else redactTree(it.value());
    }
  } else if (j.is_array()) {
    for (auto& v : j) redactTree(v);
  }
}

}  // namespace

std::string Journal::redactHeader(const std::string& name, const std::string& value) {
  std::string lower = lowercase(name);
  for (auto secret : kSecretHeaders) {
    if (lower != secret) continue;
    // Keep the scheme so that a test can still tell a bearer token was attached.
    if (lower == "authorization") {
      auto space = value.find(' ');
      if (space != std::string::npos) return value.substr(0, space) + " <redacted>";
    }
    return "<redacted>";
  }
  return value;
}

std::string Journal::redactBody(const std::string& body) {
  if (body.empty()) return body;
  // Keep the journal small however large the requests are.
  constexpr std::size_t kKeepAtMost = 64 * 1024;
  // Appended step by step: g++ 12 at -O3 reports a false -Wrestrict for "<" + std::to_string(n).
  if (body.size() > kKeepAtMost) return std::string("<").append(std::to_string(body.size())).append(" bytes>");
  Json j = Json::parse(body, nullptr, false);
  if (j.is_discarded()) return "<not JSON, " + std::to_string(body.size()) + " bytes>";
  redactTree(j);
  return j.dump();
}

void Journal::enter() {
  std::lock_guard lock(mutex_);
  maxInFlight_ = std::max(maxInFlight_, ++inFlight_);
}

void Journal::leave() {
  std::lock_guard lock(mutex_);
  --inFlight_;
}

void Journal::record(JournalEntry entry) {
  std::lock_guard lock(mutex_);
  std::string key = entry.method + " " + entry.path;
  ++total_;
  ++counts_[key];
  ++statuses_[key][std::to_string(entry.status)];
  recent_.push_back(std::move(entry));
  while (recent_.size() > keep_) recent_.pop_front();
}

void Journal::reset() {
  std::lock_guard lock(mutex_);
  total_ = 0;
  maxInFlight_ = inFlight_;
  counts_.clear();
  statuses_.clear();
  recent_.clear();
}

Json Journal::stats() const {
  std::lock_guard lock(mutex_);
  Json requests = Json::object();
  for (const auto& [k, n] : counts_) requests[k] = n;
  Json statuses = Json::object();
  for (const auto& [k, byStatus] : statuses_) {
    Json s = Json::object();
    for (const auto& [code, n] : byStatus) s[code] = n;
    statuses[k] = s;
  }
  return Json{{"total", total_},
              {"in_flight", inFlight_},
              {"max_in_flight", maxInFlight_},
              {"requests", requests},
              {"statuses", statuses}};
}

Json Journal::recent(const std::string& path) const {
  std::lock_guard lock(mutex_);
  Json out = Json::array();
  for (const auto& e : recent_) {
    if (!path.empty() && e.path != path) continue;
    Json headers = Json::object();
    for (const auto& [k, v] : e.headers) headers[k] = v;
    Json item{{"method", e.method}, {"path", e.path}, {"status", e.status}, {"headers", headers}};
    Json body = Json::parse(e.body, nullptr, false);
    item["body"] = e.body.empty() ? Json(nullptr) : body.is_discarded() ? Json(e.body) : body;
    out.push_back(std::move(item));
  }
  return out;
}

}  // namespace tarn::devserver
