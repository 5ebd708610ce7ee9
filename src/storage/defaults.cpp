#include "tarn/storage/defaults.hpp"

#include "api/json_codec.hpp"
#include "storage/file_util.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <simdjson.h>

#include <algorithm>
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
// written back exactly as they were.
struct Member {
    std::string key;
    std::string rawValue;
    std::optional<std::string> stringValue;
};

// nullopt when the text is not a JSON object. Of repeated keys the first counts, as when reading.
std::optional<std::vector<Member>> parseObject(std::string_view text) {
    simdjson::dom::parser parser;
    simdjson::dom::object object;
    if (parser.parse(text.data(), text.size(), true).get(object)) return std::nullopt;
    std::vector<Member> members;
    for (auto field : object) {
        std::string key(field.key);
        bool seen = false;
        for (const auto& m : members) seen = seen || m.key == key;
        if (seen) continue;
        Member member{std::move(key), simdjson::to_string(field.value), std::nullopt};
        std::string_view s;
        if (!field.value.get_string().get(s)) member.stringValue = std::string(s);
        members.push_back(std::move(member));
    }
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
    if (!std::filesystem::exists(directory)) return;
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
