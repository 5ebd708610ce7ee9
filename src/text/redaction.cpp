#include "tarn/text/redaction.hpp"

#include "tarn/platform/unicode.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <utility>

namespace tarn {
namespace {

char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool isIdentifierChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

bool isValueEnd(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == ',' || c == ';' || c == '&' || c == '}' ||
           c == ']' || c == ')' || c == '"' || c == '\'' || c == '<' || c == '>';
}

bool startsWithNoCase(std::string_view text, std::size_t at, std::string_view word) {
    if (at + word.size() > text.size()) return false;
    for (std::size_t k = 0; k < word.size(); ++k) {
        if (asciiLower(text[at + k]) != word[k]) return false;
    }
    return true;
}

// Key names whose value is a credential, in any spelling that contains them.
constexpr std::array<std::string_view, 8> credentialKeys = {"password", "passwd", "secret", "token",
                                                            "authorization", "cookie", "api_key", "apikey"};

bool namesCredential(std::string_view identifier) {
    std::string lower(identifier);
    for (char& c : lower) c = asciiLower(c);
    return std::any_of(credentialKeys.begin(), credentialKeys.end(),
                       [&](std::string_view key) { return lower.find(key) != std::string::npos; });
}

using Span = std::pair<std::size_t, std::size_t>;  // [begin, end)

std::string replacingSpans(std::string_view text, std::vector<Span> spans) {
    std::sort(spans.begin(), spans.end());
    std::string out;
    out.reserve(text.size());
    std::size_t at = 0;
    for (auto [begin, end] : spans) {
        if (begin < at) begin = at;  // overlapping spans merge
        if (end <= begin) continue;
        out.append(text.substr(at, begin - at));
        out.append(redactedMarker);
        at = end;
    }
    out.append(text.substr(at));
    return out;
}

std::size_t skipSpaces(std::string_view text, std::size_t i) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    return i;
}

std::size_t unquotedValueEnd(std::string_view text, std::size_t i) {
    while (i < text.size() && !isValueEnd(text[i])) ++i;
    return i;
}

// The credential after an authentication scheme word ("Bearer abc", "Basic abc"), if any.
std::optional<Span> afterScheme(std::string_view text, std::size_t i) {
    for (std::string_view scheme : {"bearer ", "basic ", "token "}) {
        if (startsWithNoCase(text, i, scheme)) {
            std::size_t begin = skipSpaces(text, i + scheme.size());
            std::size_t end = unquotedValueEnd(text, begin);
            if (end > begin) return Span{begin, end};
        }
    }
    return std::nullopt;
}

// key: value, key=value and "key": "value" where the key names a credential.
void findKeyedCredentials(std::string_view text, std::vector<Span>& spans) {
    for (std::size_t i = 0; i < text.size();) {
        if (!isIdentifierChar(text[i])) {
            ++i;
            continue;
        }
        std::size_t begin = i;
        while (i < text.size() && isIdentifierChar(text[i])) ++i;
        if (!namesCredential(text.substr(begin, i - begin))) continue;
        std::size_t p = i;
        if (p < text.size() && (text[p] == '"' || text[p] == '\'')) ++p;
        p = skipSpaces(text, p);
        if (p >= text.size() || (text[p] != ':' && text[p] != '=')) continue;
        p = skipSpaces(text, p + 1);
        if (p >= text.size() || text[p] == '{' || text[p] == '[') continue;
        if (text[p] == '"' || text[p] == '\'') {
            char quote = text[p];
            std::size_t valueBegin = p + 1, end = valueBegin;
            while (end < text.size() && text[end] != quote) end += text[end] == '\\' ? 2 : 1;
            end = std::min(end, text.size());
            if (auto scheme = afterScheme(text.substr(0, end), valueBegin)) {
                spans.push_back(*scheme);
            } else if (end > valueBegin) {
                spans.emplace_back(valueBegin, end);
            }
            i = end;
            continue;
        }
        if (auto scheme = afterScheme(text, p)) {
            spans.push_back(*scheme);
            i = scheme->second;
            continue;
        }
        std::size_t end = unquotedValueEnd(text, p);
        std::string_view value = text.substr(p, end - p);
        if (!value.empty() && value != "null" && value != "true" && value != "false") spans.emplace_back(p, end);
        i = end;
    }
}

void findSchemeCredentials(std::string_view text, std::vector<Span>& spans) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (i > 0 && isIdentifierChar(text[i - 1])) continue;
        if (auto scheme = afterScheme(text, i); scheme && startsWithNoCase(text, i, "bearer ")) spans.push_back(*scheme);
    }
}

bool isLocalPartChar(char c) {
    return isIdentifierChar(c) || c == '.' || c == '%' || c == '+';
}

bool isDomainChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
}

void findEmailAddresses(std::string_view text, std::vector<Span>& spans) {
    for (std::size_t at = text.find('@'); at != std::string_view::npos; at = text.find('@', at + 1)) {
        std::size_t begin = at;
        while (begin > 0 && isLocalPartChar(text[begin - 1])) --begin;
        std::size_t end = at + 1;
        while (end < text.size() && isDomainChar(text[end])) ++end;
        while (end > at + 1 && text[end - 1] == '.') --end;
        std::string_view domain = text.substr(at + 1, end - at - 1);
        auto dot = domain.find('.');
        if (begin == at || dot == std::string_view::npos || dot == 0) continue;
        spans.emplace_back(begin, end);
    }
}

}  // namespace

Redactor& Redactor::add(std::string_view secret) {
    if (secret.empty()) return *this;
    if (std::find(secrets_.begin(), secrets_.end(), secret) != secrets_.end()) return *this;
    // Kept longest first: a secret that contains another is then replaced whole.
    auto at = std::find_if(secrets_.begin(), secrets_.end(), [&](const std::string& s) { return s.size() < secret.size(); });
    secrets_.insert(at, std::string(secret));
    return *this;
}

std::string Redactor::redact(std::string_view text) const {
    std::string out(text);
    for (const std::string& secret : secrets_) {
        for (std::size_t at = out.find(secret); at != std::string::npos; at = out.find(secret, at + redactedMarker.size())) {
            out.replace(at, secret.size(), redactedMarker);
        }
    }
    return out;
}

std::string Redactor::scrub(std::string_view text) const {
    std::string known = redact(text);
    std::vector<Span> spans;
    findKeyedCredentials(known, spans);
    findSchemeCredentials(known, spans);
    // A value that is already the marker needs no second one.
    std::erase_if(spans, [&](const Span& s) { return std::string_view(known).substr(s.first, s.second - s.first) == redactedMarker; });
    std::string keyed = replacingSpans(known, std::move(spans));
    std::vector<Span> addresses;
    findEmailAddresses(keyed, addresses);
    return replacingSpans(keyed, std::move(addresses));
}

std::string summarizing(std::string_view text, const Redactor& redactor, std::size_t maxBytes) {
    std::string out = unicode::escapingControlCharacters(redactor.scrub(text));
    if (out.size() <= maxBytes) return out;
    std::size_t cut = maxBytes;
    while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
    out.resize(cut);
    out += "…";
    return out;
}

}  // namespace tarn
