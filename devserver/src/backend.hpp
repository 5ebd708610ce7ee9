// The development backend: in-memory accounts, tokens, devices and sign-in sessions behind the
// REST endpoints the client library calls, plus development-only endpoints under /dev/ that reveal
// one-time codes, confirm sessions and inject faults.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <httplib.h>

#include "faults.hpp"
#include "journal.hpp"
#include "util.hpp"
#include "vless_endpoint.hpp"
#include "vpn.hpp"

namespace tarn::devserver {

struct Options {
  std::string host = "127.0.0.1";
  int port = 8787;
  double tokenTTL = 900;  // seconds an access token lives
  std::int64_t deviceLimit = 5;
  std::size_t serverCount = 6;
  std::uint64_t seed = 1;
  std::size_t threads = 64;
  int keepAliveTimeout = 5;  // seconds an idle connection may hold a worker thread
  double telegramReadyAfter = 2;  // seconds until a session shows its code; negative: only via /dev
  double sessionTTL = 600;        // Telegram and OAuth sessions
  double emailCodeTTL = 600;
  double emailResendAfter = 30;
  bool quiet = false;  // no per-request log lines
  std::string tlsCert;
  std::string tlsKey;
  // Run a real VLESS server (v2ray) on loopback and hand out profiles that point at it.
  bool vlessEndpoint = false;
};

// Console output shared by all worker threads: one whole line at a time, on standard error.
class Console {
public:
  explicit Console(bool quiet) : quiet_(quiet) {}
  void request(const std::string& line);  // suppressed by --quiet
  void notice(const std::string& line);   // codes and lifecycle; always shown

private:
  std::mutex mutex_;
  bool quiet_;
};

class Backend {
public:
  Backend(Options options, Console& console);

  // Registers every route on `server`; `publicURL` ("http://127.0.0.1:8787") is where the pages
  // that the backend links to itself (OAuth authorisation, checkout) are found.
  void install(httplib::Server& server, std::string publicURL);

private:
  struct Device {
    std::int64_t id = 0;
    std::string deviceID;
    std::string name;
    std::optional<std::string> model;
    std::string platform;
    std::optional<std::string> platformVersion;
    std::optional<std::string> clientApp;
    std::optional<std::string> clientVersion;
    SystemClock::time_point lastSeenAt;
    std::string vlessUUID;  // the device's VLESS client id; revocation replaces it
    bool profileIssued = false;
  };

  struct Account {
    std::string id;
    std::optional<std::string> email;
    std::optional<std::string> password;
    std::optional<std::string> name;
    std::optional<std::string> plan;
    std::optional<std::string> telegramUserID;
    std::optional<std::string> telegramUsername;
    std::string subscriptionStatus = "active";
    std::string vpnAccessStatus = "enabled";
    std::optional<SystemClock::time_point> expiresAt;
    SystemClock::time_point createdAt;
    SystemClock::time_point lastSyncAt;
    std::optional<std::string> subscriptionSource;
    std::optional<std::string> subscriptionID;
    std::optional<std::string> appleOriginalTransactionID;
    std::optional<std::string> vpnPeerID;
    std::optional<std::string> appleAppAccountToken;
    std::optional<SystemClock::time_point> botSyncAt;
    std::int64_t deviceLimit = 5;
    std::vector<Device> devices;
  };

  struct AccessGrant {
    std::string accountID;
    SteadyClock::time_point expires;
  };

  struct EmailChallenge {
    std::string id;
    std::string email;
    std::string code;
    SteadyClock::time_point expires;
    SteadyClock::time_point resendAt;
    int attempts = 0;
    bool used = false;
  };

  struct TelegramSession {
    std::string id;
    std::string secret;
    std::string devicePublicID;
    SteadyClock::time_point created;
    SteadyClock::time_point expires;
    SystemClock::time_point expiresWall;
    std::string state = "pending";
    std::optional<std::string> code;
    std::optional<std::string> error;
    std::string telegramUserID;
    std::string telegramUsername;
    int attempts = 0;
  };

  struct OAuthSession {
    std::string id;
    std::string provider;
    std::string deviceID;
    SteadyClock::time_point expires;
    std::string state = "pending";
    std::optional<std::string> accountID;  // set by the authorisation page
    bool delivered = false;                // the sign-in is handed out once
  };

  struct Payment {
    std::int64_t id = 0;
    std::string accountID;
    std::int64_t days = 0;
    std::int64_t deviceLimit = 0;
    std::int64_t amount = 0;
    std::string status = "pending";
  };

  // The request as a handler sees it.
  struct Call {
    const httplib::Request& req;
    httplib::Response& res;
    Json body() const;  // the body as a JSON object; 400 otherwise
    std::string match(std::size_t i) const { return req.matches[i].str(); }
    void send(int status, const Json& j);
    // A 200 with an ETag and the given Cache-Control, or a bodiless 304 when the request's
    // If-None-Match names the tag: what a client cache needs to revalidate.
    void sendCacheable(const Json& j, const std::string& cacheControl);
    void sendEmpty(int status = 204);
    void sendHTML(int status, const std::string& html);
  };
  using Handler = void (Backend::*)(Call&);

  // Infrastructure (backend.cpp).
  void route(httplib::Server& server, const std::string& method, const std::string& pattern, Handler h);
  void dispatch(const httplib::Request& req, httplib::Response& res, Handler h);
  void runHandler(const httplib::Request& req, httplib::Response& res, Handler h);
  void seed();
  Account& newAccount(std::optional<std::string> email);
  Account* findByEmail(const std::string& email);
  Account* findByTelegram(const std::string& telegramUserID);
  Account& authorize(const httplib::Request& req);  // 401 unless a live bearer token is attached
  std::string bearer(const httplib::Request& req) const;
  Json issueTokens(Account& a);
  void revokeAll(const std::string& accountID);
  void refreshSubscription(Account& a) const;
  void syncVlessEndpoint();  // the endpoint accepts exactly the ids of issued profiles
  Json userJson(Account& a) const;
  Json devicesJson(const Account& a) const;
  Json deviceLimitBody(const Account& a) const;
  Device& touchDevice(Account& a, const std::string& deviceID, const std::string& platform,
                      const std::optional<std::string>& appVersion);
  void advance(TelegramSession& s);  // expiry and the automatic move to code_ready
  void makeReady(TelegramSession& s);
  TelegramSession& telegramSession(const httplib::Request& req, const std::string& id);
  static Json catalog();
  static Json validateEvent(const Json& body);
  static Json validatePushToken(const Json& body);

  // Authentication (api_auth.cpp).
  void login(Call&);
  void registerAccount(Call&);
  void refresh(Call&);
  void logout(Call&);
  void apple(Call&);
  void emailRequestCode(Call&);
  void emailVerifyCode(Call&);
  void telegramCreate(Call&);
  void telegramStatus(Call&);
  void telegramVerify(Call&);
  void oauthCreate(Call&);
  void oauthStatus(Call&);

  // Account, VPN, billing, telemetry (api_account.cpp).
  void me(Call&);
  void deleteMe(Call&);
  void syncUser(Call&);
  void subscriptionStatus(Call&);
  void devices(Call&);
  void removeDevice(Call&);
  void appleVerify(Call&);
  void billingCatalog(Call&);
  void billingCheckout(Call&);
  void servers(Call&);
  void vpnConfig(Call&);
  void vpnRevoke(Call&);
  void appEvent(Call&);
  void anonymousAppEvent(Call&);
  void pushTokenRegister(Call&);
  void pushTokenDelete(Call&);
  void appRelease(Call&);
  void notFound(Call&);

  // Development only (dev_api.cpp).
  void devEmailCode(Call&);
  void devTelegramCode(Call&);
  void devTelegramReady(Call&);
  void devOAuthAuthorize(Call&);
  void devCheckoutConfirm(Call&);
  void devFaultAdd(Call&);
  void devFaultList(Call&);
  void devFaultClear(Call&);
  void devStats(Call&);
  void devStatsReset(Call&);
  void devRequests(Call&);
  void devEvents(Call&);
  void devPushTokens(Call&);
  void devRelease(Call&);
  void devAccount(Call&);
  void devExpireTokens(Call&);

  Options options_;
  Console& console_;
  std::string publicURL_;
  std::vector<VpnServer> servers_;
  FaultBook faults_;
  std::unique_ptr<VlessEndpoint> vless_;  // with --vless-endpoint
  Journal journal_;

  std::mutex mutex_;  // guards everything below
  std::map<std::string, Account> accounts_;
  std::int64_t nextAccount_ = 1001;
  std::int64_t nextDevice_ = 1;
  std::int64_t nextPayment_ = 5001;
  std::unordered_map<std::string, AccessGrant> access_;
  std::unordered_map<std::string, std::string> refresh_;  // refresh token -> account id
  std::unordered_set<std::string> spentRefresh_;
  std::map<std::string, EmailChallenge> challenges_;
  std::map<std::string, std::string> latestChallenge_;  // email -> challenge id
  std::map<std::string, TelegramSession> telegram_;
  std::map<std::string, OAuthSession> oauth_;
  std::map<std::int64_t, Payment> payments_;
  std::deque<Json> events_;
  std::map<std::string, Json> pushTokens_;
  Json release_;
};

}  // namespace tarn::devserver
