// Development-only endpoints under /dev/: what a person would see in a mailbox, in Telegram or in
// a browser, plus the controls that tests use (faults, statistics, account changes).
#include <set>

#include "backend.hpp"

namespace tarn::devserver {

namespace {

std::string escapeHTML(const std::string& s) {
  std::string out;
  for (char ch : s) {
    switch (ch) {
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '&': out += "&amp;"; break;
      case '"': out += "&quot;"; break;
      default: out += ch;
    }
  }
  return out;
}

std::string page(const std::string& title, const std::string& text) {
  return "<!doctype html><html><head><meta charset=\"utf-8\"><title>" + escapeHTML(title) +
         "</title></head><body style=\"font-family:sans-serif;margin:3em\"><h1>" + escapeHTML(title) + "</h1><p>" +
         escapeHTML(text) + "</p></body></html>\n";
}

std::string requireParam(const httplib::Request& req, const char* name) {
  if (!req.has_param(name) || req.get_param_value(name).empty())
    throw HttpError(400, std::string("Query parameter \"") + name + "\" required");
  return req.get_param_value(name);
}

}  // namespace

void Backend::devEmailCode(Call& c) {
  std::string email = lowercase(trim(requireParam(c.req, "email")));
  std::lock_guard lock(mutex_);
  auto last = latestChallenge_.find(email);
  if (last == latestChallenge_.end()) throw HttpError(404, "No code was sent to this address");
  const EmailChallenge& ch = challenges_.at(last->second);
  c.send(200, Json{{"email", email}, {"challenge_id", ch.id}, {"code", ch.code}, {"used", ch.used}});
}

void Backend::devTelegramCode(Call& c) {
  std::string id = requireParam(c.req, "session");
  std::lock_guard lock(mutex_);
  auto it = telegram_.find(id);
  if (it == telegram_.end()) throw HttpError(404, "Unknown session");
  advance(it->second);
  if (!it->second.code) throw HttpError(409, Json{{"detail", "No code issued yet"}, {"status", it->second.state}});
  c.send(200, Json{{"session_id", id}, {"status", it->second.state}, {"code", *it->second.code}});
}

void Backend::devTelegramReady(Call& c) {
  std::lock_guard lock(mutex_);
  auto it = telegram_.find(c.match(1));
  if (it == telegram_.end()) throw HttpError(404, "Unknown session");
  TelegramSession& s = it->second;
  advance(s);
  if (s.state != "pending" && s.state != "code_ready")
    throw HttpError(409, Json{{"detail", "Session already finished"}, {"status", s.state}});
  // The Telegram user who pressed "start" in the bot; the demo account's user by default.
  if (!c.req.body.empty()) {
    Json body = c.body();
    if (auto user = optionalString(body, "telegram_user_id")) s.telegramUserID = *user;
    if (auto name = optionalString(body, "telegram_username")) s.telegramUsername = *name;
  }
  if (s.state == "pending") makeReady(s);
  c.send(200, Json{{"session_id", s.id}, {"status", s.state}, {"code", *s.code}});
}

void Backend::devOAuthAuthorize(Call& c) {
  std::string id = c.req.get_param_value("session");
  std::string email = lowercase(trim(c.req.has_param("email") ? c.req.get_param_value("email") : "google.user@tarn.test"));
  std::lock_guard lock(mutex_);
  auto it = oauth_.find(id);
  if (it == oauth_.end()) return c.sendHTML(404, page("Unknown sign-in", "This sign-in link is not valid."));
  OAuthSession& s = it->second;
  if (s.state == "pending" && SteadyClock::now() >= s.expires) s.state = "expired";
  if (s.state == "expired") return c.sendHTML(410, page("Link expired", "Start the sign-in again from the app."));
  if (s.state != "pending") return c.sendHTML(409, page("Already signed in", "This sign-in was already confirmed."));
  Account* a = findByEmail(email);
  if (!a) {
    if (email.find('@') == std::string::npos) return c.sendHTML(400, page("Invalid account", "Give a valid email."));
    a = &newAccount(email);
    a->name = "Google User";
  }
  s.state = "confirmed";
  s.accountID = a->id;
  c.sendHTML(200, page("Signed in", "Signed in as " + email + ". You can return to the app."));
}

void Backend::devCheckoutConfirm(Call& c) {
  std::int64_t id = 0;
  try {
    id = std::stoll(c.req.get_param_value("payment"));
  } catch (const std::exception&) {
    return c.sendHTML(400, page("Unknown payment", "This payment link is not valid."));
  }
  std::lock_guard lock(mutex_);
  auto it = payments_.find(id);
  if (it == payments_.end()) return c.sendHTML(404, page("Unknown payment", "This payment link is not valid."));
  Payment& p = it->second;
  if (p.status != "pending") return c.sendHTML(409, page("Already paid", "This payment was already confirmed."));
  auto account = accounts_.find(p.accountID);
  if (account == accounts_.end()) return c.sendHTML(410, page("Account removed", "The account no longer exists."));
  Account& a = account->second;
  auto now = SystemClock::now();
  auto from = a.expiresAt && *a.expiresAt > now ? *a.expiresAt : now;
  a.expiresAt = from + p.days * std::chrono::hours(24);
  a.plan = p.days >= 365 ? "yearly" : "monthly";
  a.subscriptionStatus = "active";
  a.vpnAccessStatus = "enabled";
  a.subscriptionSource = "crm";
  a.subscriptionID = "pay_" + std::to_string(p.id);
  a.deviceLimit = p.deviceLimit;
  p.status = "succeeded";
  c.sendHTML(200, page("Payment received", std::to_string(p.amount) + " RUB paid. You can return to the app."));
}

void Backend::devFaultAdd(Call& c) {
  Json body = Json::parse(c.req.body, nullptr, false);
  if (body.is_discarded()) throw HttpError(400, "Request body is not valid JSON");
  Json ids = Json::array();
  // One rule or a list of rules.
  std::vector<FaultRule> rules;
  if (body.is_array()) {
    for (const auto& item : body) rules.push_back(FaultRule::fromJson(item));
  } else {
    rules.push_back(FaultRule::fromJson(body));
  }
  for (auto& r : rules) ids.push_back(faults_.add(std::move(r)));
  c.send(201, Json{{"ids", ids}, {"faults", faults_.list()}});
}

void Backend::devFaultList(Call& c) { c.send(200, faults_.list()); }

void Backend::devFaultClear(Call& c) {
  faults_.clear();
  c.sendEmpty(204);
}

void Backend::devStats(Call& c) { c.send(200, journal_.stats()); }

void Backend::devStatsReset(Call& c) {
  journal_.reset();
  c.sendEmpty(204);
}

void Backend::devRequests(Call& c) { c.send(200, journal_.recent(c.req.get_param_value("path"))); }

void Backend::devEvents(Call& c) {
  std::lock_guard lock(mutex_);
  Json list = Json::array();
  for (const auto& e : events_) list.push_back(e);
  c.send(200, list);
}

void Backend::devPushTokens(Call& c) {
  std::lock_guard lock(mutex_);
  Json list = Json::array();
  for (const auto& [token, entry] : pushTokens_) list.push_back(entry);
  c.send(200, list);
}

void Backend::devRelease(Call& c) {
  Json body = c.body();
  requireString(body, "version");
  requireInt(body, "build");
  requireString(body, "minimum_supported_version");
  requireString(body, "install_url");
  optionalString(body, "release_notes");
  optionalString(body, "published_at");
  std::lock_guard lock(mutex_);
  // Stored as given, so a test can also publish a record the client must refuse.
  release_ = body;
  c.send(200, release_);
}

void Backend::devAccount(Call& c) {
  Json body = c.body();
  std::string email = requireString(body, "email");
  auto status = optionalString(body, "subscription_status");
  auto access = optionalString(body, "vpn_access_status");
  auto limit = optionalInt(body, "device_limit");
  auto expires = optionalTime(body, "expires_at");
  static const std::set<std::string> statuses = {"active", "expired", "cancelled", "blocked", "none"};
  if (status && !statuses.contains(*status)) throw HttpError(422, "Unknown subscription_status");
  if (access && *access != "enabled" && *access != "disabled") throw HttpError(422, "Unknown vpn_access_status");
  if (limit && *limit < 0) throw HttpError(422, "device_limit must not be negative");
  std::lock_guard lock(mutex_);
  Account* a = findByEmail(email);
  if (!a) throw HttpError(404, "Unknown account");
  if (status) a->subscriptionStatus = *status;
  if (access) a->vpnAccessStatus = *access;
  if (limit) a->deviceLimit = *limit;
  if (expires) a->expiresAt = *expires;
  c.send(200, userJson(*a));
}

void Backend::devExpireTokens(Call& c) {
  Json body = c.req.body.empty() ? Json::object() : c.body();
  auto email = optionalString(body, "email");
  std::lock_guard lock(mutex_);
  std::optional<std::string> accountID;
  if (email) {
    Account* a = findByEmail(*email);
    if (!a) throw HttpError(404, "Unknown account");
    accountID = a->id;
  }
  std::int64_t count = 0;
  auto past = SteadyClock::now() - std::chrono::seconds(1);
  for (auto& [token, grant] : access_) {
    if (accountID && grant.accountID != *accountID) continue;
    grant.expires = past;
    ++count;
  }
  c.send(200, Json{{"expired", count}});
}

}  // namespace tarn::devserver
