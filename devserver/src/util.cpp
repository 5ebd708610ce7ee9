#include "util.hpp"

#include <sys/random.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <limits>
#include <system_error>

namespace tarn::devserver {

HttpError::HttpError(int status, Json body)
    : std::runtime_error("HTTP " + std::to_string(status)), status_(status), body_(std::move(body)) {}

HttpError::HttpError(int status, const std::string& detail) : HttpError(status, Json{{"detail", detail}}) {}

namespace {

void fillRandom(void* buffer, std::size_t size) {
  auto* out = static_cast<unsigned char*>(buffer);
  while (size > 0) {
    ssize_t n = ::getrandom(out, size, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "getrandom");
    }
    out += n;
    size -= static_cast<std::size_t>(n);
  }
}

constexpr std::string_view kUrlSafe =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-";

}  // namespace

std::string randomToken(std::size_t length) {
  std::string bytes(length, '\0');
  fillRandom(bytes.data(), bytes.size());
  std::string out(length, 'A');
  // 64 symbols: the low six bits of each byte choose one without bias.
  for (std::size_t i = 0; i < length; ++i) out[i] = kUrlSafe[static_cast<unsigned char>(bytes[i]) & 63u];
  return out;
}

std::string randomDigits(std::size_t count) {
  std::string out;
  while (out.size() < count) {
    unsigned char b = 0;
    fillRandom(&b, 1);
    if (b < 250) out.push_back(static_cast<char>('0' + b % 10));  // reject 250..255 to stay unbiased
  }
  return out;
}

std::string randomUUID() {
  std::array<unsigned char, 16> b{};
  fillRandom(b.data(), b.size());
  b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40);
  b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80);
  char out[37];
  std::snprintf(out, sizeof out,
                "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0], b[1],
                b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14],
                b[15]);
  return out;
}

namespace {

std::string formatUTC(SystemClock::time_point t, const char* pattern) {
  std::time_t secs = SystemClock::to_time_t(t);
  std::tm tm{};
  ::gmtime_r(&secs, &tm);
  char buf[64];
  std::size_t n = std::strftime(buf, sizeof buf, pattern, &tm);
  return std::string(buf, n);
}

}  // namespace

std::string isoTime(SystemClock::time_point t, bool withFraction) {
  auto secs = std::chrono::floor<std::chrono::seconds>(t);
  if (!withFraction) return formatUTC(secs, "%Y-%m-%dT%H:%M:%SZ");
  auto micros = std::chrono::duration_cast<std::chrono::microseconds>(t - secs).count();
  char frac[32];
  std::snprintf(frac, sizeof frac, ".%06lldZ", static_cast<long long>(micros));
  return formatUTC(secs, "%Y-%m-%dT%H:%M:%S") + frac;
}

std::string sqliteTime(SystemClock::time_point t) {
  return formatUTC(std::chrono::floor<std::chrono::seconds>(t), "%Y-%m-%d %H:%M:%S");
}

std::optional<SystemClock::time_point> parseTime(std::string_view text) {
  // ISO 8601 with or without a fraction (zone required), or the zone-less SQLite form; written by
  // hand because g++ 12's <regex> trips -Wmaybe-uninitialized in sanitizer builds.
  std::size_t pos = 0;
  auto number = [&](std::size_t n, int& out) {
    if (pos + n > text.size()) return false;
    out = 0;
    for (std::size_t i = 0; i < n; ++i) {
      char c = text[pos + i];
      if (c < '0' || c > '9') return false;
      out = out * 10 + (c - '0');
    }
    pos += n;
    return true;
  };
  auto literal = [&](char c) {
    if (pos >= text.size() || text[pos] != c) return false;
    ++pos;
    return true;
  };
  std::tm tm{};
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (!number(4, year) || !literal('-') || !number(2, month) || !literal('-') || !number(2, day)) return std::nullopt;
  if (pos >= text.size() || (text[pos] != 'T' && text[pos] != ' ')) return std::nullopt;
  bool iso = text[pos++] == 'T';
  if (!number(2, hour) || !literal(':') || !number(2, minute) || !literal(':') || !number(2, second)) return std::nullopt;
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) return std::nullopt;
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  auto t = SystemClock::from_time_t(::timegm(&tm));
  if (!iso) return pos == text.size() ? std::optional(t) : std::nullopt;

  if (literal('.')) {
    std::int64_t micros = 0;
    std::size_t digits = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
      if (digits++ < 6) micros = micros * 10 + (text[pos] - '0');
      ++pos;
    }
    if (digits == 0) return std::nullopt;
    for (; digits < 6; ++digits) micros *= 10;
    t += std::chrono::microseconds(micros);
  }
  if (literal('Z')) return pos == text.size() ? std::optional(t) : std::nullopt;
  if (pos >= text.size() || (text[pos] != '+' && text[pos] != '-')) return std::nullopt;
  bool west = text[pos++] == '-';
  int offHours = 0, offMinutes = 0;
  if (!number(2, offHours) || !literal(':') || !number(2, offMinutes) || pos != text.size()) return std::nullopt;
  if (offHours > 23 || offMinutes > 59) return std::nullopt;
  auto offset = std::chrono::minutes(offHours * 60 + offMinutes);
  return west ? t + offset : t - offset;
}

std::string lowercase(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::string trim(std::string_view s) {
  constexpr std::string_view ws = " \t\r\n\v\f";
  auto b = s.find_first_not_of(ws);
  if (b == std::string_view::npos) return {};
  auto e = s.find_last_not_of(ws);
  return std::string(s.substr(b, e - b + 1));
}

namespace {

[[noreturn]] void invalidMember(const char* name, const char* expected) {
  throw HttpError(422, Json{{"detail", std::string("Member \"") + name + "\" must be " + expected},
                            {"field", name}});
}

const Json* member(const Json& body, const char* name) {
  auto it = body.find(name);
  if (it == body.end() || it->is_null()) return nullptr;
  return &*it;
}

std::int64_t asInt(const Json& v, const char* name) {
  if (v.is_number_unsigned()) {
    auto u = v.get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
      invalidMember(name, "a 64-bit integer");
    return static_cast<std::int64_t>(u);
  }
  if (!v.is_number_integer()) invalidMember(name, "an integer");
  return v.get<std::int64_t>();
}

}  // namespace

std::string requireString(const Json& body, const char* name) {
  const Json* v = member(body, name);
  if (!v || !v->is_string()) invalidMember(name, "a string");
  return v->get<std::string>();
}

std::optional<std::string> optionalString(const Json& body, const char* name) {
  const Json* v = member(body, name);
  if (!v) return std::nullopt;
  if (!v->is_string()) invalidMember(name, "a string");
  return v->get<std::string>();
}

bool requireBool(const Json& body, const char* name) {
  const Json* v = member(body, name);
  if (!v || !v->is_boolean()) invalidMember(name, "a boolean");
  return v->get<bool>();
}

std::int64_t requireInt(const Json& body, const char* name) {
  const Json* v = member(body, name);
  if (!v) invalidMember(name, "an integer");
  return asInt(*v, name);
}

std::optional<std::int64_t> optionalInt(const Json& body, const char* name) {
  const Json* v = member(body, name);
  if (!v) return std::nullopt;
  return asInt(*v, name);
}

SystemClock::time_point requireTime(const Json& body, const char* name) {
  auto t = parseTime(requireString(body, name));
  if (!t) invalidMember(name, "a timestamp");
  return *t;
}

std::optional<SystemClock::time_point> optionalTime(const Json& body, const char* name) {
  auto s = optionalString(body, name);
  if (!s) return std::nullopt;
  auto t = parseTime(*s);
  if (!t) invalidMember(name, "a timestamp");
  return t;
}

}  // namespace tarn::devserver
