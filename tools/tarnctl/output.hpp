// What tarnctl prints: text for people on stdout, progress and prompts on stderr, and with --json
// exactly one JSON document on stdout. Small JSON building blocks (records themselves are encoded
// by the library's JSONEncoder and embedded as they are) and an aligned table.
#pragma once

#include <tarn/json/json.hpp>
#include <tarn/text/redaction.hpp>
#include <tarn/platform/timestamp.hpp>

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarnctl {

/// A JSON string literal as the library's encoder writes it (terminal controls escaped). Bytes
/// that are not UTF-8 become U+FFFD, so the result is always valid.
std::string jsonString(std::string_view text);

/// Text from the server or a file made safe for a terminal: the secrets this run knows (see
/// rememberSecret) redacted, control characters (C0, DEL, C1, bidirectional controls) escaped,
/// invalid UTF-8 replaced. Never for tarnctl's own wording: redacting "the" out of a sentence
/// would tell that "the" is the password.
std::string shown(std::string_view text);

/// tarnctl's own text, which may quote outside text already passed through shown(): control
/// characters escaped, nothing redacted.
std::string escaped(std::string_view text);

/// Outside text with the secrets this run knows redacted, not escaped (for JSON values, whose
/// encoder escapes).
std::string redactedOutside(std::string_view text);

/// A JSON object built member by member, in the order added. Values are raw JSON text.
class JsonObject {
public:
    JsonObject& string(std::string_view key, std::string_view value);
    JsonObject& optionalString(std::string_view key, const std::optional<std::string>& value);
    JsonObject& integer(std::string_view key, std::int64_t value);
    JsonObject& boolean(std::string_view key, bool value);
    JsonObject& null(std::string_view key);
    JsonObject& raw(std::string_view key, std::string rawJSON);
    std::string str() const;

private:
    std::vector<std::pair<std::string, std::string>> members_;
};

std::string jsonArray(const std::vector<std::string>& rawValues);

/// JSON text whose string values (not its member names, which are ours) have the secrets this
/// run knows redacted.
std::string redactingStringValues(std::string_view json);

/// A record in the backend's JSON form, its values redacted as by redactingStringValues: a
/// backend that echoes a token or the password inside a record cannot get it printed.
template <class T>
std::string encodeRecord(const T& value) {
    return redactingStringValues(tarn::JSONEncoder::tarn().encode(value));
}

/// Columns padded to the widest cell (by characters, not bytes); cells are shown() escaped.
class Table {
public:
    explicit Table(std::vector<std::string> header) : header_(std::move(header)) {}
    void row(std::vector<std::string> cells);
    void print(std::ostream& os) const;

private:
    std::vector<std::string> header_;
    std::vector<std::vector<std::string>> rows_;
};

/// Label/value lines with the values aligned and shown() escaped.
void printFields(std::ostream& os, const std::vector<std::pair<std::string, std::string>>& fields);

/// Width of text on a terminal, counted in characters.
std::size_t displayWidth(std::string_view text);

class Output {
public:
    explicit Output(bool json) : json_(json) {}
    bool json() const noexcept { return json_; }

    /// The one JSON document of a --json run.
    void document(const std::string& rawJSON) const;
    /// Progress for people: stderr, so stdout stays the command's result. Control characters
    /// other than the line breaks between lines are escaped.
    void note(std::string_view text) const;

private:
    bool json_;
};

/// "2024-05-01 12:00 UTC".
std::string shortTime(const std::optional<tarn::Timestamp>& t);

/// The secrets this run of tarnctl knows: tokens the store handed out or took (and the pair
/// stored before a command began), the password typed, a Telegram session secret, the VLESS id of
/// the profile handed to the tunnel. Text from outside is redacted against them where it is
/// printed (shown, redactedOutside, encodeRecord), so that a backend that echoes one cannot get it
/// onto the terminal. Thread-safe: the client's thread loads tokens too.
void rememberSecret(std::string_view secret);
/// For --show-secrets: stop redacting the remembered secrets for the rest of the run.
void showRememberedSecrets();
/// The remembered secrets as a Redactor (empty after showRememberedSecrets).
tarn::Redactor rememberedSecrets();

}  // namespace tarnctl
