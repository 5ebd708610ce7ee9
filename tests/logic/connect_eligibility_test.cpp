#include "tarn/logic/connect_eligibility.hpp"

#include <gtest/gtest.h>

namespace tarn {
namespace {

CRMUser user(SubscriptionStatus status = SubscriptionStatus::active, VPNAccessStatus access = VPNAccessStatus::enabled) {
    CRMUser u;
    u.id = "u-1";
    u.subscriptionStatus = status;
    u.vpnAccessStatus = access;
    return u;
}

VPNServer server(std::string id = "nl-1", bool available = true) {
    VPNServer s;
    s.id = std::move(id);
    s.isAvailable = available;
    return s;
}

VLESSConfig config(std::string serverID = "nl-1") {
    VLESSConfig c;
    c.serverID = std::move(serverID);
    // The profile's own copy of the subscription says no; only the user record counts.
    c.subscriptionStatus = SubscriptionStatus::blocked;
    c.vpnAccessStatus = VPNAccessStatus::disabled;
    return c;
}

TEST(ConnectEligibility, RulesApplyInOrder) {
    const auto noSub = VPNConnectionState::noSubscription();
    const auto noServer = VPNConnectionState::serverUnavailable();
    const auto noConfig = VPNConnectionState::noConfig();
    struct Case {
        const char* name;
        std::optional<CRMUser> user;
        std::optional<VPNServer> server;
        std::optional<VLESSConfig> config;
        std::optional<VPNConnectionState> reason;
    };
    const Case cases[] = {
        {"nothing", std::nullopt, std::nullopt, std::nullopt, noSub},
        {"no user, all else fine", std::nullopt, server(), config(), noSub},
        {"eligible", user(), server(), config(), std::nullopt},
        {"expired", user(SubscriptionStatus::expired), server(), config(), noSub},
        {"cancelled", user(SubscriptionStatus::cancelled), server(), config(), noSub},
        {"blocked", user(SubscriptionStatus::blocked), server(), config(), noSub},
        {"status none", user(SubscriptionStatus::none), server(), config(), noSub},
        {"access disabled", user(SubscriptionStatus::active, VPNAccessStatus::disabled), server(), config(), noSub},
        {"no subscription and no server", user(SubscriptionStatus::expired), std::nullopt, std::nullopt, noSub},
        {"no server", user(), std::nullopt, config(), noServer},
        {"unavailable server, no profile", user(), server("nl-1", false), std::nullopt, noServer},
        {"no profile", user(), server(), std::nullopt, noConfig},
        {"profile for another server", user(), server(), config("de-1"), noConfig},
        {"identifiers differ in case only", user(), server("nl-1"), config("NL-1"), noConfig},
        {"identifier with trailing space", user(), server("nl-1"), config("nl-1 "), noConfig},
    };
    for (const auto& c : cases) {
        const auto result = ConnectEligibility::evaluate(c.user, c.server, c.config);
        EXPECT_EQ(result.canConnect(), !c.reason) << c.name << ": " << result;
        EXPECT_EQ(result.reason(), c.reason) << c.name << ": " << result;
    }
}

TEST(VPNConnectionState, DescriptionQuotesAndEscapesTheFailure) {
    struct Case {
        VPNConnectionState state;
        std::string text;
    };
    const Case cases[] = {
        {VPNConnectionState::serverUnavailable(), "serverUnavailable"},
        {VPNConnectionState::noSubscription(), "noSubscription"},
        {VPNConnectionState::failed(""), R"(failed(""))"},
        {VPNConnectionState::failed(R"(said "no")"), R"(failed("said \"no\""))"},
        {VPNConnectionState::failed(R"(C:\tmp)"), R"(failed("C:\\tmp"))"},
        {VPNConnectionState::failed("a\nb\rc\td"), R"(failed("a\nb\rc\td"))"},
        {VPNConnectionState::failed(std::string("\0\x1B\x7F", 3)), R"(failed("\0\u{1B}\u{7F}"))"},
        {VPNConnectionState::failed("NEL\xC2\x85 LS\xE2\x80\xA8"), R"(failed("NEL\u{85} LS\u{2028}"))"},
        {VPNConnectionState::failed("it's Сбой ✓"), R"(failed("it's Сбой ✓"))"},
        {VPNConnectionState::failed("bad\xFF"), "failed(\"bad\xEF\xBF\xBD\")"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.state.description(), c.text);
        std::ostringstream os;
        os << c.state;
        EXPECT_EQ(os.str(), c.text);
    }
}

}  // namespace
}  // namespace tarn
