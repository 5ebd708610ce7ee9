#include "output.hpp"

#include <tarn/platform/timestamp.hpp>
#include <tarn/platform/unicode.hpp>

#include <tarn/text/redaction.hpp>

#include <algorithm>
#include <iostream>
#include <mutex>

namespace tarnctl {

std::string jsonString(std::string_view text) {
    return tarn::json::stringLiteral(tarn::unicode::replacingInvalidUTF8(text));
}

std::string shown(std::string_view text) { return escaped(redactedOutside(text)); }

std::string escaped(std::string_view text) { return tarn::unicode::escapingControlCharacters(text); }

std::string redactedOutside(std::string_view text) { return rememberedSecrets().redact(text); }

std::string redactingStringValues(std::string_view json) {
    const tarn::Redactor secrets = rememberedSecrets();
    if (secrets.empty()) return std::string(json);
    // The encoder escapes some characters, so a secret may appear in its JSON-escaped spelling.
    tarn::Redactor spelled = secrets;
    for (const std::string& secret : secrets.secrets()) {
        std::string literal = jsonString(secret);
        spelled.add(std::string_view(literal).substr(1, literal.size() - 2));
    }
    std::string out;
    out.reserve(json.size());
    for (std::size_t i = 0; i < json.size();) {
        if (json[i] != '"') {
            out += json[i++];
            continue;
        }
        std::size_t end = i + 1;
        while (end < json.size() && json[end] != '"') end += json[end] == '\\' ? 2 : 1;
        end = std::min(end, json.size() - 1);
        std::string_view content = json.substr(i + 1, end - i - 1);
        std::size_t next = end + 1;
        while (next < json.size() && (json[next] == ' ' || json[next] == '\n')) ++next;
        const bool memberName = next < json.size() && json[next] == ':';
        out += '"';
        out += memberName ? std::string(content) : spelled.redact(content);
        out += '"';
        i = end + 1;
    }
    return out;
}

JsonObject& JsonObject::string(std::string_view key, std::string_view value) {
    return raw(key, jsonString(value));
}

JsonObject& JsonObject::optionalString(std::string_view key, const std::optional<std::string>& value) {
    return value ? string(key, *value) : null(key);
}

JsonObject& JsonObject::integer(std::string_view key, std::int64_t value) { return raw(key, std::to_string(value)); }

JsonObject& JsonObject::boolean(std::string_view key, bool value) { return raw(key, value ? "true" : "false"); }

JsonObject& JsonObject::null(std::string_view key) { return raw(key, "null"); }

JsonObject& JsonObject::raw(std::string_view key, std::string rawJSON) {
    members_.emplace_back(std::string(key), std::move(rawJSON));
    return *this;
}

std::string JsonObject::str() const {
    std::string out = "{";
    for (std::size_t i = 0; i < members_.size(); ++i) {
        if (i) out += ',';
        out += jsonString(members_[i].first);
        out += ':';
        out += members_[i].second;
    }
    out += '}';
    return out;
}

std::string jsonArray(const std::vector<std::string>& rawValues) {
    std::string out = "[";
    for (std::size_t i = 0; i < rawValues.size(); ++i) {
        if (i) out += ',';
        out += rawValues[i];
    }
    out += ']';
    return out;
}

std::size_t displayWidth(std::string_view text) {
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

void Table::row(std::vector<std::string> cells) {
    for (auto& cell : cells) cell = shown(cell);
    rows_.push_back(std::move(cells));
}

void Table::print(std::ostream& os) const {
    std::vector<std::size_t> widths(header_.size(), 0);
    auto measure = [&](const std::vector<std::string>& cells) {
        for (std::size_t i = 0; i < cells.size() && i < widths.size(); ++i) {
            widths[i] = std::max(widths[i], displayWidth(cells[i]));
        }
    };
    measure(header_);
    for (const auto& r : rows_) measure(r);
    auto printRow = [&](const std::vector<std::string>& cells) {
        std::string line;
        for (std::size_t i = 0; i < cells.size() && i < widths.size(); ++i) {
            line += cells[i];
            if (i + 1 < cells.size()) line.append(widths[i] - displayWidth(cells[i]) + 2, ' ');
        }
        line.erase(line.find_last_not_of(' ') + 1);
        os << line << '\n';
    };
    printRow(header_);
    for (const auto& r : rows_) printRow(r);
}

void printFields(std::ostream& os, const std::vector<std::pair<std::string, std::string>>& fields) {
    std::size_t width = 0;
    for (const auto& f : fields) width = std::max(width, displayWidth(f.first));
    for (const auto& [label, value] : fields) {
        os << label << std::string(width - displayWidth(label) + 2, ' ') << shown(value) << '\n';
    }
}

void Output::document(const std::string& rawJSON) const { std::cout << rawJSON << '\n' << std::flush; }

void Output::note(std::string_view text) const {
    // Notes are several lines of our own text that may quote the server's (redacted where it is
    // quoted); only control characters are escaped, line by line.
    std::string safe;
    for (std::size_t begin = 0; begin <= text.size();) {
        std::size_t end = std::min(text.find('\n', begin), text.size());
        safe += escaped(text.substr(begin, end - begin));
        if (end < text.size()) safe += '\n';
        begin = end + 1;
    }
    std::cerr << safe << '\n' << std::flush;
}

namespace {

struct RememberedSecrets {
    std::mutex mutex;
    tarn::Redactor redactor;
    bool shown = false;
};

RememberedSecrets& remembered() {
    static RememberedSecrets secrets;
    return secrets;
}

}  // namespace

void rememberSecret(std::string_view secret) {
    RememberedSecrets& r = remembered();
    std::lock_guard lock(r.mutex);
    r.redactor.add(secret);
}

void showRememberedSecrets() {
    RememberedSecrets& r = remembered();
    std::lock_guard lock(r.mutex);
    r.shown = true;
}

tarn::Redactor rememberedSecrets() {
    RememberedSecrets& r = remembered();
    std::lock_guard lock(r.mutex);
    return r.shown ? tarn::Redactor() : r.redactor;
}

std::string shortTime(const std::optional<tarn::Timestamp>& t) {
    if (!t) return "-";
    std::string iso = tarn::formatISO8601(*t);  // 2024-05-01T12:00:00Z
    return iso.substr(0, 10) + " " + iso.substr(11, 5) + " UTC";
}

}  // namespace tarnctl
