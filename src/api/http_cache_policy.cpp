// The cache's rules, free of I/O; the store and the HttpCache that applies them live apart.
#include "api/http_cache_policy.hpp"

#include "api/header_rules.hpp"
#include "tarn/platform/ascii.hpp"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <stdexcept>

namespace tarn::detail {

namespace {

using namespace std::chrono_literals;
using Seconds = std::chrono::seconds;

using ascii::equalsIgnoringCase;
using ascii::lowered;

// The comma-separated members of every field of this name, in order (Cache-Control, Vary and
// Pragma may each come as several fields).
std::vector<std::string_view> listMembers(const HttpHeaders& headers, std::string_view name) {
    std::vector<std::string_view> members;
    for (const auto& [key, value] : headers) {
        if (!equalsIgnoringCase(key, name)) continue;
        std::string_view rest = value;
        while (!rest.empty()) {
            std::size_t comma = rest.find(',');
            std::string_view member = trimmedFieldValue(rest.substr(0, comma));
            if (!member.empty()) members.push_back(member);
            if (comma == std::string_view::npos) break;
            rest.remove_prefix(comma + 1);
        }
    }
    return members;
}

// Cache-Control directives: lower-case name and the value, unquoted, if there is one.
using Directives = std::vector<std::pair<std::string, std::optional<std::string>>>;

Directives cacheControl(const HttpHeaders& headers) {
    Directives directives;
    for (std::string_view member : listMembers(headers, "Cache-Control")) {
        std::size_t equals = member.find('=');
        std::string name = lowered(trimmedFieldValue(member.substr(0, equals)));
        std::optional<std::string> value;
        if (equals != std::string_view::npos) {
            std::string_view raw = trimmedFieldValue(member.substr(equals + 1));
            if (raw.size() >= 2 && raw.front() == '"' && raw.back() == '"') raw = raw.substr(1, raw.size() - 2);
            value = std::string(raw);
        }
        directives.emplace_back(std::move(name), std::move(value));
    }
    return directives;
}

const std::optional<std::string>* directive(const Directives& directives, std::string_view name) {
    for (const auto& [key, value] : directives) {
        if (key == name) return &value;
    }
    return nullptr;
}

bool has(const Directives& directives, std::string_view name) { return directive(directives, name) != nullptr; }

// delta-seconds; a value too large to hold is taken as 2^31 (RFC 9111 1.2.2), a malformed one
// as absent.
std::optional<Seconds> deltaSeconds(const Directives& directives, std::string_view name) {
    const std::optional<std::string>* value = directive(directives, name);
    if (!value || !*value || (*value)->empty()) return std::nullopt;
    const std::string& text = **value;
    if (!std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) return std::nullopt;
    constexpr std::int64_t limit = std::int64_t{1} << 31;
    std::int64_t seconds = 0;
    for (char c : text) {
        seconds = std::min(limit, seconds * 10 + (c - '0'));
    }
    return Seconds(seconds);
}

std::optional<std::string> field(const HttpHeaders& headers, std::string_view name) {
    for (const auto& [key, value] : headers) {
        if (equalsIgnoringCase(key, name)) return value;
    }
    return std::nullopt;
}

// IMF-fixdate only ("Sun, 06 Nov 1994 08:49:37 GMT"), read by position so that no locale is
// involved; the obsolete forms count as invalid, which for Expires means already expired.
std::optional<CacheClock::time_point> parseHttpDate(std::string_view text) {
    text = trimmedFieldValue(text);
    if (text.size() != 29 || text.substr(3, 2) != ", " || text.substr(25) != " GMT") return std::nullopt;
    auto number = [&](std::size_t at, std::size_t length) -> std::optional<int> {
        int value = 0;
        auto [end, ec] = std::from_chars(text.data() + at, text.data() + at + length, value);
        if (ec != std::errc() || end != text.data() + at + length) return std::nullopt;
        return value;
    };
    constexpr std::array<std::string_view, 12> months = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    auto month = std::find(months.begin(), months.end(), text.substr(8, 3));
    auto day = number(5, 2), year = number(12, 4), hour = number(17, 2), minute = number(20, 2),
         second = number(23, 2);
    if (month == months.end() || !day || !year || !hour || !minute || !second || text[16] != ' ' ||
        text[19] != ':' || text[22] != ':' || *hour > 23 || *minute > 59 || *second > 60) {
        return std::nullopt;
    }
    std::chrono::year_month_day date{std::chrono::year(*year),
                                     std::chrono::month(unsigned(month - months.begin() + 1)),
                                     std::chrono::day(unsigned(*day))};
    if (!date.ok()) return std::nullopt;
    return std::chrono::sys_days(date) + std::chrono::hours(*hour) + std::chrono::minutes(*minute) +
           Seconds(*second);
}

std::string sha256Hex(std::string_view text) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    // Fetched once: OpenSSL 3 otherwise looks the algorithm up on every call, which costs more
    // than hashing a URL and a token.
    static EVP_MD* const sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    if (sha256 == nullptr || EVP_Digest(text.data(), text.size(), digest.data(), &length, sha256, nullptr) != 1) {
        throw std::runtime_error("SHA-256 is not available");
    }
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(length * 2);
    for (unsigned int i = 0; i < length; ++i) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 0xF];
    }
    return out;
}

std::string variedDigest(const HttpRequest& request, const std::string& name) {
    auto value = request.header(name);
    return value ? sha256Hex(trimmedFieldValue(*value)) : std::string();
}

bool isAuthorized(const HttpRequest& request) { return hasAnyHeader(request, kAccountCredentialHeaders); }

bool requestsValidation(const HttpRequest& request) {
    if (has(cacheControl(request.headers), "no-cache")) return true;
    auto pragma = listMembers(request.headers, "Pragma");
    return std::any_of(pragma.begin(), pragma.end(), [](std::string_view m) { return equalsIgnoringCase(m, "no-cache"); });
}

// Fields that describe one connection or one message, or would hand a session to whoever
// reads the store: never kept, and never taken over from a 304.
bool isUnstoredField(std::string_view name) {
    for (std::string_view unstored : {"Connection", "Keep-Alive", "Transfer-Encoding", "TE", "Upgrade",
                                      "Proxy-Connection", "Set-Cookie", "Content-Length"}) {
        if (equalsIgnoringCase(name, unstored)) return true;
    }
    return false;
}

HttpHeaders storedFields(const HttpHeaders& headers) {
    HttpHeaders kept;
    for (const auto& entry : headers) {
        if (!isUnstoredField(entry.first)) kept.push_back(entry);
    }
    return kept;
}

Seconds nonNegative(CacheClock::duration d) {
    return std::max(Seconds(0), std::chrono::duration_cast<Seconds>(d));
}

// RFC 9111 4.2.3.
Seconds currentAge(const CachedAnswer& answer, CacheClock::time_point now) {
    auto date = field(answer.headers, "Date");
    auto dateValue = date ? parseHttpDate(*date) : std::nullopt;
    Seconds apparentAge = dateValue ? nonNegative(answer.responseTime - *dateValue) : Seconds(0);
    Seconds ageValue{0};
    if (auto age = field(answer.headers, "Age")) {
        Directives asDirective{{"age", std::string(trimmedFieldValue(*age))}};
        ageValue = deltaSeconds(asDirective, "age").value_or(Seconds(0));
    }
    Seconds responseDelay = nonNegative(answer.responseTime - answer.requestTime);
    Seconds corrected = std::max(apparentAge, ageValue + responseDelay);
    return corrected + nonNegative(now - answer.responseTime);
}

// RFC 9111 4.2.1 for a private cache (s-maxage does not apply); heuristic freshness (4.2.2) only
// for answers without credentials: an account's data is never guessed to be still current.
Seconds freshnessLifetime(const CachedAnswer& answer) {
    Directives directives = cacheControl(answer.headers);
    if (auto maxAge = deltaSeconds(directives, "max-age")) return *maxAge;
    auto date = field(answer.headers, "Date");
    auto dateValue = date ? parseHttpDate(*date) : std::nullopt;
    const auto base = dateValue.value_or(answer.responseTime);
    if (auto expires = field(answer.headers, "Expires")) {
        auto expiresValue = parseHttpDate(*expires);
        return expiresValue ? nonNegative(*expiresValue - base) : Seconds(0);
    }
    if (!answer.authorized && answer.statusCode == 200) {
        auto modified = field(answer.headers, "Last-Modified");
        if (auto modifiedValue = modified ? parseHttpDate(*modified) : std::nullopt) {
            return std::min<Seconds>(nonNegative(base - *modifiedValue) / 10, 24h);
        }
    }
    return Seconds(0);
}

}  // namespace

std::size_t CachedAnswer::weight() const {
    std::size_t bytes = body.size() + 64;
    for (const auto& [name, value] : headers) bytes += name.size() + value.size() + 4;
    for (const auto& [name, value] : varied) bytes += name.size() + value.size() + 4;
    return bytes;
}

std::string cacheKey(const HttpRequest& request) {
    std::string material = request.url;
    for (std::string_view name : kAccountCredentialHeaders) {
        material += '\n';
        if (auto value = request.header(name)) material += *value;
    }
    return sha256Hex(material);
}

bool bypassesCache(const HttpRequest& request) {
    constexpr std::array<std::string_view, 7> conditionsAndSecrets = {
        "If-None-Match", "If-Modified-Since", "If-Match", "If-Unmodified-Since", "If-Range", "Range",
        kSessionSecretHeader};
    return hasAnyHeader(request, conditionsAndSecrets) || has(cacheControl(request.headers), "no-store");
}

HttpResponse responseFrom(const CachedAnswer& answer, HttpCacheResult result) {
    HttpResponse response;
    response.statusCode = answer.statusCode;
    response.headers = answer.headers;
    // The same spare capacity the session gives every body, for parsing in place.
    response.body.reserve(answer.body.size() + 64);
    response.body = answer.body;
    response.cacheResult = result;
    return response;
}

bool variesAlike(const CachedAnswer& answer, const HttpRequest& request) {
    return std::all_of(answer.varied.begin(), answer.varied.end(),
                       [&](const auto& entry) { return variedDigest(request, entry.first) == entry.second; });
}

bool isServerFailure(const HttpResponse& response) {
    return response.isHTTP && (response.statusCode == 500 || response.statusCode == 502 ||
                               response.statusCode == 503 || response.statusCode == 504);
}

std::optional<HttpResponse> staleIfError(const CachedAnswer& answer, CacheClock::time_point now) {
    Directives directives = cacheControl(answer.headers);
    if (has(directives, "must-revalidate") || has(directives, "no-cache")) return std::nullopt;
    auto allowance = deltaSeconds(directives, "stale-if-error");
    if (!allowance) return std::nullopt;
    Seconds staleness = currentAge(answer, now) - freshnessLifetime(answer);
    if (staleness > *allowance) return std::nullopt;
    return responseFrom(answer, HttpCacheResult::staleAfterError);
}

bool servesFresh(const CachedAnswer& stored, const HttpRequest& request, CacheClock::time_point now) {
    if (requestsValidation(request) || has(cacheControl(stored.headers), "no-cache")) return false;
    Seconds lifetime = freshnessLifetime(stored);
    if (auto limit = deltaSeconds(cacheControl(request.headers), "max-age")) lifetime = std::min(lifetime, *limit);
    return lifetime > currentAge(stored, now);
}

bool addValidators(HttpRequest& request, const CachedAnswer& stored) {
    auto etag = field(stored.headers, "ETag");
    auto modified = field(stored.headers, "Last-Modified");
    if (etag) request.setHeader("If-None-Match", *etag);
    if (modified) request.setHeader("If-Modified-Since", *modified);
    return etag || modified;
}

void mergeNotModified(CachedAnswer& stored, const HttpHeaders& fields, CacheClock::time_point requested,
                      CacheClock::time_point received) {
    for (const auto& field304 : fields) {
        if (isUnstoredField(field304.first)) continue;
        std::erase_if(stored.headers, [&](const auto& entry) { return equalsIgnoringCase(entry.first, field304.first); });
    }
    for (const auto& entry : storedFields(fields)) stored.headers.push_back(entry);
    stored.requestTime = requested;
    stored.responseTime = received;
}

bool forbidsStoring(const CachedAnswer& answer) { return has(cacheControl(answer.headers), "no-store"); }

std::optional<CachedAnswer> storableAnswer(const HttpRequest& request, const HttpResponse& network,
                                           CacheClock::time_point requested, CacheClock::time_point received) {
    // Most answers carry none of the fields that could make them storable: one pass over the
    // fields settles it before the directives and Vary are read.
    constexpr std::array<std::string_view, 4> storableBy = {"Cache-Control", "Expires", "ETag", "Last-Modified"};
    const bool mayStore = std::any_of(network.headers.begin(), network.headers.end(), [&](const auto& f) {
        return std::any_of(storableBy.begin(), storableBy.end(),
                           [&](std::string_view name) { return equalsIgnoringCase(f.first, name); });
    });
    if (!mayStore) return std::nullopt;
    Directives directives = cacheControl(network.headers);
    auto vary = listMembers(network.headers, "Vary");
    const bool storable =
        network.statusCode != 206 && (network.url.empty() || network.url == request.url) &&
        !has(directives, "no-store") && !has(cacheControl(request.headers), "no-store") &&
        std::none_of(vary.begin(), vary.end(), [](std::string_view v) { return v == "*"; }) &&
        (has(directives, "max-age") || field(network.headers, "Expires") || field(network.headers, "ETag") ||
         field(network.headers, "Last-Modified"));
    if (!storable) return std::nullopt;
    CachedAnswer answer;
    answer.statusCode = network.statusCode;
    answer.headers = storedFields(network.headers);
    answer.body = network.body;
    answer.requestTime = requested;
    answer.responseTime = received;
    answer.authorized = isAuthorized(request);
    for (std::string_view name : vary) {
        std::string lower = lowered(name);
        answer.varied.emplace_back(lower, variedDigest(request, lower));
    }
    return answer;
}

}  // namespace tarn::detail
