#include "api/http_cache.hpp"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <fstream>
#include <random>
#include <sstream>
#include <system_error>

namespace tarn::detail {

namespace {

using namespace std::chrono_literals;
using Seconds = std::chrono::seconds;

char lowerChar(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), lowerChar);
    return out;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return lowerChar(x) == lowerChar(y); });
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

// The comma-separated members of every field of this name, in order (Cache-Control, Vary and
// Pragma may each come as several fields).
std::vector<std::string_view> listMembers(const HttpHeaders& headers, std::string_view name) {
    std::vector<std::string_view> members;
    for (const auto& [key, value] : headers) {
        if (!equalsIgnoringCase(key, name)) continue;
        std::string_view rest = value;
        while (!rest.empty()) {
            std::size_t comma = rest.find(',');
            std::string_view member = trim(rest.substr(0, comma));
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
        std::string name = lower(trim(member.substr(0, equals)));
        std::optional<std::string> value;
        if (equals != std::string_view::npos) {
            std::string_view raw = trim(member.substr(equals + 1));
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
std::optional<HttpCache::Clock::time_point> parseHttpDate(std::string_view text) {
    text = trim(text);
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

// The credentials are part of the key, hashed with the URL: a change of tokens, let alone of
// account, finds nothing stored under the old ones, and no token is ever written anywhere.
std::string keyFor(const HttpRequest& request) {
    std::string material = request.url;
    for (std::string_view name : {"Authorization", "Cookie"}) {
        material += '\n';
        if (auto value = request.header(name)) material += *value;
    }
    return sha256Hex(material);
}

std::string variedDigest(const HttpRequest& request, const std::string& name) {
    auto value = request.header(name);
    return value ? sha256Hex(trim(*value)) : std::string();
}

bool isAuthorized(const HttpRequest& request) {
    return request.header("Authorization").has_value() || request.header("Cookie").has_value();
}

// Requests the cache keeps out of: the caller's own conditions or ranges, which it must see
// answered as sent, a one-time session secret, whose answers carry credentials, and no-store.
bool bypassesCache(const HttpRequest& request) {
    for (std::string_view name : {"If-None-Match", "If-Modified-Since", "If-Match", "If-Unmodified-Since",
                                  "If-Range", "Range", "X-Tarn-Auth-Session-Secret"}) {
        if (request.header(name)) return true;
    }
    return has(cacheControl(request.headers), "no-store");
}

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

Seconds nonNegative(HttpCache::Clock::duration d) {
    return std::max(Seconds(0), std::chrono::duration_cast<Seconds>(d));
}

// RFC 9111 4.2.3.
Seconds currentAge(const CachedAnswer& answer, HttpCache::Clock::time_point now) {
    auto date = field(answer.headers, "Date");
    auto dateValue = date ? parseHttpDate(*date) : std::nullopt;
    Seconds apparentAge = dateValue ? nonNegative(answer.responseTime - *dateValue) : Seconds(0);
    Seconds ageValue{0};
    if (auto age = field(answer.headers, "Age")) {
        Directives asDirective{{"age", std::string(trim(*age))}};
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

std::optional<HttpResponse> staleIfError(const CachedAnswer& answer, HttpCache::Clock::time_point now) {
    Directives directives = cacheControl(answer.headers);
    if (has(directives, "must-revalidate") || has(directives, "no-cache")) return std::nullopt;
    auto allowance = deltaSeconds(directives, "stale-if-error");
    if (!allowance) return std::nullopt;
    Seconds staleness = currentAge(answer, now) - freshnessLifetime(answer);
    if (staleness > *allowance) return std::nullopt;
    return responseFrom(answer, HttpCacheResult::staleAfterError);
}

// --- in memory --------------------------------------------------------------------------------

class MemoryStore final : public CacheStore {
public:
    explicit MemoryStore(std::size_t maxBytes) : maxBytes_(maxBytes) {}

    std::optional<CachedAnswer> get(const std::string& key) override {
        auto found = entries_.find(key);
        if (found == entries_.end()) return std::nullopt;
        return found->second.answer;
    }

    void put(const std::string& key, const CachedAnswer& answer) override {
        erase(key);
        order_.push_front(key);
        entries_.emplace(key, Entry{answer, order_.begin()});
        bytes_ += answer.weight();
        while (bytes_ > maxBytes_ && !order_.empty()) erase(order_.back());
    }

    void erase(const std::string& key) override {
        auto found = entries_.find(key);
        if (found == entries_.end()) return;
        bytes_ -= found->second.answer.weight();
        order_.erase(found->second.position);
        entries_.erase(found);
    }

    void clear() override {
        entries_.clear();
        order_.clear();
        bytes_ = 0;
    }

private:
    struct Entry {
        CachedAnswer answer;
        std::list<std::string>::iterator position;
    };
    std::size_t maxBytes_;
    std::size_t bytes_ = 0;
    std::list<std::string> order_;  // most recently stored first
    std::unordered_map<std::string, Entry> entries_;
};

// --- in a directory ---------------------------------------------------------------------------

constexpr std::string_view entrySuffix = ".entry";
constexpr std::string_view temporaryPrefix = ".tmp-";

void putField(std::string& out, std::string_view value) {
    out += std::to_string(value.size());
    out += ':';
    out += value;
    out += '\n';
}

struct FieldReader {
    std::string_view rest;
    bool failed = false;

    std::string_view next() {
        std::size_t colon = rest.find(':');
        std::size_t length = 0;
        if (colon == std::string_view::npos || colon == 0 || colon > 12) return fail();
        auto [end, ec] = std::from_chars(rest.data(), rest.data() + colon, length);
        if (ec != std::errc() || end != rest.data() + colon || rest.size() - colon - 1 < length + 1 ||
            rest[colon + 1 + length] != '\n') {
            return fail();
        }
        std::string_view value = rest.substr(colon + 1, length);
        rest.remove_prefix(colon + 2 + length);
        return value;
    }

    template <class Int>
    Int number() {
        std::string_view text = next();
        Int value{};
        auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (ec != std::errc() || end != text.data() + text.size() || text.empty()) fail();
        return value;
    }

    std::string_view fail() {
        failed = true;
        rest = {};
        return {};
    }
};

constexpr std::string_view entryMagic = "tarn-http-cache 1";

std::int64_t microseconds(HttpCache::Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
}

HttpCache::Clock::time_point fromMicroseconds(std::int64_t us) {
    return HttpCache::Clock::time_point(
        std::chrono::duration_cast<HttpCache::Clock::duration>(std::chrono::microseconds(us)));
}

void putPairs(std::string& out, const std::vector<std::pair<std::string, std::string>>& pairs) {
    putField(out, std::to_string(pairs.size()));
    for (const auto& [name, value] : pairs) {
        putField(out, name);
        putField(out, value);
    }
}

bool readPairs(FieldReader& in, std::vector<std::pair<std::string, std::string>>& pairs) {
    auto count = in.number<std::size_t>();
    for (std::size_t i = 0; i < count && !in.failed; ++i) {
        std::string name(in.next());
        std::string value(in.next());
        pairs.emplace_back(std::move(name), std::move(value));
    }
    return !in.failed;
}

void throwErrno(const std::string& what, const std::filesystem::path& path) {
    throw std::filesystem::filesystem_error(what, path, std::error_code(errno, std::generic_category()));
}

void writeAll(int fd, std::string_view data, const std::filesystem::path& path) {
    while (!data.empty()) {
        ssize_t written = ::write(fd, data.data(), data.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) throwErrno("cannot write a cache entry", path);
        data.remove_prefix(static_cast<std::size_t>(written));
    }
}

class DirectoryStore final : public CacheStore {
public:
    DirectoryStore(std::filesystem::path directory, std::size_t maxBytes)
        : directory_(std::move(directory)), maxBytes_(maxBytes) {
        std::filesystem::create_directories(directory_);
        // Owner-only whoever created it: the answers are the account's own.
        std::filesystem::permissions(directory_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::replace);
    }

    std::optional<CachedAnswer> get(const std::string& key) override {
        const auto path = pathOf(key);
        std::ifstream in(path, std::ios::binary);
        if (!in) return std::nullopt;
        std::ostringstream text;
        text << in.rdbuf();
        auto answer = decodeEntry(key, text.str());
        // A damaged entry (a full disk, a foreign file) is no answer, and is not read twice.
        if (!answer) {
            std::error_code ignored;
            std::filesystem::remove(path, ignored);
        }
        return answer;
    }

    // Written as the shared container writes its files: a private temporary file in the same
    // directory, flushed, renamed over the entry, and the directory flushed, so that a reader in
    // another process, or after a crash, sees the old entry or the new one, never a part.
    void put(const std::string& key, const CachedAnswer& answer) override {
        const std::string text = encodeEntry(key, answer);
        const auto temporary = directory_ / (std::string(temporaryPrefix) + key + "-" + randomSuffix());
        int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) throwErrno("cannot create a cache entry", temporary);
        try {
            writeAll(fd, text, temporary);
            if (::fsync(fd) != 0) throwErrno("cannot flush a cache entry", temporary);
        } catch (...) {
            ::close(fd);
            std::error_code ignored;
            std::filesystem::remove(temporary, ignored);
            throw;
        }
        ::close(fd);
        std::filesystem::rename(temporary, pathOf(key));
        syncDirectory();
        trim();
    }

    void erase(const std::string& key) override {
        std::error_code ignored;
        std::filesystem::remove(pathOf(key), ignored);
    }

    void clear() override {
        std::error_code error;
        for (const auto& item : std::filesystem::directory_iterator(directory_, error)) {
            const std::string name = item.path().filename().string();
            if (name.ends_with(entrySuffix) || name.starts_with(temporaryPrefix)) {
                std::error_code ignored;
                std::filesystem::remove(item.path(), ignored);
            }
        }
    }

private:
    std::filesystem::path pathOf(const std::string& key) const { return directory_ / (key + std::string(entrySuffix)); }

    static std::string randomSuffix() {
        thread_local std::mt19937_64 generator{std::random_device{}()};
        return std::to_string(generator());
    }

    void syncDirectory() const {
        int fd = ::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return;
        ::fsync(fd);
        ::close(fd);
    }

    // Keeps the directory within its bound, the entries written longest ago leaving first, and
    // removes what a crash left half-written.
    void trim() {
        struct Item {
            std::filesystem::file_time_type written;
            std::uintmax_t size;
            std::filesystem::path path;
        };
        std::vector<Item> items;
        std::uintmax_t total = 0;
        std::error_code error;
        const auto now = std::filesystem::file_time_type::clock::now();
        for (const auto& item : std::filesystem::directory_iterator(directory_, error)) {
            std::error_code ec;
            const std::string name = item.path().filename().string();
            auto written = item.last_write_time(ec);
            auto size = item.file_size(ec);
            if (ec) continue;
            if (name.starts_with(temporaryPrefix)) {
                // Another process may be writing it right now; one a minute old was abandoned.
                if (now - written > 1min) std::filesystem::remove(item.path(), ec);
                continue;
            }
            if (!name.ends_with(entrySuffix)) continue;
            items.push_back({written, size, item.path()});
            total += size;
        }
        if (total <= maxBytes_) return;
        std::sort(items.begin(), items.end(), [](const Item& a, const Item& b) { return a.written < b.written; });
        for (const auto& item : items) {
            if (total <= maxBytes_) break;
            std::error_code ec;
            std::filesystem::remove(item.path, ec);
            total -= item.size;
        }
    }

    std::filesystem::path directory_;
    std::size_t maxBytes_;
};

void forgetLocked(CacheStore& store, const std::string& key) noexcept {
    try {
        store.erase(key);
    } catch (...) {
        // An entry that cannot be removed is replaced or trimmed later; it serves nobody else.
    }
}

}  // namespace

std::size_t CachedAnswer::weight() const {
    std::size_t bytes = body.size() + 64;
    for (const auto& [name, value] : headers) bytes += name.size() + value.size() + 4;
    for (const auto& [name, value] : varied) bytes += name.size() + value.size() + 4;
    return bytes;
}

std::string encodeEntry(const std::string& key, const CachedAnswer& answer) {
    std::string out;
    out.reserve(answer.weight() + 256);
    putField(out, entryMagic);
    putField(out, key);
    putField(out, std::to_string(microseconds(answer.requestTime)));
    putField(out, std::to_string(microseconds(answer.responseTime)));
    putField(out, std::to_string(answer.statusCode));
    putField(out, answer.authorized ? "1" : "0");
    putPairs(out, answer.headers);
    putPairs(out, answer.varied);
    putField(out, answer.body);
    putField(out, "end");
    return out;
}

std::optional<CachedAnswer> decodeEntry(const std::string& key, std::string_view text) {
    FieldReader in{text};
    CachedAnswer answer;
    // The key inside must be the file's own: a file copied or renamed onto another key would
    // otherwise answer for another URL or account.
    if (in.next() != entryMagic || in.next() != key) return std::nullopt;
    answer.requestTime = fromMicroseconds(in.number<std::int64_t>());
    answer.responseTime = fromMicroseconds(in.number<std::int64_t>());
    answer.statusCode = in.number<std::int64_t>();
    std::string_view authorized = in.next();
    if (authorized != "0" && authorized != "1") return std::nullopt;
    answer.authorized = authorized == "1";
    if (!readPairs(in, answer.headers) || !readPairs(in, answer.varied)) return std::nullopt;
    answer.body = std::string(in.next());
    if (in.next() != "end" || in.failed || !in.rest.empty()) return std::nullopt;
    return answer;
}

std::unique_ptr<CacheStore> makeMemoryStore(std::size_t maxBytes) { return std::make_unique<MemoryStore>(maxBytes); }

std::unique_ptr<CacheStore> makeDirectoryStore(std::filesystem::path directory, std::size_t maxBytes) {
    return std::make_unique<DirectoryStore>(std::move(directory), maxBytes);
}

HttpCache::HttpCache(const HttpCacheConfig& config)
    : store_(config.directory ? makeDirectoryStore(*config.directory, config.maxBytes)
                              : makeMemoryStore(config.maxBytes)),
      maxBytes_(config.maxBytes) {}

HttpCache::Plan HttpCache::prepare(HttpRequest& request, Clock::time_point now) {
    Plan plan;
    if (request.method != "GET") {
        // Methods that change nothing need no invalidation; the others do (RFC 9111 4.4).
        if (request.method == "HEAD" || request.method == "OPTIONS" || request.method == "TRACE") return plan;
        plan.safe = false;
        plan.key = keyFor(request);
        return plan;
    }
    if (bypassesCache(request)) return plan;
    plan.key = keyFor(request);
    std::optional<CachedAnswer> stored;
    {
        std::lock_guard lock(mutex_);
        stored = store_->get(plan.key);
    }
    plan.found = stored.has_value();
    if (!stored || !variesAlike(*stored, request)) return plan;
    const bool mustValidate = requestsValidation(request) || has(cacheControl(stored->headers), "no-cache");
    Seconds lifetime = freshnessLifetime(*stored);
    if (auto limit = deltaSeconds(cacheControl(request.headers), "max-age")) lifetime = std::min(lifetime, *limit);
    if (!mustValidate && lifetime > currentAge(*stored, now)) {
        plan.answer = responseFrom(*stored, HttpCacheResult::stored);
        return plan;
    }
    auto etag = field(stored->headers, "ETag");
    auto modified = field(stored->headers, "Last-Modified");
    if (etag) request.setHeader("If-None-Match", *etag);
    if (modified) request.setHeader("If-Modified-Since", *modified);
    plan.revalidating = etag || modified;
    plan.stored = std::move(stored);
    return plan;
}

HttpResponse HttpCache::finish(const HttpRequest& request, Plan& plan, HttpResponse network, Clock::time_point requested,
                               Clock::time_point received) {
    if (plan.key.empty()) return network;
    if (!plan.safe) {
        if (network.isHTTP && network.statusCode < 400) forget(plan.key);
        return network;
    }
    if (plan.revalidating && network.isHTTP && network.statusCode == 304) {
        // RFC 9111 4.3.4: the 304's fields replace the stored ones of the same name.
        CachedAnswer& updated = *plan.stored;
        for (const auto& field304 : network.headers) {
            if (isUnstoredField(field304.first)) continue;
            std::erase_if(updated.headers,
                          [&](const auto& entry) { return equalsIgnoringCase(entry.first, field304.first); });
        }
        for (const auto& entry : storedFields(network.headers)) updated.headers.push_back(entry);
        updated.requestTime = requested;
        updated.responseTime = received;
        if (has(cacheControl(updated.headers), "no-store") || updated.weight() > maxBytes_) {
            forget(plan.key);
        } else {
            keep(plan.key, updated);
        }
        HttpResponse response = responseFrom(updated, HttpCacheResult::revalidated);
        response.url = std::move(network.url);
        return response;
    }
    if (plan.stored && isServerFailure(network)) {
        if (auto stale = staleIfError(*plan.stored, received)) return std::move(*stale);
    }
    const bool success = network.isHTTP && network.statusCode >= 200 && network.statusCode <= 299;
    if (!success) return network;
    Directives directives = cacheControl(network.headers);
    auto vary = listMembers(network.headers, "Vary");
    const bool storable =
        network.statusCode != 206 && (network.url.empty() || network.url == request.url) &&
        !has(directives, "no-store") && !has(cacheControl(request.headers), "no-store") &&
        std::none_of(vary.begin(), vary.end(), [](std::string_view v) { return v == "*"; }) &&
        (has(directives, "max-age") || field(network.headers, "Expires") || field(network.headers, "ETag") ||
         field(network.headers, "Last-Modified"));
    if (!storable) {
        // What is stored no longer stands for what the server says now. Only then: on a disk
        // store every removal is a system call, and most answers were never stored.
        if (plan.found) forget(plan.key);
        return network;
    }
    CachedAnswer answer;
    answer.statusCode = network.statusCode;
    answer.headers = storedFields(network.headers);
    answer.body = network.body;
    answer.requestTime = requested;
    answer.responseTime = received;
    answer.authorized = isAuthorized(request);
    for (std::string_view name : vary) {
        std::string lowered = lower(name);
        answer.varied.emplace_back(lowered, variedDigest(request, lowered));
    }
    if (answer.weight() <= maxBytes_) {
        keep(plan.key, answer);
    } else {
        forget(plan.key);
    }
    return network;
}

void HttpCache::keep(const std::string& key, const CachedAnswer& answer) noexcept {
    std::lock_guard lock(mutex_);
    try {
        store_->put(key, answer);
    } catch (...) {
        forgetLocked(*store_, key);
    }
}

void HttpCache::forget(const std::string& key) noexcept {
    std::lock_guard lock(mutex_);
    forgetLocked(*store_, key);
}

std::optional<HttpResponse> HttpCache::afterFailure(Plan& plan, Clock::time_point now) {
    if (!plan.safe || !plan.stored) return std::nullopt;
    return staleIfError(*plan.stored, now);
}

void HttpCache::clear() noexcept {
    std::lock_guard lock(mutex_);
    try {
        store_->clear();
    } catch (...) {
        // Keyed by the credentials, what remains cannot reach another account either.
    }
}

}  // namespace tarn::detail
