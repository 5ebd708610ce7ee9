// Sign-in, registration, token refresh and the session-based sign-in flows.
#include "backend.hpp"

namespace tarn::devserver {

namespace {

// local@domain.tld without white space; the real backend checks deliverability, we only check shape.
bool looksLikeEmail(const std::string& email) {
  auto at = email.find('@');
  if (at == 0 || at == std::string::npos || email.size() > 254 || email.find('@', at + 1) != std::string::npos) return false;
  if (email.find_first_of(" \t\r\n") != std::string::npos) return false;
  auto dot = email.rfind('.');
  return dot != std::string::npos && dot > at + 1 && dot + 1 < email.size();
}

std::string requireEmail(const Json& body) {
  std::string email = lowercase(trim(requireString(body, "email")));
  if (!looksLikeEmail(email)) throw HttpError(422, Json{{"detail", "Invalid email address"}, {"field", "email"}});
  return email;
}

void requireConsent(bool terms, bool personalData) {
  if (!terms || !personalData)
    throw HttpError(422, "The terms and the processing of personal data must be accepted");
}

// Seconds left until `t`, rounded up so that a code is never announced as already gone.
std::int64_t secondsUntil(SteadyClock::time_point t) {
  auto left = std::chrono::ceil<std::chrono::seconds>(t - SteadyClock::now()).count();
  return std::max<std::int64_t>(0, left);
}

SteadyClock::duration seconds(double s) {
  return std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(s));
}

}  // namespace

void Backend::login(Call& c) {
  Json body = c.body();
  std::string email = requireString(body, "email");
  std::string password = requireString(body, "password");
  std::lock_guard lock(mutex_);
  Account* a = findByEmail(email);
  if (!a || !a->password || *a->password != password) throw HttpError(401, "Invalid email or password");
  c.send(200, issueTokens(*a));
}

void Backend::registerAccount(Call& c) {
  Json body = c.body();
  std::string email = requireEmail(body);
  std::string password = requireString(body, "password");
  auto name = optionalString(body, "name");
  bool terms = requireBool(body, "accepted_terms");
  bool personalData = requireBool(body, "accepted_personal_data_processing");
  requireConsent(terms, personalData);
  if (password.size() < 8)
    throw HttpError(422, Json{{"detail", "Password must have at least 8 characters"}, {"field", "password"}});
  std::lock_guard lock(mutex_);
  if (findByEmail(email)) throw HttpError(409, Json{{"detail", "Email already registered"}, {"code", "email_taken"}});
  Account& a = newAccount(email);
  a.password = password;
  a.name = name;
  c.send(201, issueTokens(a));
}

void Backend::refresh(Call& c) {
  Json body = c.body();
  std::string token = requireString(body, "refresh_token");
  std::lock_guard lock(mutex_);
  auto it = refresh_.find(token);
  if (it == refresh_.end()) {
    if (spentRefresh_.contains(token)) throw HttpError(401, Json{{"detail", "Refresh token already used"}, {"code", "token_reused"}});
    throw HttpError(401, "Invalid refresh token");
  }
  auto account = accounts_.find(it->second);
  refresh_.erase(it);
  spentRefresh_.insert(token);
  if (account == accounts_.end()) throw HttpError(401, "Account no longer exists");
  c.send(200, issueTokens(account->second));
}

void Backend::logout(Call& c) {
  std::lock_guard lock(mutex_);
  Account& a = authorize(c.req);
  // The body is optional in effect: {} or no body at all just ends the presented access token.
  Json body = c.req.body.empty() ? Json::object() : c.body();
  if (auto token = optionalString(body, "refresh_token")) {
    auto it = refresh_.find(*token);
    if (it != refresh_.end() && it->second == a.id) {
      refresh_.erase(it);
      spentRefresh_.insert(*token);
    }
  }
  access_.erase(bearer(c.req));
  c.sendEmpty(204);
}

void Backend::apple(Call& c) {
  Json body = c.body();
  std::string identityToken = requireString(body, "identity_token");
  optionalString(body, "authorization_code");
  auto name = optionalString(body, "name");
  requireString(body, "device_id");
  // Development identity tokens: "dev-apple:<email>", or "dev-apple" alone for a fixed relay user.
  constexpr std::string_view prefix = "dev-apple";
  if (identityToken.rfind(prefix, 0) != 0) throw HttpError(401, "Invalid Apple identity token");
  std::string rest = identityToken.substr(prefix.size());
  std::string email = "apple.user@privaterelay.appleid.com";
  if (!rest.empty()) {
    if (rest[0] != ':' || !looksLikeEmail(lowercase(trim(rest.substr(1)))))
      throw HttpError(401, "Invalid Apple identity token");
    email = lowercase(trim(rest.substr(1)));
  }
  std::lock_guard lock(mutex_);
  Account* a = findByEmail(email);
  if (!a) {
    a = &newAccount(email);
    a->name = name;
  }
  c.send(200, issueTokens(*a));
}

void Backend::emailRequestCode(Call& c) {
  Json body = c.body();
  std::string email = requireEmail(body);
  requireString(body, "platform");
  requireString(body, "device_public_id");
  std::lock_guard lock(mutex_);
  auto now = SteadyClock::now();
  if (auto last = latestChallenge_.find(email); last != latestChallenge_.end()) {
    const EmailChallenge& previous = challenges_.at(last->second);
    if (now < previous.resendAt) {
      auto wait = std::max<std::int64_t>(1, secondsUntil(previous.resendAt));
      c.res.set_header("Retry-After", std::to_string(wait));
      throw HttpError(429, Json{{"detail", "A code was sent recently; try again later"}, {"retry_after", wait}});
    }
    challenges_.erase(last->second);  // a new code replaces the old one
  }
  EmailChallenge ch;
  ch.id = "ch_" + randomToken(24);
  ch.email = email;
  ch.code = randomDigits(6);
  ch.expires = now + seconds(options_.emailCodeTTL);
  ch.resendAt = now + seconds(options_.emailResendAfter);
  console_.notice("[dev] email code " + ch.code + " for " + email);
  latestChallenge_[email] = ch.id;
  Json answer{{"challenge_id", ch.id},
              {"expires_in", std::llround(options_.emailCodeTTL)},
              {"resend_after", std::llround(options_.emailResendAfter)}};
  challenges_.emplace(ch.id, std::move(ch));
  c.send(200, answer);
}

void Backend::emailVerifyCode(Call& c) {
  Json body = c.body();
  std::string code = requireString(body, "code");
  std::string challengeID = requireString(body, "challenge_id");
  bool terms = requireBool(body, "accepted_terms");
  bool personalData = requireBool(body, "accepted_personal_data_processing");
  std::lock_guard lock(mutex_);
  auto it = challenges_.find(challengeID);
  if (it == challenges_.end()) throw HttpError(404, "Unknown challenge");
  EmailChallenge& ch = it->second;
  if (ch.used) throw HttpError(410, Json{{"detail", "Code already used"}, {"code", "code_used"}});
  if (SteadyClock::now() >= ch.expires) throw HttpError(410, Json{{"detail", "Code expired"}, {"code", "code_expired"}});
  constexpr int maxAttempts = 5;
  if (ch.attempts >= maxAttempts) throw HttpError(429, Json{{"detail", "Too many attempts; request a new code"}});
  if (code != ch.code) {
    ++ch.attempts;
    throw HttpError(400, Json{{"detail", "Invalid code"}, {"code", "invalid_code"}, {"attempts_left", maxAttempts - ch.attempts}});
  }
  Account* a = findByEmail(ch.email);
  if (!a) {
    requireConsent(terms, personalData);  // only a new account needs the consent
    a = &newAccount(ch.email);
  }
  ch.used = true;
  c.send(200, issueTokens(*a));
}

void Backend::telegramCreate(Call& c) {
  if (c.req.get_header_value("X-Tarn-Auth-Session-Secret-Version") != "2")
    throw HttpError(400, Json{{"detail", "Unsupported session secret version"}, {"supported", Json::array({2})}});
  Json body = c.body();
  std::string device = requireString(body, "device_public_id");
  std::lock_guard lock(mutex_);
  TelegramSession s;
  s.id = randomToken(32);
  // The deep link carries the identifier; make sure it can never contain the secret as well.
  do {
    s.secret = randomToken(48);
  } while (s.id.find(s.secret) != std::string::npos);
  s.devicePublicID = device;
  s.created = SteadyClock::now();
  s.expires = s.created + seconds(options_.sessionTTL);
  s.expiresWall = SystemClock::now() + std::chrono::duration_cast<SystemClock::duration>(seconds(options_.sessionTTL));
  // Without a bot in the loop every session is confirmed by the demo account's Telegram user,
  // unless /dev/telegram/<id>/ready names another one.
  s.telegramUserID = "777000001";
  s.telegramUsername = "tarn_demo";
  Json answer{{"flow_version", 2},
              {"session", {{"id", s.id}, {"secret", s.secret}}},
              {"deeplink", "https://t.me/tarnvpn_bot?start=ios_auth_" + s.id},
              {"expires", isoTime(s.expiresWall)}};
  telegram_.emplace(s.id, std::move(s));
  c.send(200, answer);
}

void Backend::telegramStatus(Call& c) {
  std::lock_guard lock(mutex_);
  TelegramSession& s = telegramSession(c.req, c.match(1));
  // Never any credentials here: the sign-in is only handed out by the verification.
  Json answer{{"status", s.state}};
  if (s.error) answer["error"] = *s.error;
  c.send(200, answer);
}

void Backend::telegramVerify(Call& c) {
  std::lock_guard lock(mutex_);
  TelegramSession& s = telegramSession(c.req, c.match(1));
  Json body = c.body();
  std::string code = requireString(body, "code");
  if (code.size() != 6 || code.find_first_not_of("0123456789") != std::string::npos)
    throw HttpError(422, Json{{"detail", "The code has six digits"}, {"field", "code"}});
  if (s.state == "pending") throw HttpError(409, Json{{"detail", "No code has been issued yet"}, {"status", s.state}});
  if (s.state == "expired") throw HttpError(410, Json{{"detail", "Session expired"}, {"status", s.state}});
  if (s.state != "code_ready") throw HttpError(409, Json{{"detail", "Session already finished"}, {"status", s.state}});
  constexpr int maxAttempts = 5;
  if (code != s.code) {
    if (++s.attempts >= maxAttempts) {
      s.state = "cancelled";
      s.error = "Too many wrong codes";
    }
    throw HttpError(400, Json{{"detail", "Invalid code"}, {"code", "invalid_code"}, {"attempts_left", maxAttempts - s.attempts}});
  }
  Account* a = findByTelegram(s.telegramUserID);
  if (!a) {
    a = &newAccount(std::nullopt);
    a->telegramUserID = s.telegramUserID;
    a->telegramUsername = s.telegramUsername;
    a->botSyncAt = SystemClock::now();
  }
  s.state = "consumed";
  c.send(200, issueTokens(*a));
}

void Backend::oauthCreate(Call& c) {
  Json body = c.body();
  std::string provider = requireString(body, "provider");
  std::string device = requireString(body, "device_id");
  requireString(body, "platform");
  if (provider != "google") throw HttpError(422, Json{{"detail", "Unsupported provider"}, {"field", "provider"}});
  std::lock_guard lock(mutex_);
  OAuthSession s;
  s.id = "oa_" + randomToken(32);
  s.provider = provider;
  s.deviceID = device;
  s.expires = SteadyClock::now() + seconds(options_.sessionTTL);
  auto expiresWall = SystemClock::now() + std::chrono::duration_cast<SystemClock::duration>(seconds(options_.sessionTTL));
  Json answer{{"auth_session_id", s.id},
              {"authorization_url", publicURL_ + "/dev/oauth/authorize?session=" + s.id},
              {"expires_at", isoTime(expiresWall)}};
  oauth_.emplace(s.id, std::move(s));
  c.send(200, answer);
}

void Backend::oauthStatus(Call& c) {
  std::lock_guard lock(mutex_);
  auto it = oauth_.find(c.match(1));
  if (it == oauth_.end()) throw HttpError(404, "Unknown session");
  OAuthSession& s = it->second;
  if (s.state == "pending" && SteadyClock::now() >= s.expires) s.state = "expired";
  Json answer{{"status", s.state}};
  if (s.state == "confirmed") {
    auto account = s.accountID ? accounts_.find(*s.accountID) : accounts_.end();
    if (account == accounts_.end()) {
      s.state = "conflict";
      answer = Json{{"status", s.state}, {"error", "The account was removed"}};
    } else if (!s.delivered) {
      // Tokens are minted on the first poll after confirmation and handed out that once.
      s.delivered = true;
      answer["auth"] = issueTokens(account->second);
    } else {
      answer["error"] = "The sign-in was already delivered";
    }
  }
  c.send(200, answer);
}

}  // namespace tarn::devserver
