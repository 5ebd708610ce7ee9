// Small helpers shared by the development backend: random identifiers, timestamps in the forms
// the client reads, the error a handler throws to answer with a status, and typed reads of
// request members.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace tarn::devserver {

// Answers keep the order in which members are written, like a real backend's serialiser.
using Json = nlohmann::ordered_json;
using SystemClock = std::chrono::system_clock;
using SteadyClock = std::chrono::steady_clock;

// Thrown by a handler to answer with `status` and a JSON body. The message is never logged as is.
class HttpError : public std::runtime_error {
public:
  HttpError(int status, Json body);
  HttpError(int status, const std::string& detail);
  HttpError(int status, const char* detail) : HttpError(status, std::string(detail)) {}

  int status() const noexcept { return status_; }
  const Json& body() const noexcept { return body_; }

private:
  int status_;
  Json body_;
};

// Random text from the URL-safe base64 alphabet, drawn from the kernel's generator: tokens and
// session secrets must not be predictable even on a development machine.
std::string randomToken(std::size_t length);
std::string randomDigits(std::size_t count);
std::string randomUUID();

// "2024-05-01T12:00:00Z", optionally with microseconds ("2024-05-01T12:00:00.123456Z").
std::string isoTime(SystemClock::time_point t, bool withFraction = false);
// "2024-05-01 12:00:00", the zone-less UTC form that SQLite-backed services write.
std::string sqliteTime(SystemClock::time_point t);
// Reads the three timestamp forms the client accepts; nullopt for anything else.
std::optional<SystemClock::time_point> parseTime(std::string_view text);

std::string lowercase(std::string_view s);
std::string trim(std::string_view s);

// Typed access to members of a request body. Missing or mistyped required members answer 422.
std::string requireString(const Json& body, const char* name);
std::optional<std::string> optionalString(const Json& body, const char* name);
bool requireBool(const Json& body, const char* name);
std::int64_t requireInt(const Json& body, const char* name);
std::optional<std::int64_t> optionalInt(const Json& body, const char* name);
SystemClock::time_point requireTime(const Json& body, const char* name);
std::optional<SystemClock::time_point> optionalTime(const Json& body, const char* name);

}  // namespace tarn::devserver
