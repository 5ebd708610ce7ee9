#include "tarn/storage/defaults.hpp"

#include "tarn/api/json_codec.hpp"
#include "storage/file_util.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <simdjson.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <vector>

namespace tarn {

namespace sd = storage_detail;

std::optional<std::string> Defaults::updateString(std::string_view key, const StringTransform& transform) {
    auto current = stringForKey(key);
    auto next = transform(current);
    if (!next) return current;
    setString(key, *next);
    return next;
}

// ---------------------------------------------------------------------------------------------

std::optional<std::string> InMemoryDefaults::stringForKey(std::string_view key) {
    std::lock_guard guard(mutex_);
    auto found = values_.find(key);
    if (found == values_.end()) return std::nullopt;
    return found->second;
}

void InMemoryDefaults::setString(std::string_view key, std::string_view value) {
    std::lock_guard guard(mutex_);
    values_.insert_or_assign(std::string(key), std::string(value));
    ++writes_;
}

void InMemoryDefaults::removeObject(std::string_view key) {
    std::lock_guard guard(mutex_);
    if (auto found = values_.find(key); found != values_.end()) values_.erase(found);
}

std::optional<std::string> InMemoryDefaults::updateString(std::string_view key, const StringTransform& transform) {
    std::lock_guard guard(mutex_);
    std::optional<std::string> current;
    if (auto found = values_.find(key); found != values_.end()) current = found->second;
    auto next = transform(current);
    if (!next) return current;
    values_.insert_or_assign(std::string(key), *next);
    ++writes_;
    return next;
}

std::size_t InMemoryDefaults::writeCount() const {
    std::lock_guard guard(mutex_);
    return writes_;
}

// ---------------------------------------------------------------------------------------------

namespace {

// One member of the file, kept as its JSON text so values this store does not understand are
// written back exactly as they were (simdjson would rewrite 1.50 as 1.5 and refuse 2^64).
struct Member {
    std::string key;
    std::string rawValue;
    std::optional<std::string> stringValue;
};

// Decodes one JSON string literal (already checked by the scanner); nullopt for an escape simdjson
// refuses, such as a lone surrogate.
std::optional<std::string> decodeStringLiteral(std::string_view literal) {
    simdjson::dom::parser parser;
    std::string_view s;
    if (parser.parse(literal.data(), literal.size(), true).get_string().get(s)) return std::nullopt;
    return std::string(s);
}

// A strict JSON scanner that only finds where values begin and end.
class Scanner {
public:
    explicit Scanner(std::string_view text) : text_(text) {}

    std::size_t position() const { return pos_; }
    bool atEnd() const { return pos_ == text_.size(); }
    bool consume(char c) {
        if (pos_ < text_.size() && text_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }
    bool peek(char c) const { return pos_ < text_.size() && text_[pos_] == c; }
    void whitespace() {
        while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\n' || text_[pos_] == '\r')) ++pos_;
    }

    bool string() {
        if (!consume('"')) return false;
        while (pos_ < text_.size()) {
            auto c = static_cast<unsigned char>(text_[pos_++]);
            if (c == '"') return true;
            if (c < 0x20) return false;
            if (c != '\\') continue;
            if (pos_ >= text_.size()) return false;
            char e = text_[pos_++];
            if (e == 'u') {
                for (int i = 0; i < 4; ++i) {
                    if (pos_ >= text_.size() || !std::isxdigit(static_cast<unsigned char>(text_[pos_++]))) return false;
                }
            } else if (std::string_view("\"\\/bfnrt").find(e) == std::string_view::npos) {
                return false;
            }
        }
        return false;
    }

    bool value(int depth) {
        if (depth > maxDepth || pos_ >= text_.size()) return false;
        switch (text_[pos_]) {
            case '"': return string();
            case '{': return container('}', depth, true);
            case '[': return container(']', depth, false);
            case 't': return literal("true");
            case 'f': return literal("false");
            case 'n': return literal("null");
            default: return number();
        }
    }

private:
    static constexpr int maxDepth = 512;

    bool digits() {
        std::size_t start = pos_;
        while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') ++pos_;
        return pos_ > start;
    }
    bool number() {
        consume('-');
        if (consume('0')) {
            if (peek('0') || (pos_ < text_.size() && text_[pos_] >= '1' && text_[pos_] <= '9')) return false;
        } else if (!digits()) {
            return false;
        }
        if (consume('.') && !digits()) return false;
        if (consume('e') || consume('E')) {
            if (!consume('+')) consume('-');
            if (!digits()) return false;
        }
        return true;
    }
    bool literal(std::string_view word) {
        if (text_.substr(pos_, word.size()) != word) return false;
        pos_ += word.size();
        return true;
    }
    bool container(char close, int depth, bool object) {
        ++pos_;
        whitespace();
        if (consume(close)) return true;
        for (;;) {
            if (object) {
                if (!string()) return false;
                whitespace();
                if (!consume(':')) return false;
                whitespace();
            }
            if (!value(depth + 1)) return false;
            whitespace();
            if (consume(close)) return true;
            if (!consume(',')) return false;
            whitespace();
        }
    }

    std::string_view text_;
    std::size_t pos_ = 0;
};

// The members of a JSON object text; nullopt when the text is not one. Of repeated keys the
// first counts, as when reading.
std::optional<std::vector<Member>> parseObject(std::string_view text) {
    if (!simdjson::validate_utf8(text.data(), text.size())) return std::nullopt;
    Scanner scanner(text);
    scanner.whitespace();
    if (!scanner.consume('{')) return std::nullopt;
    std::vector<Member> members;
    scanner.whitespace();
    if (!scanner.consume('}')) {
        for (;;) {
            std::size_t keyStart = scanner.position();
            if (!scanner.string()) return std::nullopt;
            auto key = decodeStringLiteral(text.substr(keyStart, scanner.position() - keyStart));
            if (!key) return std::nullopt;
            scanner.whitespace();
            if (!scanner.consume(':')) return std::nullopt;
            scanner.whitespace();
            std::size_t valueStart = scanner.position();
            if (!scanner.value(1)) return std::nullopt;
            std::string_view raw = text.substr(valueStart, scanner.position() - valueStart);
            std::optional<std::string> stringValue;
            if (raw.front() == '"') {
                stringValue = decodeStringLiteral(raw);
                if (!stringValue) return std::nullopt;
            }
            bool seen = std::any_of(members.begin(), members.end(), [&](const Member& m) { return m.key == *key; });
            if (!seen) members.push_back({std::move(*key), std::string(raw), std::move(stringValue)});
            scanner.whitespace();
            if (scanner.consume('}')) break;
            if (!scanner.consume(',')) return std::nullopt;
            scanner.whitespace();
        }
    }
    scanner.whitespace();
    if (!scanner.atEnd()) return std::nullopt;
    return members;
}

std::string jsonString(std::string_view s) {
    json::detail::EncodeContext ctx{JSONEncoder::DateStrategy::deferredToDate, {}, {}};
    json::detail::writeString(ctx, s);
    return std::move(ctx.out);
}

std::string serialise(const std::vector<Member>& members) {
    std::string out = "{";
    for (std::size_t i = 0; i < members.size(); ++i) {
        out += i == 0 ? "\n  " : ",\n  ";
        out += jsonString(members[i].key);
        out += ": ";
        out += members[i].rawValue;
    }
    out += members.empty() ? "}\n" : "\n}\n";
    return out;
}

std::optional<std::string> readStringMember(const std::filesystem::path& file, std::string_view key) {
    std::optional<std::string> text;
    try {
        text = sd::readFileIfExists(file);
    } catch (const std::filesystem::filesystem_error&) {
        return std::nullopt;
    }
    if (!text) return std::nullopt;
    auto members = parseObject(*text);
    if (!members) return std::nullopt;
    for (const auto& m : *members) {
        if (m.key == key) return m.stringValue;
    }
    return std::nullopt;
}

// Holds an exclusive flock(2) on the lock file beside the defaults file for its lifetime.
class FileLock {
public:
    explicit FileLock(const std::filesystem::path& path) {
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) sd::throwErrno("cannot open lock file", path, errno);
        fd_ = sd::FileDescriptor(fd);
        while (::flock(fd, LOCK_EX) != 0) {
            if (errno != EINTR) sd::throwErrno("cannot lock file", path, errno);
        }
    }

private:
    sd::FileDescriptor fd_;  // closing it releases the lock
};

}  // namespace

JSONFileDefaults::JSONFileDefaults(std::filesystem::path file) : file_(std::move(file)) {}

std::filesystem::path JSONFileDefaults::defaultPath() {
    const char* configHome = std::getenv("XDG_CONFIG_HOME");
    std::filesystem::path base =
        (configHome && *configHome == '/') ? std::filesystem::path(configHome) : sd::homeDirectory() / ".config";
    return base / "tarn" / "defaults.json";
}

std::optional<std::string> JSONFileDefaults::stringForKey(std::string_view key) {
    // Writers replace the file by rename, so a reader needs no lock to see a whole file.
    return readStringMember(file_, key);
}

void JSONFileDefaults::setString(std::string_view key, std::string_view value) {
    updateString(key, [&](const std::optional<std::string>&) { return std::string(value); });
}

void JSONFileDefaults::removeObject(std::string_view key) {
    std::lock_guard guard(mutex_);
    const std::filesystem::path directory = file_.has_parent_path() ? file_.parent_path() : ".";
    std::error_code ec;
    if (!std::filesystem::is_directory(directory, ec)) return;
    FileLock lock(std::filesystem::path(file_) += ".lock");
    auto text = sd::readFileIfExists(file_);
    if (!text) return;
    auto members = parseObject(*text);
    if (!members) return;
    std::erase_if(*members, [&](const Member& m) { return m.key == key; });
    sd::Directory dir = sd::openDirectory(directory);
    sd::writeFileAtomically(dir, file_.filename().native(), serialise(*members));
}

std::optional<std::string> JSONFileDefaults::updateString(std::string_view key, const StringTransform& transform) {
    std::lock_guard guard(mutex_);
    const std::filesystem::path directory = file_.has_parent_path() ? file_.parent_path() : ".";
    sd::createDirectories(directory);
    FileLock lock(std::filesystem::path(file_) += ".lock");

    sd::Directory dir = sd::openDirectory(directory);
    const std::string name = file_.filename().native();
    std::vector<Member> members;
    if (auto text = sd::readFileIfExists(dir, name)) {
        if (auto parsed = parseObject(*text)) {
            members = std::move(*parsed);
        } else {
            // Keep what cannot be read rather than overwrite it; the store starts afresh.
            const std::string aside = name + ".corrupt";
            if (::renameat(dir.fd.get(), name.c_str(), dir.fd.get(), aside.c_str()) != 0) {
                sd::throwErrno("cannot move unreadable defaults file aside", file_, errno);
            }
        }
    }

    auto found = std::find_if(members.begin(), members.end(), [&](const Member& m) { return m.key == key; });
    std::optional<std::string> current = found == members.end() ? std::nullopt : found->stringValue;
    auto next = transform(current);
    if (!next) return current;

    Member replacement{std::string(key), jsonString(*next), *next};
    if (found == members.end()) {
        members.push_back(std::move(replacement));
    } else {
        *found = std::move(replacement);
    }
    sd::writeFileAtomically(dir, name, serialise(members));
    return next;
}

}  // namespace tarn
