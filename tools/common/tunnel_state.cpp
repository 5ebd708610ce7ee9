#include "common/tunnel_state.hpp"

#include "common/instance_lock.hpp"

#include <tarn/platform/digest.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <system_error>

#include <nlohmann/json.hpp>

namespace tarn::tunnel {

namespace fs = std::filesystem;
using Json = nlohmann::json;

namespace {

[[noreturn]] void fail(const std::string& what, const fs::path& path, int error) {
    throw fs::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

fs::path fromEnv(const char* name) {
    const char* v = std::getenv(name);
    return v && *v == '/' ? fs::path(v) : fs::path();
}

}  // namespace

std::string encodeState(const TunnelState& s) {
    Json j{{"state", s.state},           {"reason", s.reason},         {"profile", s.profile},
           {"server_id", s.serverID},    {"socks_port", s.socksPort},  {"http_port", s.httpPort},
           {"pid", s.pid},               {"updated_at", s.updatedAt},  {"restarts", s.restarts},
           {"mode", s.mode},             {"kill_switch", s.killSwitch}};
    return j.dump(2) + "\n";
}

std::optional<TunnelState> decodeState(std::string_view text) {
    Json j = Json::parse(text, nullptr, false);
    if (!j.is_object()) return std::nullopt;
    try {
        TunnelState s;
        s.state = j.at("state").get<std::string>();
        s.reason = j.value("reason", "");
        s.profile = j.value("profile", "");
        s.serverID = j.value("server_id", "");
        s.socksPort = j.value("socks_port", 0);
        s.httpPort = j.value("http_port", 0);
        s.pid = j.value("pid", 0);
        s.updatedAt = j.value("updated_at", std::int64_t{0});
        s.restarts = j.value("restarts", 0);
        s.mode = j.value("mode", "proxy");
        s.killSwitch = j.value("kill_switch", false);
        return s;
    } catch (const Json::exception&) {
        return std::nullopt;
    }
}

fs::path defaultRunDirectory() {
    if (auto p = fromEnv("TARN_TUNNEL_DIR"); !p.empty()) return p;
    if (auto p = fromEnv("XDG_RUNTIME_DIR"); !p.empty()) return p / "tarn-tunnel";
    if (auto p = fromEnv("XDG_STATE_HOME"); !p.empty()) return p / "tarn-tunnel";
    if (auto p = fromEnv("HOME"); !p.empty()) return p / ".local/state/tarn-tunnel";
    return fs::temp_directory_path() / ("tarn-tunnel-" + std::to_string(::geteuid()));
}

fs::path systemRunDirectory() { return "/run/tarn-tunnel"; }

std::optional<std::pair<TunnelState, fs::path>> findLiveState() {
    for (const fs::path& directory : {defaultRunDirectory(), systemRunDirectory()})
        if (auto state = readLiveState(directory)) return std::pair(*state, directory);
    return std::nullopt;
}

void ensurePrivateDirectory(const fs::path& directory, bool readable) {
    std::error_code ec;
    fs::create_directories(directory.parent_path(), ec);
    if (::mkdir(directory.c_str(), readable ? 0755 : 0700) != 0 && errno != EEXIST) fail("cannot create directory", directory, errno);
    struct stat st {};
    if (::lstat(directory.c_str(), &st) != 0) fail("cannot inspect directory", directory, errno);
    // The generated configuration holds the credential: only a directory that is ours alone.
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & (readable ? 022 : 077)) != 0) {
        fail("not a private directory of this user (owner " + std::to_string(st.st_uid) + ", mode " +
                 [&] {
                     char buf[8];
                     std::snprintf(buf, sizeof buf, "%03o", static_cast<unsigned>(st.st_mode & 0777));
                     return std::string(buf);
                 }() + ")",
             directory, EPERM);
    }
}

void writePrivateFile(const fs::path& path, std::string_view content, mode_t mode) {
    fs::path temporary = path;
    temporary += ".tmp-" + std::to_string(::getpid());
    // A fresh file, never one found under that name: whatever was there (a link) is not followed.
    ::unlink(temporary.c_str());
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    // Past the umask, which may be stricter than the file needs to be.
    if (fd >= 0 && mode != 0600) ::fchmod(fd, mode);
    if (fd < 0) fail("cannot create file", temporary, errno);
    const char* p = content.data();
    std::size_t left = content.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int e = errno;
            ::close(fd);
            ::unlink(temporary.c_str());
            fail("cannot write file", temporary, e);
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        int e = errno;
        ::unlink(temporary.c_str());
        fail("cannot replace file", path, e);
    }
}

std::optional<TunnelState> readLiveState(const fs::path& runDirectory) {
    fs::path path = stateFile(runDirectory);
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    std::string text;
    struct stat st {};
    // This user's own service, or the system-mode one.
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_uid == ::geteuid() || st.st_uid == 0) &&
        st.st_size <= 65536) {
        text.resize(static_cast<std::size_t>(st.st_size));
        ssize_t n = ::read(fd, text.data(), text.size());
        text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    }
    ::close(fd);
    auto state = decodeState(text);
    if (!state || state->pid <= 0 || state->state == "stopped") return std::nullopt;
    // Only the service that holds the run directory speaks for it: a killed one leaves its last
    // state behind, and its pid may since have gone to another process.
    if (lockHolder(runDirectory) != state->pid) return std::nullopt;
    return state;
}

std::string profileFingerprint(std::string_view xrayJSON) {
    return digest::hexValue(digest::fnv1a(xrayJSON));
}

}  // namespace tarn::tunnel
