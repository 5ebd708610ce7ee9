// The update decision: compares the running application's version and build with the release
// the backend publishes and answers whether an update is required, optional or not needed.
// Pure; no network and no stored state.
#pragma once

#include "tarn/export.hpp"
#include "tarn/models/billing_telemetry.hpp"

#include <compare>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace tarn {

/// optional(release), required(release) or upToDate. Equal when the case and the release are.
class TARN_EXPORT AppUpdateRequirement {
public:
    enum class Kind { optional, required, upToDate };

    /// A newer release, or a newer build of the same version, exists.
    static AppUpdateRequirement optional(IOSAppRelease release) {
        return AppUpdateRequirement(Kind::optional, std::move(release));
    }
    /// The running version is below the oldest supported one.
    static AppUpdateRequirement required(IOSAppRelease release) {
        return AppUpdateRequirement(Kind::required, std::move(release));
    }
    static AppUpdateRequirement upToDate() { return AppUpdateRequirement(Kind::upToDate, std::nullopt); }

    Kind kind() const noexcept { return kind_; }
    /// The release carried by optional and required; nullopt for upToDate.
    const std::optional<IOSAppRelease>& release() const noexcept { return release_; }

    /// "upToDate", or "optional(version: 1.1, build: 7)" / "required(...)".
    std::string description() const;

    friend bool operator==(const AppUpdateRequirement&, const AppUpdateRequirement&) = default;
    friend std::ostream& operator<<(std::ostream& os, const AppUpdateRequirement& r) {
        return os << r.description();
    }

private:
    AppUpdateRequirement(Kind kind, std::optional<IOSAppRelease> release)
        : kind_(kind), release_(std::move(release)) {}

    Kind kind_;
    std::optional<IOSAppRelease> release_;
};

struct TARN_EXPORT AppUpdatePolicy {
    /// In order: no update unless release.installURL is https (any case); required when
    /// currentVersion is below release.minimumSupportedVersion; then against release.version:
    /// lower -> optional, equal -> optional only when currentBuild < release.build, higher or
    /// unreadable -> upToDate. Versions compare numerically per component, missing trailing
    /// components count as zero (1.2 == 1.2.0); an unreadable minimum decides nothing.
    static AppUpdateRequirement evaluate(std::string_view currentVersion, std::int64_t currentBuild,
                                         const IOSAppRelease& release);

private:
    /// Each "."-separated piece's leading run of numeric characters as a number: "2.1.0-beta3" is
    /// 2, 1, 0. nullopt when a piece has no such run, holds non-ASCII digits or overflows.
    static std::optional<std::vector<std::int64_t>> components(std::string_view version);
    /// Three-way comparison of two versions; nullopt when either is unreadable.
    static std::optional<std::strong_ordering> compare(std::string_view left, std::string_view right);
};

}  // namespace tarn
