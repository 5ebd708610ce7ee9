// The 401 rules without I/O: the steps of one call through a sequence of answers, and what a
// refresh decides from what it finds in the token store.
#include "api/refresh_state_machine.hpp"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace tarn::detail {
namespace {

using Step = UnauthorizedRecovery::Step;

struct Answer {
    std::int64_t status;
    bool fromBackend = true;
};

struct CourseRow {
    const char* name;
    Auth auth;
    std::vector<Answer> answers;
    std::vector<Step> steps;
};

const std::vector<CourseRow> kCourses = {
    {"ok", Auth::bearer, {{200}}, {Step::deliver}},
    {"no_content_is_success", Auth::bearer, {{204}}, {Step::deliver}},
    {"server_error", Auth::bearer, {{500}}, {Step::failWithAnswer}},
    {"forbidden_is_no_401", Auth::bearer, {{403}}, {Step::failWithAnswer}},
    {"tokenless_401_ends_the_call", Auth::none, {{401}}, {Step::failUnauthorized}},
    {"refresh_then_ok", Auth::bearer, {{401}, {200}}, {Step::refreshThenRepeat, Step::deliver}},
    {"held_lock_refreshes_too", Auth::bearerUnderHeldLock, {{401}, {200}}, {Step::refreshThenRepeat, Step::deliver}},
    {"repeat_401_clears", Auth::bearer, {{401}, {401}}, {Step::refreshThenRepeat, Step::clearThenFailUnauthorized}},
    {"repeat_500_keeps_the_new_pair", Auth::bearer, {{401}, {500}}, {Step::refreshThenRepeat, Step::failWithAnswer}},
    {"other_origin_401_is_no_verdict", Auth::bearer, {{401, false}}, {Step::failWithAnswer}},
    {"other_origin_401_on_repeat", Auth::bearer, {{401}, {401, false}}, {Step::refreshThenRepeat, Step::failWithAnswer}},
};

class CallCourse : public ::testing::TestWithParam<CourseRow> {};

TEST_P(CallCourse, StepsFollowTheAnswers) {
    const auto& row = GetParam();
    UnauthorizedRecovery recovery(row.auth);
    std::vector<Step> steps;
    for (const Answer& answer : row.answers) steps.push_back(recovery.answered(answer.status, answer.fromBackend));
    EXPECT_EQ(steps, row.steps);
}

INSTANTIATE_TEST_SUITE_P(Table, CallCourse, ::testing::ValuesIn(kCourses), [](const auto& p) { return p.param.name; });

// What a refresh does at each of its three looks at the store, by what that look finds.
TEST(RefreshDecisions, ByWhatTheStoreHolds) {
    const AuthTokens refused{"old-access", "old-refresh"};
    const AuthTokens renewed{"new-access", "new-refresh"};
    const AuthTokens noRefreshToken{"old-access", ""};
    struct StartRow {
        std::optional<AuthTokens> stored;
        RefreshStart expected;
    };
    for (const auto& [stored, expected] : std::vector<StartRow>{
             {refused, RefreshStart::spendRefreshToken},
             {renewed, RefreshStart::repeatWithStored},  // renewed elsewhere: the token is not spent twice
             {std::nullopt, RefreshStart::clearThenFail},
             {noRefreshToken, RefreshStart::clearThenFail},
         }) {
        EXPECT_EQ(refreshStart(stored, stored == noRefreshToken ? noRefreshToken : refused), expected);
    }
    EXPECT_EQ(compareStored(refused, refused), Stored::same);
    EXPECT_EQ(compareStored(renewed, refused), Stored::other);
    EXPECT_EQ(compareStored(std::nullopt, refused), Stored::empty);

    struct StoreRow {
        Stored now;
        RenewedPair afterRenewal;
        bool clearsRefused;
    };
    for (const auto& [now, afterRenewal, clearsRefused] : std::vector<StoreRow>{
             {Stored::same, RenewedPair::save, true},
             {Stored::other, RenewedPair::keepOther, false},  // a sign-in or another process won
             {Stored::empty, RenewedPair::failSignedOut, true},
             // The spent refresh token makes the renewed pair the only one left.
             {Stored::unreadable, RenewedPair::save, true},
         }) {
        EXPECT_EQ(renewedPair(now), afterRenewal) << int(now);
        EXPECT_EQ(clearsRefusedPair(now), clearsRefused) << int(now);
    }
}

}  // namespace
}  // namespace tarn::detail
