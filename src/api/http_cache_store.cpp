// Where the cache's answers live: a bounded in-memory map, or a directory with one file per
// answer, written so that other processes and a crash only ever see whole entries.
#include "api/http_cache_store.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <fstream>
#include <list>
#include <random>
#include <sstream>
#include <system_error>
#include <unordered_map>

namespace tarn::detail {

namespace {

using namespace std::chrono_literals;

// --- in memory --------------------------------------------------------------------------------

class MemoryStore final : public CacheStore {
public:
    explicit MemoryStore(std::size_t maxBytes) : maxBytes_(maxBytes) {}

    std::optional<CachedAnswer> get(const std::string& key) override {
        auto found = entries_.find(key);
        if (found == entries_.end()) return std::nullopt;
        return found->second.answer;
    }

    void put(const std::string& key, std::string_view url, const CachedAnswer& answer) override {
        erase(key);
        order_.push_front(key);
        auto& counted = *urls_.try_emplace(std::string(url), 0).first;
        entries_.emplace(key, Entry{answer, order_.begin(), &counted});
        ++counted.second;
        bytes_ += answer.weight();
        while (bytes_ > maxBytes_ && !order_.empty()) erase(order_.back());
    }

    void erase(const std::string& key) override {
        auto found = entries_.find(key);
        if (found == entries_.end()) return;
        bytes_ -= found->second.answer.weight();
        order_.erase(found->second.position);
        if (--found->second.url->second == 0) urls_.erase(urls_.find(found->second.url->first));
        entries_.erase(found);
    }

    void clear() override {
        entries_.clear();
        order_.clear();
        urls_.clear();
        bytes_ = 0;
    }

    bool mayHold(std::string_view url) const override {
        return !urls_.empty() && urls_.find(url) != urls_.end();
    }

private:
    struct UrlHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view url) const noexcept { return std::hash<std::string_view>{}(url); }
    };
    using UrlCounts = std::unordered_map<std::string, std::size_t, UrlHash, std::equal_to<>>;
    struct Entry {
        CachedAnswer answer;
        std::list<std::string>::iterator position;
        UrlCounts::value_type* url;  // elements stay put when the map rehashes, iterators do not
    };
    std::size_t maxBytes_;
    std::size_t bytes_ = 0;
    std::list<std::string> order_;  // most recently stored first
    std::unordered_map<std::string, Entry> entries_;
    // How many entries each URL has; URLs are no secret, the keys (digests of credentials) are.
    UrlCounts urls_;
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

std::int64_t microseconds(CacheClock::time_point t) {
    return std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
}

CacheClock::time_point fromMicroseconds(std::int64_t us) {
    return CacheClock::time_point(
        std::chrono::duration_cast<CacheClock::duration>(std::chrono::microseconds(us)));
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
    void put(const std::string& key, std::string_view /*url*/, const CachedAnswer& answer) override {
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

    // Other processes fill the directory too: only a lookup can tell.
    bool mayHold(std::string_view /*url*/) const override { return true; }

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

}  // namespace

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

}  // namespace tarn::detail
