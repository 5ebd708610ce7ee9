#include "tarn/storage/shared_container.hpp"

#include "storage/file_util.hpp"
#include "tarn/json/json.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <system_error>
#include <thread>

namespace tarn {

namespace sd = storage_detail;

namespace {

constexpr const char* vlessFileName = "vless-config.json";
constexpr const char* xrayFileName = "xray-config.json";

struct Location {
    std::filesystem::path directory;
    bool privateFallback;
};

// A group identifier names one directory below the root and nothing else.
bool isPlainComponent(const std::string& s) {
    return !s.empty() && s != "." && s != ".." && s.find('/') == std::string::npos &&
           s.find('\0') == std::string::npos;
}

Location locate(const std::string& appGroupID, const std::filesystem::path& root) {
    if (isPlainComponent(appGroupID)) {
        std::filesystem::path group = root / appGroupID;
        struct stat st {};
        if (::stat(group.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return {group, false};
    }
    return {sd::privateTemporaryDirectory(), true};
}

sd::Directory open(const Location& location, bool create) {
    // The fallback lives in a directory every user can write to: only one that is ours alone
    // may hold the profile or be believed when read.
    if (location.privateFallback) return sd::openPrivateDirectory(location.directory, create);
    // The group directory is shared with the tunnel, perhaps through a group, and an installer
    // may have made it as root; a directory any user can write to could hold anyone's profile.
    return sd::openTrustedDirectory(location.directory, {.rootMayOwn = true, .groupMayWrite = true});
}

std::string readRecordText(const Location& location, const sd::Directory& dir,
                           std::size_t maxBytes = std::numeric_limits<std::size_t>::max()) {
    auto data = sd::readFileIfExists(dir, vlessFileName, maxBytes);
    if (!data) sd::throwErrno("cannot read file", location.directory / vlessFileName, ENOENT);
    return std::move(*data);
}

}  // namespace

std::filesystem::path SharedContainer::defaultRoot() { return "/var/lib/tarn/app-groups"; }

SharedContainer::SharedContainer(std::string appGroupID, std::filesystem::path root)
    : appGroupID_(std::move(appGroupID)), root_(std::move(root)) {}

std::filesystem::path SharedContainer::url() const { return locate(appGroupID_, root_).directory; }

void SharedContainer::write(const VLESSConfig& config) const {
    const std::string record = JSONEncoder::tarn().encode(config);
    sd::Directory dir = open(locate(appGroupID_, root_), true);
    // The tunnel reads the Xray file; the record goes last so that a reader of the record never
    // sees a profile whose Xray file is still the old one.
    sd::writeFilesAtomically(dir, {{xrayFileName, config.xrayJSON}, {vlessFileName, record}});
}

VLESSConfig SharedContainer::readConfig() const {
    Location location = locate(appGroupID_, root_);
    sd::Directory dir = open(location, false);
    return JSONDecoder::tarn().decode<VLESSConfig>(readRecordText(location, dir));
}

std::optional<VLESSConfig> SharedContainer::readMatchingConfig(std::size_t maxFileBytes) const {
    Location location = locate(appGroupID_, root_);
    sd::Directory dir = open(location, false);
    // A writer puts the Xray file first and the record last, moments apart: a reader that caught
    // the new Xray file beside the old record sees them match once the record follows.
    for (int attempt = 0;; ++attempt) {
        VLESSConfig record = JSONDecoder::tarn().decode<VLESSConfig>(readRecordText(location, dir, maxFileBytes));
        auto xray = sd::readFileIfExists(dir, xrayFileName, maxFileBytes);
        if (xray && *xray == record.xrayJSON) return record;
        if (attempt == 4) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5 << attempt));
    }
}

void SharedContainer::clearVPNConfig() const noexcept {
    try {
        sd::Directory dir = open(locate(appGroupID_, root_), false);
        for (const char* name : {vlessFileName, xrayFileName}) {
            try {
                sd::removeFile(dir, name);
            } catch (...) {
            }
        }
    } catch (...) {
    }
}

}  // namespace tarn
