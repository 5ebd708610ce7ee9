#include "output.hpp"

#include <tarn/platform/timestamp.hpp>

#include <algorithm>
#include <cstdio>
#include <iostream>

namespace tarnctl {

namespace {

// Length of the UTF-8 sequence starting at s[i], or 0 when it is not a well-formed one.
std::size_t utf8SequenceLength(std::string_view s, std::size_t i) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = byte(i);
    std::size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (n == 0 || i + n > s.size()) return 0;
    for (std::size_t k = 1; k < n; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
    }
    // Overlong forms, surrogates and values past U+10FFFF.
    if (n == 2 && c < 0xC2) return 0;
    if (n == 3 && ((c == 0xE0 && byte(i + 1) < 0xA0) || (c == 0xED && byte(i + 1) >= 0xA0))) return 0;
    if (n == 4 && ((c == 0xF0 && byte(i + 1) < 0x90) || c > 0xF4 || (c == 0xF4 && byte(i + 1) >= 0x90))) return 0;
    return n;
}

}  // namespace

std::string jsonString(std::string_view text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        std::size_t n = utf8SequenceLength(text, i);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
            continue;
        }
        if (n > 1) {
            out.append(text.substr(i, n));
            i += n;
            continue;
        }
        char c = text[i++];
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
                    out += buf;
                } else {
                    out += c;
                }
        }
    }
    out += '"';
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
        os << label << std::string(width - displayWidth(label) + 2, ' ') << value << '\n';
    }
}

void Output::document(const std::string& rawJSON) const { std::cout << rawJSON << '\n' << std::flush; }

void Output::note(std::string_view text) const {
    std::cerr << text << '\n' << std::flush;
}

std::string shortTime(const std::optional<tarn::Timestamp>& t) {
    if (!t) return "-";
    std::string iso = tarn::formatISO8601(*t);  // 2024-05-01T12:00:00Z
    return iso.substr(0, 10) + " " + iso.substr(11, 5) + " UTC";
}

}  // namespace tarnctl
