#include "faults.hpp"

#include <algorithm>
#include <charconv>

namespace tarn::devserver {

bool FaultRule::matches(std::string_view m, std::string_view p) const {
  if (method && *method != m) return false;
  if (!path.empty() && path.back() == '*')
    return p.substr(0, path.size() - 1) == std::string_view(path).substr(0, path.size() - 1);
  return p == path;
}

Json FaultRule::toJson() const {
  Json j{{"id", id}, {"path", path}, {"count", remaining}};
  if (method) j["method"] = *method;
  if (status) j["status"] = *status;
  if (body) j["body"] = *body;
  if (contentType) j["content_type"] = *contentType;
  j["delay_ms"] = delayMs;
  j["close"] = close;
  j["after"] = after;
  return j;
}

namespace {

void validate(const FaultRule& r, int errorStatus) {
  auto fail = [&](const char* why) { throw HttpError(errorStatus, std::string("Invalid fault: ") + why); };
  if (r.remaining < 1) fail("count must be at least 1");
  if (r.delayMs < 0 || r.delayMs > 120'000) fail("delay_ms must lie between 0 and 120000");
  if (r.status && (*r.status < 100 || *r.status > 599)) fail("status must lie between 100 and 599");
  if (!r.status && !r.close && r.delayMs == 0) fail("give a status, a delay or close");
  if (r.close && r.status) fail("close and status exclude each other");
}

}  // namespace

FaultRule FaultRule::fromJson(const Json& j) {
  if (!j.is_object()) throw HttpError(422, "Invalid fault: expected a JSON object");
  FaultRule r;
  r.path = requireString(j, "path");
  if (r.path.empty() || r.path.front() != '/') throw HttpError(422, "Invalid fault: path must start with /");
  r.method = optionalString(j, "method");
  r.remaining = optionalInt(j, "count").value_or(1);
  if (auto s = optionalInt(j, "status")) r.status = static_cast<int>(std::clamp<std::int64_t>(*s, -1, 1000));
  r.body = optionalString(j, "body");
  r.contentType = optionalString(j, "content_type");
  r.delayMs = optionalInt(j, "delay_ms").value_or(0);
  auto flag = [&](const char* name) {
    auto it = j.find(name);
    if (it == j.end() || it->is_null()) return false;
    if (!it->is_boolean()) throw HttpError(422, std::string("Invalid fault: ") + name + " must be a boolean");
    return it->get<bool>();
  };
  r.close = flag("close");
  r.after = flag("after");
  validate(r, 422);
  return r;
}

FaultRule FaultRule::fromHeader(std::string_view value) {
  FaultRule r;
  auto number = [](std::string_view key, std::string_view v) {
    std::int64_t n = 0;
    auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
    if (ec != std::errc() || end != v.data() + v.size())
      throw HttpError(400, "Invalid X-Tarn-Dev-Fault: " + std::string(key) + " must be an integer");
    return n;
  };
  auto boolean = [](std::string_view v) { return v == "1" || v == "true" || v == "yes"; };
  while (!value.empty()) {
    auto eq = value.find('=');
    std::string key = trim(value.substr(0, eq));
    if (eq == std::string_view::npos)
      throw HttpError(400, "Invalid X-Tarn-Dev-Fault: expected key=value items separated by ;");
    value.remove_prefix(eq + 1);
    if (key == "body") {  // the body may itself contain semicolons
      r.body = std::string(value);
      break;
    }
    auto semi = value.find(';');
    std::string v = trim(value.substr(0, semi));
    value = semi == std::string_view::npos ? std::string_view{} : value.substr(semi + 1);
    if (key == "status") r.status = static_cast<int>(std::clamp<std::int64_t>(number(key, v), -1, 1000));
    else if (key == "count") r.remaining = number(key, v);
    else if (key == "delay_ms") r.delayMs = number(key, v);
    else if (key == "close") r.close = boolean(v);
    else if (key == "after") r.after = boolean(v);
    else if (key == "content_type") r.contentType = v;
    else throw HttpError(400, "Invalid X-Tarn-Dev-Fault: unknown item " + key);
  }
  validate(r, 400);
  return r;
}

std::int64_t FaultBook::add(FaultRule rule) {
  std::lock_guard lock(mutex_);
  rule.id = nextID_++;
  rules_.push_back(std::move(rule));
  return rules_.back().id;
}

void FaultBook::clear() {
  std::lock_guard lock(mutex_);
  rules_.clear();
}

Json FaultBook::list() const {
  std::lock_guard lock(mutex_);
  Json out = Json::array();
  for (const auto& r : rules_) out.push_back(r.toJson());
  return out;
}

std::optional<FaultRule> FaultBook::take(std::string_view method, std::string_view path) {
  std::lock_guard lock(mutex_);
  for (auto it = rules_.begin(); it != rules_.end(); ++it) {
    if (!it->matches(method, path)) continue;
    FaultRule taken = *it;
    if (--it->remaining <= 0) rules_.erase(it);
    return taken;
  }
  return std::nullopt;
}

}  // namespace tarn::devserver
