#include "backend.hpp"

#include <tarn/platform/digest.hpp>

#include <dirent.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace tarn::devserver {

void Console::request(const std::string& line) {
  if (quiet_) return;
  std::lock_guard lock(mutex_);
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
}

void Console::notice(const std::string& line) {
  std::lock_guard lock(mutex_);
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
}

namespace {

// The kernel's inode of the established TCP connection between the two ports, from the socket
// tables in /proc/net.
std::optional<std::string> connectionInode(int localPort, int remotePort) {
  auto port = [](const std::string& address) {
    auto colon = address.rfind(':');
    return colon == std::string::npos ? -1 : static_cast<int>(std::strtol(address.c_str() + colon + 1, nullptr, 16));
  };
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);  // column titles
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
      fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
      if (state == "01" && port(local) == localPort && port(remote) == remotePort) return inode;  // 01: established
    }
  }
  return std::nullopt;
}

// httplib gives handlers no access to their socket. A dropped connection is what the fault asks
// for, so find the socket through its inode (by name only: touching other threads' descriptors
// would race with their closing) and shut it down. The answer httplib then writes goes nowhere and
// the client sees the connection close without a response.
bool dropConnection(const httplib::Request& req) {
  auto inode = connectionInode(req.local_port, req.remote_port);
  if (!inode) return false;
  const std::string target = "socket:[" + *inode + "]";
  DIR* dir = ::opendir("/proc/self/fd");
  if (!dir) return false;
  int found = -1;
  while (dirent* entry = ::readdir(dir)) {
    std::string link = std::string("/proc/self/fd/") + entry->d_name;
    char buf[64];
    ssize_t n = ::readlink(link.c_str(), buf, sizeof buf);
    if (n > 0 && std::string_view(buf, static_cast<std::size_t>(n)) == target) {
      found = std::atoi(entry->d_name);
      break;
    }
  }
  ::closedir(dir);
  // The descriptor is this thread's own connection, which stays open until the handler returns.
  return found >= 0 && ::shutdown(found, SHUT_RDWR) == 0;
}

// Set while one of our handlers answers, so that httplib's error hook leaves those answers alone
// and only dresses up the ones httplib produces itself.
thread_local bool tlHandled = false;

void applyFaultAnswer(httplib::Response& res, const FaultRule& rule) {
  res.status = *rule.status;
  res.headers.clear();
  std::string body = rule.body.value_or(Json{{"detail", "Injected fault"}}.dump());
  std::string type = rule.contentType.value_or(
      Json::accept(body) ? "application/json" : "text/plain; charset=utf-8");
  res.set_content(body, type.c_str());
}

std::string statusText(int status) {
  switch (status) {
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 413: return "Payload Too Large";
    case 414: return "URI Too Long";
    case 416: return "Range Not Satisfiable";
    case 417: return "Expectation Failed";
    default: return "HTTP error " + std::to_string(status);
  }
}

std::string formatMs(SteadyClock::duration d) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1fms", std::chrono::duration<double, std::milli>(d).count());
  return buf;
}

}  // namespace

Json Backend::Call::body() const {
  if (req.body.empty()) throw HttpError(400, "Request body required");
  Json j = Json::parse(req.body, nullptr, false);
  if (j.is_discarded()) throw HttpError(400, "Request body is not valid JSON");
  if (!j.is_object()) throw HttpError(422, "Request body must be a JSON object");
  return j;
}

void Backend::Call::send(int status, const Json& j) {
  res.status = status;
  res.set_content(j.dump(), "application/json");
}

namespace {

// FNV-1a of the body: the same answer always has the same tag, across restarts too.
std::string entityTag(const std::string& body) {
  return "\"" + tarn::digest::hexValue(tarn::digest::fnv1a(body)) + "\"";
}

// If-None-Match compares weakly (RFC 9110 13.1.2): "W/" is ignored, "*" matches any tag.
bool noneMatchHits(const std::string& header, const std::string& tag) {
  std::size_t start = 0;
  while (start <= header.size()) {
    std::size_t comma = header.find(',', start);
    std::string item = trim(header.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (item.rfind("W/", 0) == 0) item.erase(0, 2);
    if (item == "*" || item == tag) return true;
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return false;
}

}  // namespace

void Backend::Call::sendCacheable(const Json& j, const std::string& cacheControl) {
  std::string body = j.dump();
  const std::string tag = entityTag(body);
  res.set_header("ETag", tag);
  res.set_header("Cache-Control", cacheControl);
  if (req.has_header("If-None-Match") && noneMatchHits(req.get_header_value("If-None-Match"), tag)) {
    res.status = 304;
    return;
  }
  res.status = 200;
  res.set_content(std::move(body), "application/json");
}

void Backend::Call::sendEmpty(int status) {
  res.status = status;
  res.body.clear();
}

void Backend::Call::sendHTML(int status, const std::string& html) {
  res.status = status;
  res.set_content(html, "text/html; charset=utf-8");
}

Backend::Backend(Options options, Console& console)
    : options_(std::move(options)), console_(console), servers_(makeServers(options_.serverCount, options_.seed)) {
  seed();
  if (options_.vlessEndpoint) {
    vless_ = std::make_unique<VlessEndpoint>();
    // Every server is the one local endpoint: profiles for any of them connect.
    for (auto& s : servers_) {
      s.host = "127.0.0.1";
      s.port = vless_->port();
      s.localEndpoint = true;
    }
    syncVlessEndpoint();
    console_.notice("[dev] VLESS endpoint (v2ray) on 127.0.0.1:" + std::to_string(vless_->port()));
  }
}

void Backend::syncVlessEndpoint() {
  if (!vless_) return;
  std::set<std::string> ids;
  for (const auto& [id, account] : accounts_)
    for (const auto& d : account.devices)
      if (d.profileIssued) ids.insert(d.vlessUUID);
  try {
    vless_->setClients(ids);
  } catch (const std::exception& e) {
    console_.notice(std::string("[dev] ") + e.what());
  }
}

void Backend::route(httplib::Server& server, const std::string& method, const std::string& pattern, Handler h) {
  auto fn = [this, h](const httplib::Request& req, httplib::Response& res) { dispatch(req, res, h); };
  if (method == "GET") server.Get(pattern, fn);
  else if (method == "POST") server.Post(pattern, fn);
  else if (method == "PUT") server.Put(pattern, fn);
  else if (method == "PATCH") server.Patch(pattern, fn);
  else if (method == "DELETE") server.Delete(pattern, fn);
}

void Backend::runHandler(const httplib::Request& req, httplib::Response& res, Handler h) {
  Call call{req, res};
  try {
    (this->*h)(call);
  } catch (const HttpError& e) {
    call.send(e.status(), e.body());
    if (e.status() == 401) res.set_header("WWW-Authenticate", "Bearer");
  } catch (const std::exception& e) {
    console_.notice(std::string("internal error on ") + req.method + " " + req.path + ": " + e.what());
    call.send(500, Json{{"detail", "Internal server error"}});
  }
}

void Backend::dispatch(const httplib::Request& req, httplib::Response& res, Handler h) {
  tlHandled = true;
  auto started = SteadyClock::now();
  bool devPath = req.path.rfind("/dev/", 0) == 0;
  struct InFlight {
    Journal* journal;
    ~InFlight() {
      if (journal) journal->leave();
    }
  } inFlight{devPath ? nullptr : &journal_};
  if (!devPath) journal_.enter();
  std::optional<FaultRule> fault;
  bool drop = false;
  std::string note;
  try {
    if (!devPath) {
      if (req.has_header("X-Tarn-Dev-Fault")) {
        FaultRule rule = FaultRule::fromHeader(req.get_header_value("X-Tarn-Dev-Fault"));
        rule.path = req.path;
        rule.method = req.method;
        faults_.add(std::move(rule));
      }
      fault = faults_.take(req.method, req.path);
    }
  } catch (const HttpError& e) {
    Call{req, res}.send(e.status(), e.body());
  }

  if (res.status == -1) {
    auto pause = [&] {
      if (fault && fault->delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(fault->delayMs));
    };
    auto spoil = [&] {
      if (fault->close) {
        drop = true;
        // What goes out should the connection not be found.
        Call{req, res}.send(500, Json{{"detail", "Injected fault: the connection could not be dropped"}});
      } else if (fault->status) {
        applyFaultAnswer(res, *fault);
      }
    };
    if (fault && !fault->after) {
      pause();
      spoil();
      if (!fault->close && !fault->status) runHandler(req, res, h);
    } else {
      runHandler(req, res, h);
      if (fault) {
        pause();
        spoil();
      }
    }
    if (fault) note = " fault#" + std::to_string(fault->id);
  }

  if (!devPath) {
    JournalEntry entry{req.method, req.path, drop ? 0 : res.status, {}, Journal::redactBody(req.body)};
    for (const auto& [k, v] : req.headers) {
      if (k == "REMOTE_ADDR" || k == "REMOTE_PORT" || k == "LOCAL_ADDR" || k == "LOCAL_PORT") continue;
      entry.headers.emplace_back(k, Journal::redactHeader(k, v));
    }
    journal_.record(std::move(entry));
  }
  console_.request(isoTime(SystemClock::now()) + " " + req.method + " " + req.path + " " +
                   (drop ? std::string("dropped") : std::to_string(res.status)) + " " +
                   formatMs(SteadyClock::now() - started) + note);
  // Last, so that whoever sees the connection close also sees the request in the statistics.
  if (drop && !dropConnection(req)) console_.notice("[dev] could not find the connection to drop; answering instead");
}

void Backend::install(httplib::Server& server, std::string publicURL) {
  publicURL_ = std::move(publicURL);
  const std::string id = "([A-Za-z0-9_-]+)";

  route(server, "POST", "/auth/login", &Backend::login);
  route(server, "POST", "/auth/register", &Backend::registerAccount);
  route(server, "POST", "/auth/refresh", &Backend::refresh);
  route(server, "POST", "/auth/logout", &Backend::logout);
  route(server, "POST", "/auth/apple", &Backend::apple);
  route(server, "POST", "/api/v1/auth/email/request-code", &Backend::emailRequestCode);
  route(server, "POST", "/api/v1/auth/email/verify-code", &Backend::emailVerifyCode);
  route(server, "POST", "/auth/telegram/session", &Backend::telegramCreate);
  route(server, "GET", "/auth/telegram/session/([^/]+)", &Backend::telegramStatus);
  route(server, "POST", "/auth/telegram/session/([^/]+)/verify", &Backend::telegramVerify);
  route(server, "POST", "/auth/oauth/session", &Backend::oauthCreate);
  route(server, "GET", "/auth/oauth/session/([^/]+)", &Backend::oauthStatus);

  route(server, "GET", "/me", &Backend::me);
  route(server, "DELETE", "/me", &Backend::deleteMe);
  route(server, "POST", "/users/sync", &Backend::syncUser);
  route(server, "GET", "/subscription/status", &Backend::subscriptionStatus);
  route(server, "GET", "/devices", &Backend::devices);
  route(server, "DELETE", "/devices/(-?[0-9]+)", &Backend::removeDevice);
  route(server, "POST", "/billing/apple/verify", &Backend::appleVerify);
  route(server, "GET", "/billing/catalog", &Backend::billingCatalog);
  route(server, "POST", "/billing/checkout", &Backend::billingCheckout);
  route(server, "GET", "/vpn/servers", &Backend::servers);
  route(server, "POST", "/vpn/config", &Backend::vpnConfig);
  route(server, "POST", "/vpn/revoke", &Backend::vpnRevoke);
  route(server, "POST", "/app/events", &Backend::appEvent);
  route(server, "POST", "/app/events/anonymous", &Backend::anonymousAppEvent);
  route(server, "POST", "/app/push-token", &Backend::pushTokenRegister);
  route(server, "DELETE", "/app/push-token", &Backend::pushTokenDelete);
  route(server, "GET", "/app/ios/release", &Backend::appRelease);

  route(server, "GET", "/dev/email-code", &Backend::devEmailCode);
  route(server, "GET", "/dev/telegram-code", &Backend::devTelegramCode);
  route(server, "POST", "/dev/telegram/" + id + "/ready", &Backend::devTelegramReady);
  route(server, "GET", "/dev/oauth/authorize", &Backend::devOAuthAuthorize);
  route(server, "GET", "/dev/checkout/confirm", &Backend::devCheckoutConfirm);
  route(server, "POST", "/dev/faults", &Backend::devFaultAdd);
  route(server, "GET", "/dev/faults", &Backend::devFaultList);
  route(server, "DELETE", "/dev/faults", &Backend::devFaultClear);
  route(server, "GET", "/dev/stats", &Backend::devStats);
  route(server, "DELETE", "/dev/stats", &Backend::devStatsReset);
  route(server, "GET", "/dev/requests", &Backend::devRequests);
  route(server, "GET", "/dev/events", &Backend::devEvents);
  route(server, "GET", "/dev/push-tokens", &Backend::devPushTokens);
  route(server, "POST", "/dev/release", &Backend::devRelease);
  route(server, "POST", "/dev/account", &Backend::devAccount);
  route(server, "POST", "/dev/expire-tokens", &Backend::devExpireTokens);

  // Everything else answers a JSON 404 through the same path, so it is logged and counted.
  for (const char* method : {"GET", "POST", "PUT", "PATCH", "DELETE"}) route(server, method, ".*", &Backend::notFound);

  // Answers that httplib makes itself (malformed requests, oversized bodies) get a JSON body too.
  server.set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request&, httplib::Response& res) {
    if (tlHandled || !res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
    res.set_content(Json{{"detail", statusText(res.status)}}.dump(), "application/json");
    return httplib::Server::HandlerResponse::Handled;
  }));
  server.set_logger([this](const httplib::Request& req, const httplib::Response& res) {
    if (!tlHandled) console_.request(isoTime(SystemClock::now()) + " " + req.method + " " + req.path + " " +
                                     std::to_string(res.status));
    tlHandled = false;
  });
}

// ---------------------------------------------------------------------------------------------
// Accounts and tokens

void Backend::seed() {
  auto now = SystemClock::now();
  Account& demo = newAccount("demo@tarn.dev");
  demo.password = "demo-password";
  demo.name = "Demo User";
  demo.plan = "yearly";
  demo.telegramUserID = "777000001";
  demo.telegramUsername = "tarn_demo";
  demo.expiresAt = now + std::chrono::hours(24 * 365);
  demo.subscriptionSource = "crm";
  demo.subscriptionID = "sub_demo";
  demo.botSyncAt = now - std::chrono::hours(1);
  Device phone;
  phone.id = nextDevice_++;
  phone.deviceID = "demo-iphone";
  phone.name = "Demo iPhone";
  phone.model = "iPhone15,2";
  phone.platform = "ios";
  phone.platformVersion = "17.4";
  phone.clientApp = "Tarn VPN";
  phone.clientVersion = "1.3.2";
  phone.lastSeenAt = now - std::chrono::hours(5);
  phone.vlessUUID = randomUUID();
  demo.devices.push_back(phone);

  Account& lapsed = newAccount("expired@tarn.dev");
  lapsed.password = "demo-password";
  lapsed.name = "Lapsed User";
  lapsed.plan = "monthly";
  lapsed.subscriptionStatus = "expired";
  lapsed.vpnAccessStatus = "disabled";
  lapsed.expiresAt = now - std::chrono::hours(24 * 30);
  lapsed.subscriptionSource = "apple";
  lapsed.appleOriginalTransactionID = "2000000000000001";

  release_ = Json{{"version", "1.4.0"},
                  {"build", 140},
                  {"minimum_supported_version", "1.2.0"},
                  {"install_url", "https://tarn.dev/download"},
                  {"release_notes", "Faster connects and a new server list."},
                  {"published_at", isoTime(now - std::chrono::hours(24 * 3))}};
}

Backend::Account& Backend::newAccount(std::optional<std::string> email) {
  auto now = SystemClock::now();
  Account a;
  a.id = "usr_" + std::to_string(nextAccount_++);
  a.email = std::move(email);
  a.createdAt = now;
  a.lastSyncAt = now;
  a.deviceLimit = options_.deviceLimit;
  // New accounts start on a week's trial so that a fresh sign-up can connect straight away.
  a.subscriptionSource = "trial";
  a.expiresAt = now + std::chrono::hours(24 * 7);
  auto id = a.id;
  return accounts_.emplace(id, std::move(a)).first->second;
}

Backend::Account* Backend::findByEmail(const std::string& email) {
  std::string key = lowercase(trim(email));
  for (auto& [id, a] : accounts_)
    if (a.email && lowercase(*a.email) == key) return &a;
  return nullptr;
}

Backend::Account* Backend::findByTelegram(const std::string& telegramUserID) {
  for (auto& [id, a] : accounts_)
    if (a.telegramUserID == telegramUserID) return &a;
  return nullptr;
}

std::string Backend::bearer(const httplib::Request& req) const {
  std::string value = req.get_header_value("Authorization");
  if (value.size() < 7 || lowercase(value.substr(0, 7)) != "bearer ") return {};
  return trim(value.substr(7));
}

Backend::Account& Backend::authorize(const httplib::Request& req) {
  std::string token = bearer(req);
  if (token.empty()) throw HttpError(401, "Not authenticated");
  auto it = access_.find(token);
  if (it == access_.end()) throw HttpError(401, "Invalid access token");
  if (SteadyClock::now() >= it->second.expires) {
    access_.erase(it);
    throw HttpError(401, Json{{"detail", "Access token expired"}, {"code", "token_expired"}});
  }
  auto acc = accounts_.find(it->second.accountID);
  if (acc == accounts_.end()) throw HttpError(401, "Account no longer exists");
  return acc->second;
}

Json Backend::issueTokens(Account& a) {
  auto now = SteadyClock::now();
  // Drop expired grants now and then so that a long test run does not grow without bound.
  if (access_.size() > 4096) std::erase_if(access_, [&](const auto& kv) { return kv.second.expires <= now; });
  std::string accessToken = "at_" + randomToken(40);
  std::string refreshToken = "rt_" + randomToken(48);
  auto ttl = std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(options_.tokenTTL));
  access_[accessToken] = AccessGrant{a.id, now + ttl};
  refresh_[refreshToken] = a.id;
  return Json{{"access_token", accessToken},
              {"refresh_token", refreshToken},
              {"token_type", "bearer"},
              {"expires_in", std::max<std::int64_t>(1, std::llround(options_.tokenTTL))},
              {"user", userJson(a)}};
}

void Backend::revokeAll(const std::string& accountID) {
  std::erase_if(access_, [&](const auto& kv) { return kv.second.accountID == accountID; });
  std::erase_if(refresh_, [&](const auto& kv) { return kv.second == accountID; });
}

void Backend::refreshSubscription(Account& a) const {
  if (a.subscriptionStatus == "active" && a.expiresAt && *a.expiresAt <= SystemClock::now()) {
    a.subscriptionStatus = "expired";
    a.vpnAccessStatus = "disabled";
  }
}

Json Backend::userJson(Account& a) const {
  refreshSubscription(a);
  // Unset optional members go out as null, the way the production serialiser writes them.
  auto opt = [](const std::optional<std::string>& v) { return v ? Json(*v) : Json(nullptr); };
  return Json{{"id", a.id},
              {"email", opt(a.email)},
              {"name", opt(a.name)},
              {"plan", opt(a.plan)},
              {"telegram_user_id", opt(a.telegramUserID)},
              {"telegram_username", opt(a.telegramUsername)},
              {"subscription_status", a.subscriptionStatus},
              {"vpn_access_status", a.vpnAccessStatus},
              {"expires_at", a.expiresAt ? Json(isoTime(*a.expiresAt)) : Json(nullptr)},
              {"created_at", isoTime(a.createdAt)},
              {"last_sync_at", isoTime(a.lastSyncAt, true)},
              {"subscription_source", opt(a.subscriptionSource)},
              {"subscription_id", opt(a.subscriptionID)},
              {"apple_original_transaction_id", opt(a.appleOriginalTransactionID)},
              {"vpn_peer_id", opt(a.vpnPeerID)},
              {"apple_app_account_token", opt(a.appleAppAccountToken)}};
}

Json Backend::devicesJson(const Account& a) const {
  Json list = Json::array();
  for (const auto& d : a.devices) {
    Json j{{"id", d.id}, {"name", d.name}};
    if (d.model) j["model"] = *d.model;
    j["platform"] = d.platform;
    j["device_id"] = d.deviceID;
    if (d.platformVersion) j["platform_version"] = *d.platformVersion;
    if (d.clientApp) j["client_app"] = *d.clientApp;
    if (d.clientVersion) j["client_version"] = *d.clientVersion;
    j["last_seen_at"] = isoTime(d.lastSeenAt, true);
    list.push_back(std::move(j));
  }
  auto used = static_cast<std::int64_t>(a.devices.size());
  return Json{{"devices", list},
              {"used", used},
              {"limit", a.deviceLimit},
              {"available", std::max<std::int64_t>(0, a.deviceLimit - used)},
              {"subscription_active", a.subscriptionStatus == "active"}};
}

Json Backend::deviceLimitBody(const Account& a) const {
  return Json{{"detail", "Device limit reached"},
              {"code", "device_limit"},
              {"limit", a.deviceLimit},
              {"used", static_cast<std::int64_t>(a.devices.size())}};
}

Backend::Device& Backend::touchDevice(Account& a, const std::string& deviceID, const std::string& platform,
                                      const std::optional<std::string>& appVersion) {
  if (trim(deviceID).empty()) throw HttpError(422, Json{{"detail", "device_id must not be empty"}, {"field", "device_id"}});
  auto now = SystemClock::now();
  for (auto& d : a.devices) {
    if (d.deviceID != deviceID) continue;
    d.lastSeenAt = now;
    if (appVersion) d.clientVersion = appVersion;
    return d;
  }
  if (static_cast<std::int64_t>(a.devices.size()) >= a.deviceLimit) throw HttpError(409, deviceLimitBody(a));
  static const std::map<std::string, std::string> names = {
      {"ios", "iPhone"}, {"ipados", "iPad"}, {"macos", "Mac"}, {"linux", "Linux computer"},
      {"windows", "Windows PC"}, {"android", "Android phone"}};
  auto known = names.find(lowercase(platform));
  Device d;
  d.id = nextDevice_++;
  d.deviceID = deviceID;
  d.name = known != names.end() ? known->second : "Device (" + platform + ")";
  d.platform = platform;
  d.clientApp = "Tarn VPN";
  d.clientVersion = appVersion;
  d.lastSeenAt = now;
  d.vlessUUID = randomUUID();
  a.devices.push_back(std::move(d));
  return a.devices.back();
}

// ---------------------------------------------------------------------------------------------
// Telegram sessions

void Backend::makeReady(TelegramSession& s) {
  s.state = "code_ready";
  s.code = randomDigits(6);
  console_.notice("[dev] telegram code " + *s.code + " for session " + s.id);
}

void Backend::advance(TelegramSession& s) {
  auto now = SteadyClock::now();
  if ((s.state == "pending" || s.state == "code_ready") && now >= s.expires) {
    s.state = "expired";
    return;
  }
  if (s.state == "pending" && options_.telegramReadyAfter >= 0 &&
      now - s.created >= std::chrono::duration<double>(options_.telegramReadyAfter))
    makeReady(s);
}

Backend::TelegramSession& Backend::telegramSession(const httplib::Request& req, const std::string& id) {
  auto it = telegram_.find(id);
  if (it == telegram_.end()) throw HttpError(404, "Unknown session");
  const std::string& given = req.get_header_value("X-Tarn-Auth-Session-Secret");
  if (given.empty()) throw HttpError(403, "Session secret required");
  // Compare without an early exit so that timing does not tell how much of the secret matched.
  const std::string& secret = it->second.secret;
  unsigned diff = given.size() == secret.size() ? 0u : 1u;
  for (std::size_t i = 0; i < given.size() && i < secret.size(); ++i)
    diff |= static_cast<unsigned char>(given[i] ^ secret[i]);
  if (diff != 0) throw HttpError(403, "Invalid session secret");
  advance(it->second);
  return it->second;
}

}  // namespace tarn::devserver
