// The signed-in account: profile, devices, VPN, billing, telemetry and the release record.
#include <cctype>

#include "backend.hpp"

namespace tarn::devserver {

namespace {

bool isUUID(const std::string& s) {
  if (s.size() != 36) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
    if (hyphen ? s[i] != '-' : !std::isxdigit(static_cast<unsigned char>(s[i]))) return false;
  }
  return true;
}

constexpr auto kDay = std::chrono::hours(24);

}  // namespace

void Backend::me(Call& c) {
  std::lock_guard lock(mutex_);
  c.send(200, userJson(authorize(c.req)));
}

void Backend::subscriptionStatus(Call& c) {
  std::lock_guard lock(mutex_);
  c.send(200, userJson(authorize(c.req)));
}

void Backend::deleteMe(Call& c) {
  std::lock_guard lock(mutex_);
  Account& a = authorize(c.req);
  requireString(c.body(), "device_id");
  std::string id = a.id;
  revokeAll(id);
  accounts_.erase(id);
  syncVlessEndpoint();
  console_.notice("[dev] account " + id + " deleted");
  c.send(200, Json{{"ok", true}});
}

void Backend::syncUser(Call& c) {
  std::lock_guard lock(mutex_);
  Account& a = authorize(c.req);
  Json body = c.body();
  std::string deviceID = requireString(body, "device_id");
  std::string platform = requireString(body, "platform");
  std::string appVersion = requireString(body, "app_version");
  for (const char* name : {"crm_user_id", "email", "telegram_user_id", "telegram_username"}) optionalString(body, name);
  touchDevice(a, deviceID, platform, appVersion);
  a.lastSyncAt = SystemClock::now();
  refreshSubscription(a);
  // The bot keeps its own SQLite clock: its timestamps come without a zone.
  Json botSync{{"status", a.telegramUserID ? "linked" : "not_linked"}};
  if (a.botSyncAt) botSync["last_sync_at"] = sqliteTime(*a.botSyncAt);
  c.send(200, Json{{"user", userJson(a)}, {"bot_sync", botSync}});
}

void Backend::devices(Call& c) {
  std::lock_guard lock(mutex_);
  c.send(200, devicesJson(authorize(c.req)));
}

void Backend::removeDevice(Call& c) {
  std::lock_guard lock(mutex_);
  Account& a = authorize(c.req);
  std::int64_t id = 0;
  try {
    id = std::stoll(c.match(1));
  } catch (const std::exception&) {
    throw HttpError(404, "Device not found");
  }
  auto it = std::find_if(a.devices.begin(), a.devices.end(), [&](const Device& d) { return d.id == id; });
  if (it == a.devices.end()) throw HttpError(404, "Device not found");
  bool rotated = it->profileIssued;  // the removed device's VLESS credential stops working
  a.devices.erase(it);
  syncVlessEndpoint();
  Json answer{{"ok", true}};
  Json remaining = devicesJson(a);
  for (auto& [k, v] : remaining.items()) answer[k] = v;
  answer["legacy_profile_rotated"] = rotated;
  c.send(200, answer);
}

void Backend::appleVerify(Call& c) {
  std::lock_guard lock(mutex_);
  Account& a = authorize(c.req);
  Json body = c.body();
  std::string productID = requireString(body, "product_id");
  std::string transactionID = requireString(body, "transaction_id");
  std::string originalTransactionID = requireString(body, "original_transaction_id");
  auto purchaseDate = requireTime(body, "purchase_date");
  auto expiresAt = optionalTime(body, "expires_at");
  requireString(body, "environment");
  auto appAccountToken = optionalString(body, "app_account_token");
  if (appAccountToken && !isUUID(*appAccountToken))
    throw HttpError(422, Json{{"detail", "Member \"app_account_token\" must be a UUID"}, {"field", "app_account_token"}});
  if (requireString(body, "signed_transaction_info").empty())
    throw HttpError(422, Json{{"detail", "signed_transaction_info must not be empty"}, {"field", "signed_transaction_info"}});
  bool yearly = lowercase(productID).find("year") != std::string::npos;
  a.plan = yearly ? "yearly" : "monthly";
  a.expiresAt = expiresAt.value_or(purchaseDate + (yearly ? 365 : 30) * kDay);
  bool active = *a.expiresAt > SystemClock::now();
  a.subscriptionStatus = active ? "active" : "expired";
  a.vpnAccessStatus = active ? "enabled" : "disabled";
  a.subscriptionSource = "apple";
  a.subscriptionID = transactionID;
  a.appleOriginalTransactionID = originalTransactionID;
  if (appAccountToken) a.appleAppAccountToken = lowercase(*appAccountToken);
  a.lastSyncAt = SystemClock::now();
  Json botSync{{"status", a.telegramUserID ? "linked" : "not_linked"}};
  if (a.botSyncAt) botSync["last_sync_at"] = sqliteTime(*a.botSyncAt);
  c.send(200, Json{{"user", userJson(a)}, {"bot_sync", botSync}});
}

Json Backend::catalog() {
  struct Group {
    const char* id;
    const char* title;
    std::int64_t days;
    bool featured;
    std::int64_t monthRUB;  // price per month for one device
  };
  static constexpr Group groups[] = {
      {"month", "1 month", 30, false, 299}, {"quarter", "3 months", 90, false, 249}, {"year", "12 months", 365, true, 199}};
  static constexpr std::int64_t limits[] = {1, 3, 5, 10};
  auto months = [](std::int64_t days) { return std::max<std::int64_t>(1, days / 30); };
  // Each extra device costs half a seat.
  auto monthly = [](std::int64_t base, std::int64_t limit) { return base + (limit - 1) * base / 2; };
  Json tariffGroups = Json::array();
  for (const auto& g : groups) {
    Json variants = Json::array();
    for (auto limit : limits) {
      std::int64_t month = monthly(g.monthRUB, limit);
      variants.push_back(Json{{"limit", limit}, {"unit", "month"}, {"price_rub", month * months(g.days)}, {"month_rub", month}});
    }
    std::int64_t defaultLimit = 3;
    std::int64_t defaultMonth = monthly(g.monthRUB, defaultLimit);
    tariffGroups.push_back(Json{{"id", g.id},
                                {"title", g.title},
                                {"days", g.days},
                                {"featured", g.featured},
                                {"variants", variants},
                                {"default_limit", defaultLimit},
                                {"default_price_rub", defaultMonth * months(g.days)},
                                {"default_month_rub", defaultMonth},
                                {"default_unit", "month"}});
  }
  return Json{{"currency", "RUB"},
              {"device_limit_options", Json::array({1, 3, 5, 10})},
              {"tariff_groups", tariffGroups},
              {"payment_methods",
               Json::array({{{"id", "card"}, {"label", "Bank card"}, {"hint", "Visa, Mastercard, MIR"}, {"recurring", true}},
                            {{"id", "sbp"}, {"label", "SBP"}, {"hint", "Faster Payments System"}, {"recurring", false}}})}};
}

void Backend::billingCatalog(Call& c) {
  std::lock_guard lock(mutex_);
  authorize(c.req);
  // The tariffs change with a release of the backend, not from one minute to the next.
  c.sendCacheable(catalog(), "private, max-age=300");
}

void Backend::billingCheckout(Call& c) {
  std::lock_guard lock(mutex_);
  Account& a = authorize(c.req);
  Json body = c.body();
  std::string tariffID = requireString(body, "tariff_id");
  std::int64_t deviceLimit = requireInt(body, "device_limit");
  std::string method = requireString(body, "payment_method");
  bool recurring = requireBool(body, "recurring_opt_in");
  requireString(body, "platform");
  std::string promo = trim(optionalString(body, "promo_code").value_or(""));

  Json cat = catalog();
  const Json* group = nullptr;
  for (const auto& g : cat["tariff_groups"])
    if (g["id"] == tariffID) group = &g;
  if (!group) throw HttpError(422, Json{{"detail", "Unknown tariff"}, {"field", "tariff_id"}});
  const Json* variant = nullptr;
  for (const auto& v : (*group)["variants"])
    if (v["limit"] == deviceLimit) variant = &v;
  if (!variant) throw HttpError(422, Json{{"detail", "This tariff has no such device count"}, {"field", "device_limit"}});
  const Json* pm = nullptr;
  for (const auto& m : cat["payment_methods"])
    if (m["id"] == method) pm = &m;
  if (!pm) throw HttpError(422, Json{{"detail", "Unknown payment method"}, {"field", "payment_method"}});
  if (recurring && !(*pm)["recurring"].get<bool>())
    throw HttpError(422, Json{{"detail", "This payment method cannot renew automatically"}, {"field", "recurring_opt_in"}});
  std::int64_t price = (*variant)["price_rub"].get<std::int64_t>();
  std::int64_t discount = 0;
  if (!promo.empty()) {
    std::string upper = promo;
    for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    if (upper != "TARN10") throw HttpError(422, Json{{"detail", "Unknown promo code"}, {"field", "promo_code"}});
    promo = upper;
    discount = price / 10;
  }
  Payment p;
  p.id = nextPayment_++;
  p.accountID = a.id;
  p.days = (*group)["days"].get<std::int64_t>();
  p.deviceLimit = deviceLimit;
  p.amount = price - discount;
  payments_[p.id] = p;
  c.send(200, Json{{"ok", true},
                   {"provider", "devpay"},
                   {"status", "pending"},
                   {"payment_id", p.id},
                   {"checkout_token", "ck_" + randomToken(32)},
                   {"confirmation_url", publicURL_ + "/dev/checkout/confirm?payment=" + std::to_string(p.id)},
                   {"amount_rub", p.amount},
                   {"devices_limit", deviceLimit},
                   {"promo_code", promo},
                   {"discount_amount_rub", discount}});
}

void Backend::servers(Call& c) {
  {
    std::lock_guard lock(mutex_);
    authorize(c.req);
  }
  Json list = Json::array();
  for (const auto& s : servers_) list.push_back(s.toJson());
  // Availability and load change at any time, so every use revalidates; an app that cannot reach
  // the backend may still show the list it has for a day.
  c.sendCacheable(list, "private, max-age=0, stale-if-error=86400");
}

void Backend::vpnConfig(Call& c) {
  std::lock_guard lock(mutex_);
  Account& a = authorize(c.req);
  Json body = c.body();
  std::string serverID = requireString(body, "server_id");
  std::string deviceID = requireString(body, "device_id");
  std::string protocol = requireString(body, "protocol");
  std::string platform = requireString(body, "platform");
  if (protocol != "vless") throw HttpError(422, Json{{"detail", "Unsupported protocol"}, {"field", "protocol"}});
  auto server = std::find_if(servers_.begin(), servers_.end(), [&](const VpnServer& s) { return s.id == serverID; });
  if (server == servers_.end()) throw HttpError(404, "Unknown server");
  refreshSubscription(a);
  if (a.subscriptionStatus != "active" || a.vpnAccessStatus != "enabled")
    throw HttpError(403, Json{{"detail", "Subscription is not active"}, {"code", "subscription_inactive"}});
  if (!server->isAvailable) throw HttpError(503, Json{{"detail", "Server is unavailable"}, {"code", "server_unavailable"}});
  Device& d = touchDevice(a, deviceID, platform, std::nullopt);
  d.profileIssued = true;
  syncVlessEndpoint();
  if (!a.vpnPeerID) a.vpnPeerID = "peer_" + a.id.substr(a.id.find('_') + 1);
  c.send(200, Json{{"uri", vlessURI(*server, d.vlessUUID)},
                   {"xray_json", xrayConfig(*server, d.vlessUUID).dump()},
                   {"server_id", server->id},
                   {"user_id", a.id},
                   {"subscription_status", a.subscriptionStatus},
                   {"vpn_access_status", a.vpnAccessStatus}});
}

void Backend::vpnRevoke(Call& c) {
  std::lock_guard lock(mutex_);
  Account& a = authorize(c.req);
  std::string deviceID = requireString(c.body(), "device_id");
  auto it = std::find_if(a.devices.begin(), a.devices.end(), [&](const Device& d) { return d.deviceID == deviceID; });
  if (it == a.devices.end()) throw HttpError(404, "Device not found");
  it->vlessUUID = randomUUID();
  it->profileIssued = false;
  syncVlessEndpoint();
  c.send(200, Json{{"ok", true}});
}

Json Backend::validateEvent(const Json& body) {
  requireString(body, "event_name");
  optionalString(body, "event_id");
  optionalString(body, "session_id");
  requireString(body, "device_id");
  requireTime(body, "event_time");
  requireString(body, "app_version");
  optionalString(body, "os_version");
  requireString(body, "platform");
  optionalString(body, "server_id");
  optionalString(body, "vpn_state");
  optionalInt(body, "duration_ms");
  if (auto it = body.find("metadata"); it != body.end() && !it->is_null()) {
    bool ok = it->is_object();
    for (const auto& v : *it) ok = ok && v.is_string();
    if (!ok) throw HttpError(422, Json{{"detail", "metadata must be an object of strings"}, {"field", "metadata"}});
  }
  return body;
}

void Backend::appEvent(Call& c) {
  std::lock_guard lock(mutex_);
  Account& a = authorize(c.req);
  Json event = validateEvent(c.body());
  events_.push_back(Json{{"account_id", a.id}, {"event", event}});
  while (events_.size() > 500) events_.pop_front();
  c.send(202, Json{{"status", "queued"}});
}

void Backend::anonymousAppEvent(Call& c) {
  Json event = validateEvent(c.body());
  std::lock_guard lock(mutex_);
  events_.push_back(Json{{"account_id", nullptr}, {"event", event}});
  while (events_.size() > 500) events_.pop_front();
  c.send(202, Json{{"status", "queued"}});
}

Json Backend::validatePushToken(const Json& body) {
  requireString(body, "platform");
  optionalString(body, "provider");
  if (requireString(body, "token").empty()) throw HttpError(422, Json{{"detail", "token must not be empty"}, {"field", "token"}});
  requireString(body, "environment");
  requireString(body, "device_id");
  requireString(body, "app_version");
  optionalString(body, "locale");
  optionalString(body, "timezone");
  return body;
}

void Backend::pushTokenRegister(Call& c) {
  std::lock_guard lock(mutex_);
  Account& a = authorize(c.req);
  Json request = validatePushToken(c.body());
  pushTokens_[request["token"].get<std::string>()] = Json{{"account_id", a.id}, {"request", request}};
  c.sendEmpty(204);
}

void Backend::pushTokenDelete(Call& c) {
  std::lock_guard lock(mutex_);
  Account& a = authorize(c.req);
  Json request = validatePushToken(c.body());
  auto it = pushTokens_.find(request["token"].get<std::string>());
  if (it != pushTokens_.end() && it->second["account_id"] == a.id) pushTokens_.erase(it);
  c.sendEmpty(204);  // removing a token that is not there is not an error
}

void Backend::appRelease(Call& c) {
  std::lock_guard lock(mutex_);
  // Publishing a release (/dev/release) must show at once.
  c.sendCacheable(release_, "no-cache");
}

void Backend::notFound(Call&) { throw HttpError(404, "Not Found"); }

}  // namespace tarn::devserver
