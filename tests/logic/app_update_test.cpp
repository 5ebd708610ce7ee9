#include "tarn/logic/app_update.hpp"

#include <gtest/gtest.h>

namespace tarn {
namespace {

using Kind = AppUpdateRequirement::Kind;

IOSAppRelease release(std::string version, std::int64_t build, std::string minimum,
                      std::string link = "https://apps.example.com/tarn") {
    IOSAppRelease r;
    r.version = std::move(version);
    r.build = build;
    r.minimumSupportedVersion = std::move(minimum);
    r.installURL = URL::parse(link).value();
    return r;
}

struct Case {
    const char* name;
    const char* current;
    std::int64_t currentBuild;
    IOSAppRelease release;
    Kind expected;
};

TEST(AppUpdatePolicy, Decisions) {
    const Case cases[] = {
        {"newer release", "1.0", 5, release("1.1", 1, "1.0"), Kind::optional},
        {"below minimum", "1.0", 5, release("1.0", 5, "1.0.1"), Kind::required},
        {"below minimum beats newer", "1.0", 5, release("2.0", 1, "1.5"), Kind::required},
        {"minimum equal with trailing zero", "1.2", 7, release("1.2.0", 7, "1.2.0"), Kind::upToDate},
        {"same version, newer build", "1.2", 7, release("1.2.0", 8, "1.0"), Kind::optional},
        {"same version, same build", "1.2", 7, release("1.2.0", 7, "1.0"), Kind::upToDate},
        {"same version, older build", "1.2", 7, release("1.2.0", 6, "1.0"), Kind::upToDate},
        {"builds never make it required", "1.2", 1, release("1.2", 99, "1.2"), Kind::optional},
        {"ahead of the release", "2.0", 1, release("1.9", 99, "1.0"), Kind::upToDate},
        {"numeric, not textual", "1.10", 1, release("1.9", 99, "1.0"), Kind::upToDate},
        {"numeric, not textual (behind)", "1.9", 1, release("1.10", 1, "1.0"), Kind::optional},
        {"leading zeros", "1.02", 1, release("1.2", 2, "1.0"), Kind::optional},
        {"more trailing zeros", "1.2.0.0.0", 1, release("1.2", 1, "1.2.0"), Kind::upToDate},
        {"one longer non-zero", "1.2", 1, release("1.2.0.1", 1, "1.0"), Kind::optional},
        {"suffixes are ignored", "1.2.3", 1, release("1.2.3-rc1", 1, "1.0"), Kind::upToDate},
        {"suffix reads its run", "1.2.2-rc9", 1, release("1.2.3-rc1", 1, "1.0"), Kind::optional},
        {"piece 10b is 10", "10b", 1, release("9", 1, "1"), Kind::upToDate},
        {"plain http link", "1.0", 1, release("2.0", 1, "1.5", "http://apps.example.com/tarn"), Kind::upToDate},
        {"other scheme", "1.0", 1, release("2.0", 1, "1.5", "itms-apps://apps.example.com/tarn"), Kind::upToDate},
        {"capital HTTPS", "1.0", 1, release("2.0", 1, "1.5", "HTTPS://apps.example.com/tarn"), Kind::required},
        {"relative link", "1.0", 1, release("2.0", 1, "1.5", "/tarn"), Kind::upToDate},
        {"unreadable minimum skipped", "1.0", 1, release("1.1", 1, "latest"), Kind::optional},
        {"unreadable release", "1.0", 1, release("v2", 1, "1.0"), Kind::upToDate},
    };
    for (const auto& c : cases) {
        const auto result = AppUpdatePolicy::evaluate(c.current, c.currentBuild, c.release);
        EXPECT_EQ(result.kind(), c.expected) << c.name << ": " << result;
        if (c.expected == Kind::upToDate) {
            EXPECT_EQ(result.release(), std::nullopt) << c.name;
        } else {
            EXPECT_EQ(result.release(), c.release) << c.name;
        }
    }
}

// Reading a version: each piece's leading numeric run must be ASCII digits within int64. A
// readable current version below the release is offered the update; an unreadable one is not.
TEST(AppUpdatePolicy, UnreadableVersionsProposeNothing) {
    struct Read {
        const char* current;
        const char* releaseVersion;
        bool readable;
    };
    const Read cases[] = {
        {"1", "2", true},
        {"", "2", false},
        {"v1.0", "2", false},
        {" 1.0", "2", false},
        {"1..0", "2", false},
        {"1.0.", "2", false},
        {".1", "2", false},
        {"1.-1", "2", false},
        {"١.٠", "2", false},     // Arabic-Indic digits are numeric but not ASCII
        {"１.0", "2", false},    // full-width digit
        {"1½.0", "2", false},   // a fraction extends the run and spoils it
        {"Ⅻ", "20", false},     // a Roman numeral likewise
        {"1.0 beta", "2", true},
        {"1.0١", "2", false},
        {"9223372036854775807", "9223372036854775807.1", true},
        {"9223372036854775808", "9223372036854775808.1", false},
        {"99999999999999999999999", "99999999999999999999999.1", false},
        {"1.\xFF", "2", false},  // not UTF-8
    };
    for (const auto& c : cases) {
        const auto result = AppUpdatePolicy::evaluate(c.current, 0, release(c.releaseVersion, 0, "0"));
        EXPECT_EQ(result.kind(), c.readable ? Kind::optional : Kind::upToDate) << c.current;
    }
}

TEST(AppUpdateRequirement, DescriptionNamesTheCaseAndTheRelease) {
    EXPECT_EQ(AppUpdateRequirement::required(release("1.1", 1, "1.0")).description(), "required(version: 1.1, build: 1)");
    EXPECT_EQ(AppUpdateRequirement::upToDate().description(), "upToDate");
}

}  // namespace
}  // namespace tarn
