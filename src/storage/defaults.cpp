#include "tarn/storage/defaults.hpp"

#include "tarn/json/json_codec.hpp"
#include "json/json_tokenizer.hpp"
#include "storage/file_util.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
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
// written back exactly as they were (simdjson would rewrite 1.50 as 1.5 and refuse 2^64).
struct Member {
    std::string rawKey;
    std::optional<std::string> key;  // absent when the key is valid JSON but not Unicode
    std::string rawValue;
    std::optional<std::string> stringValue;
};

struct ParsedObject {
    std::vector<Member> members;
    bool damaged = false;  // the text is not one JSON object; `members` are those still readable
};

// After a fault: the start of the next member that follows a comma, or the end.
void skipToNextMember(json::Tokenizer& tokenizer) {
    while (!tokenizer.atEnd()) {
        if (tokenizer.consume(',')) {
            tokenizer.skipSpace();
            if (tokenizer.peek('"')) return;
        } else {
            tokenizer.seek(tokenizer.position() + 1);
        }
    }
}

bool isUTF8(std::string_view text) { return simdjson::validate_utf8(text.data(), text.size()); }

// One member at the scanner's position; nullopt (position unspecified) when it is damaged.
std::optional<Member> scanMember(json::Tokenizer& scanner) {
    using json::SyntaxFault;
    const std::string_view text = scanner.text();
    std::size_t keyStart = scanner.position();
    if (!scanner.peek('"') || scanner.string(nullptr) != SyntaxFault::none) return std::nullopt;
    std::string_view rawKey = text.substr(keyStart, scanner.position() - keyStart);
    scanner.skipSpace();
    if (!scanner.consume(':')) return std::nullopt;
    scanner.skipSpace();
    std::size_t valueStart = scanner.position();
    if (scanner.skipValue(1) != SyntaxFault::none) return std::nullopt;
    std::string_view rawValue = text.substr(valueStart, scanner.position() - valueStart);
    if (!isUTF8(rawKey) || !isUTF8(rawValue)) return std::nullopt;
    // Valid JSON that is not valid Unicode (a lone surrogate escape) is kept as it is, unread.
    Member member{std::string(rawKey), json::decodeStringLiteral(rawKey), std::string(rawValue), std::nullopt};
    if (rawValue.front() == '"') member.stringValue = json::decodeStringLiteral(rawValue);
    return member;
}

// The members of a JSON object text. A damaged text yields every member that can still be read
// whole: those before the damage and those after it that start after a comma. Of repeated keys
// the first counts, as when reading.
ParsedObject parseObject(std::string_view text) {
    // Deep enough for any settings; a limit keeps a hostile file from exhausting the stack.
    constexpr std::size_t maxDepth = 513;
    ParsedObject parsed;
    json::Tokenizer scanner(text, maxDepth);
    scanner.skipSpace();
    if (!scanner.consume('{')) {
        parsed.damaged = true;
        std::size_t brace = text.find('{');
        if (brace == std::string_view::npos) return parsed;
        scanner.seek(brace + 1);
    }
    auto add = [&](Member member) {
        bool seen = std::any_of(parsed.members.begin(), parsed.members.end(), [&](const Member& m) {
            return m.key && member.key ? *m.key == *member.key : m.rawKey == member.rawKey;
        });
        if (!seen) parsed.members.push_back(std::move(member));
    };
    scanner.skipSpace();
    if (scanner.consume('}')) {
        scanner.skipSpace();
        parsed.damaged = parsed.damaged || !scanner.atEnd();
        return parsed;
    }
    while (!scanner.atEnd()) {
        std::size_t start = scanner.position();
        if (auto member = scanMember(scanner)) {
            add(std::move(*member));
            scanner.skipSpace();
            if (scanner.consume(',')) {
                scanner.skipSpace();
                continue;
            }
            if (scanner.consume('}')) {
                scanner.skipSpace();
                if (scanner.atEnd()) return parsed;
            }
        } else {
            scanner.seek(start);
        }
        parsed.damaged = true;
        skipToNextMember(scanner);
    }
    parsed.damaged = true;
    return parsed;
}

std::string jsonString(std::string_view s) { return json::stringLiteral(s); }

std::string serialise(const std::vector<Member>& members) {
    std::string out = "{";
    for (std::size_t i = 0; i < members.size(); ++i) {
        out += i == 0 ? "\n  " : ",\n  ";
        out += members[i].rawKey;
        out += ": ";
        out += members[i].rawValue;
    }
    out += members.empty() ? "}\n" : "\n}\n";
    return out;
}

std::filesystem::path directoryOf(const std::filesystem::path& file) {
    return file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
}

// The directory must be one nobody else can write to: whoever can replace the file decides the
// device identifier.
sd::Directory openStateDirectory(const std::filesystem::path& file) { return sd::openTrustedDirectory(directoryOf(file)); }

// The file's text; nullopt when missing. Something other than a file in its place (a directory, a
// FIFO) reads as an empty damaged text; a symbolic link and a file we may not read fail.
std::optional<std::string> readText(const sd::Directory& dir, const std::string& name, bool& notAFile) {
    notAFile = false;
    try {
        return sd::readFileIfExists(dir, name);
    } catch (const std::filesystem::filesystem_error& error) {
        if (error.code() != std::errc::is_a_directory && error.code() != std::errc::invalid_argument) throw;
        notAFile = true;
        return std::string();
    }
}

constexpr std::size_t keptDamagedCopies = 8;

// Moves a damaged file aside as "<name>.corrupt.<n>", n one above the highest in use, so no earlier
// copy is ever overwritten. Beyond `keptDamagedCopies` the oldest go, except the first: it holds
// what the file was before anything went wrong.
void keepDamagedCopy(const sd::Directory& dir, const std::string& name) {
    const std::string prefix = name + ".corrupt.";
    std::vector<unsigned long> numbers;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path, ec)) {
        std::string entryName = entry.path().filename().string();
        if (entryName.rfind(prefix, 0) != 0) continue;
        char* end = nullptr;
        unsigned long n = std::strtoul(entryName.c_str() + prefix.size(), &end, 10);
        if (end && *end == '\0' && n > 0) numbers.push_back(n);
    }
    std::sort(numbers.begin(), numbers.end());
    const unsigned long next = numbers.empty() ? 1 : numbers.back() + 1;
    const std::string aside = prefix + std::to_string(next);
    if (::renameat2(dir.fd.get(), name.c_str(), dir.fd.get(), aside.c_str(), RENAME_NOREPLACE) != 0) {
        // Writers hold the defaults lock here, so where the file system cannot refuse to replace,
        // a plain rename to a name just seen free is as safe.
        if (errno != EINVAL || ::renameat(dir.fd.get(), name.c_str(), dir.fd.get(), aside.c_str()) != 0) {
            sd::throwErrno("cannot keep the damaged defaults file aside", dir.path / aside, errno);
        }
    }
    numbers.push_back(next);
    const std::size_t surplus = numbers.size() > keptDamagedCopies ? numbers.size() - keptDamagedCopies : 0;
    for (std::size_t i = 1; i <= surplus; ++i) {
        const std::string old = prefix + std::to_string(numbers[i]);
        struct stat st {};
        if (::fstatat(dir.fd.get(), old.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            std::filesystem::remove_all(dir.path / old, ec);
        } else {
            ::unlinkat(dir.fd.get(), old.c_str(), 0);
        }
    }
}

// Re-reads the file under the lock, applies `edit` and writes the result when it changed
// something or the file was damaged.
void changeFile(const std::filesystem::path& file, std::chrono::milliseconds lockTimeout,
                const std::function<bool(std::vector<Member>&)>& edit) {
    sd::createDirectories(directoryOf(file));
    sd::Directory dir = openStateDirectory(file);
    const std::string name = file.filename().native();
    sd::FileLock lock(dir, name + ".lock", lockTimeout, "the lock on " + file.string());

    bool notAFile = false;
    bool damaged = false;
    std::vector<Member> members;
    if (auto text = readText(dir, name, notAFile)) {
        ParsedObject parsed = parseObject(*text);
        members = std::move(parsed.members);
        damaged = parsed.damaged || notAFile;
    }
    bool changed = edit(members);
    if (!changed && !damaged) return;
    // The damaged file is kept as it was; what could be read of it carries on in the new one.
    if (damaged) keepDamagedCopy(dir, name);
    sd::writeFileAtomically(dir, name, serialise(members));
}

}  // namespace

JSONFileDefaults::JSONFileDefaults(std::filesystem::path file, std::chrono::milliseconds lockTimeout)
    : file_(std::move(file)), lockTimeout_(lockTimeout) {}

std::filesystem::path JSONFileDefaults::defaultPath() {
    const char* configHome = std::getenv("XDG_CONFIG_HOME");
    std::filesystem::path base =
        (configHome && *configHome == '/') ? std::filesystem::path(configHome) : sd::homeDirectory() / ".config";
    return base / "tarn" / "defaults.json";
}

std::optional<std::string> JSONFileDefaults::stringForKey(std::string_view key) {
    // Writers replace the file by rename, so a reader needs no lock to see a whole file.
    std::optional<sd::Directory> dir;
    try {
        dir = openStateDirectory(file_);
    } catch (const std::filesystem::filesystem_error& error) {
        if (error.code() == std::errc::no_such_file_or_directory) return std::nullopt;
        throw;
    }
    bool notAFile = false;
    auto text = readText(*dir, file_.filename().native(), notAFile);
    if (!text) return std::nullopt;
    for (const auto& m : parseObject(*text).members) {
        if (m.key == key) return m.stringValue;
    }
    return std::nullopt;
}

void JSONFileDefaults::setString(std::string_view key, std::string_view value) {
    updateString(key, [&](const std::optional<std::string>&) { return std::string(value); });
}

void JSONFileDefaults::removeObject(std::string_view key) {
    std::lock_guard guard(mutex_);
    if (!std::filesystem::exists(directoryOf(file_))) return;
    changeFile(file_, lockTimeout_, [&](std::vector<Member>& members) {
        auto before = members.size();
        std::erase_if(members, [&](const Member& m) { return m.key == key; });
        return members.size() != before;
    });
}

std::optional<std::string> JSONFileDefaults::updateString(std::string_view key, const StringTransform& transform) {
    std::lock_guard guard(mutex_);
    std::optional<std::string> result;
    changeFile(file_, lockTimeout_, [&](std::vector<Member>& members) {
        auto found = std::find_if(members.begin(), members.end(), [&](const Member& m) { return m.key == key; });
        result = found == members.end() ? std::nullopt : found->stringValue;
        auto next = transform(result);
        if (!next) return false;
        Member replacement{jsonString(key), std::string(key), jsonString(*next), *next};
        if (found == members.end()) {
            members.push_back(std::move(replacement));
        } else {
            *found = std::move(replacement);
        }
        result = std::move(next);
        return true;
    });
    return result;
}

}  // namespace tarn
