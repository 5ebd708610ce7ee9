#include "output.hpp"

#include <tarn/platform/timestamp.hpp>
#include <tarn/platform/unicode.hpp>

#include <tarn/api/redaction.hpp>

#include <algorithm>
#include <iostream>
#include <mutex>
#include <streambuf>

namespace tarnctl {

std::string jsonString(std::string_view text) {
    return tarn::json::stringLiteral(tarn::unicode::replacingInvalidUTF8(text));
}

std::string shown(std::string_view text) { return tarn::unicode::escapingControlCharacters(text); }

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
    // Notes are several lines of our own text that may quote the server's; only its control
    // characters are escaped, line by line.
    std::string safe;
    for (std::size_t begin = 0; begin <= text.size();) {
        std::size_t end = std::min(text.find('\n', begin), text.size());
        safe += shown(text.substr(begin, end - begin));
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

std::string redactRemembered(std::string_view text) {
    RememberedSecrets& r = remembered();
    std::lock_guard lock(r.mutex);
    return r.shown ? std::string(text) : r.redactor.redact(text);
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

// Holds text until a line ends or the stream is flushed: a secret never spans a line, and
// redacting whole lines means it is never split between two writes.
struct GuardedStreams::Guard : std::streambuf {
    Guard(std::ostream& s) : stream(s), target(s.rdbuf(this)) {}
    ~Guard() override {
        pass();
        stream.rdbuf(target);
    }

    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
        pending += traits_type::to_char_type(c);
        if (c == '\n') pass();
        return c;
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        pending.append(s, static_cast<std::size_t>(n));
        if (pending.find('\n') != std::string::npos) pass();
        return n;
    }
    int sync() override {
        pass();
        return target->pubsync();
    }
    void pass() {
        if (pending.empty()) return;
        std::string out = redactRemembered(pending);
        pending.clear();
        target->sputn(out.data(), static_cast<std::streamsize>(out.size()));
    }

    std::ostream& stream;
    std::streambuf* target;
    std::string pending;
};

GuardedStreams::GuardedStreams() : out_(std::make_unique<Guard>(std::cout)), err_(std::make_unique<Guard>(std::cerr)) {}

GuardedStreams::~GuardedStreams() {
    std::cout.flush();
    std::cerr.flush();
}

std::string shortTime(const std::optional<tarn::Timestamp>& t) {
    if (!t) return "-";
    std::string iso = tarn::formatISO8601(*t);  // 2024-05-01T12:00:00Z
    return iso.substr(0, 10) + " " + iso.substr(11, 5) + " UTC";
}

}  // namespace tarnctl
