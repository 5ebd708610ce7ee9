// Every sign-in method against the development backend, the way an application drives it: the
// codes a person would read in a mailbox or in Telegram come from the server's /dev/ endpoints.
#include "backend_test.hpp"
#include "tarn/logic/telegram_contract.hpp"

#include <chrono>
#include <functional>
#include <thread>

namespace tarn::e2e {
namespace {

using namespace std::chrono_literals;

class SignInTest : public BackendTest {
public:
    // Telegram sessions become ready on their own after a moment, so the test really polls.
    static void SetUpTestSuite() { startServer({"--telegram-ready-after", "0.3"}); }
};

// Polls `poll` every 50 ms until `done` accepts an answer; the last answer.
template <class Status>
Status pollUntil(const std::function<Status()>& poll, const std::function<bool(const Status&)>& done) {
    auto deadline = std::chrono::steady_clock::now() + 10s;
    Status status = poll();
    while (!done(status) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(50ms);
        status = poll();
    }
    return status;
}

TEST_F(SignInTest, PasswordLoginStoresThePairAndAuthorizesMe) {
    auto store = newStore();
    auto api = client(store);
    AuthResponse auth = run(api.login("demo@tarn.dev", "demo-password"));

    EXPECT_EQ(store->loadTokens(), (AuthTokens{auth.accessToken, auth.refreshToken}));
    CRMUser me = run(api.me());
    EXPECT_EQ(me.id, auth.user.id);
    EXPECT_EQ(me.email, "demo@tarn.dev");
    EXPECT_EQ(me.telegramUserID, "777000001");
    EXPECT_EQ(me.subscriptionStatus, SubscriptionStatus::active);
}

TEST_F(SignInTest, RegistrationStartsATrialAndStoresThePair) {
    auto store = newStore();
    auto api = client(store);
    std::string email = uniqueEmail("register");
    std::string typed = email;
    typed[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(typed[0])));
    AuthResponse auth = run(api.registerAccount(typed, kPassword, "New User", true, true));

    EXPECT_EQ(store->loadTokens(), (AuthTokens{auth.accessToken, auth.refreshToken}));
    EXPECT_EQ(auth.user.subscriptionSource, SubscriptionSource::trial);
    CRMUser me = run(api.me());
    EXPECT_EQ(me.email, email);
    EXPECT_EQ(me.name, "New User");
}

// Refusals of the sign-in calls: the backend's answer reaches the caller, nothing is stored or
// cleared, and no refresh is attempted (these calls carry no token).
TEST_F(SignInTest, RefusedSignInsLeaveTheStoreAloneAndNeverRefresh) {
    std::string taken = signUp(client(newStore()), "taken");
    struct Case {
        const char* name;
        std::function<asio::awaitable<AuthResponse>(const APIClient&)> call;
        APIError::Kind kind;
        std::int64_t status;
    };
    const Case cases[] = {
        // The refusal carries the status the backend answered, for callers that show it.
        {"wrong password", [](const APIClient& c) { return c.login("demo@tarn.dev", "wrong-password"); },
         APIError::Kind::unauthorized, 401},
        {"unknown Apple token",
         [](const APIClient& c) { return c.loginWithApple("forged-token", std::nullopt, std::nullopt, kDeviceID); },
         APIError::Kind::unauthorized, 401},
        {"address taken",
         [&taken](const APIClient& c) { return c.registerAccount(taken, kPassword, std::nullopt, true, true); },
         APIError::Kind::server, 409},
        {"consents missing",
         [](const APIClient& c) {
             return c.registerAccount(uniqueEmail("noconsent"), kPassword, std::nullopt, false, true);
         },
         APIError::Kind::server, 422},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto store = newStore();
        const AuthTokens previous{"previous-access", "previous-refresh"};
        store->save(previous);
        dev().resetStats();

        auto error = failureOf<APIError>(c.call(client(store)));
        ASSERT_TRUE(error);
        EXPECT_EQ(error->kind(), c.kind);
        EXPECT_EQ(error->statusCode(), c.status);
        EXPECT_EQ(store->loadTokens(), previous);
        EXPECT_EQ(dev().requestCounts().count("POST /auth/refresh"), 0u);
    }
}

TEST_F(SignInTest, EmailCodeSignsInWithTheCodeFromTheMailbox) {
    auto store = newStore();
    auto api = client(store);
    std::string email = uniqueEmail("mail");
    std::string typed = "  " + email + "\n";
    for (auto& ch : typed) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));

    EmailCodeChallenge challenge = run(api.requestEmailCode(typed, kDeviceID, "ios"));
    EXPECT_GT(challenge.expiresIn, 0);
    // The address reached the server trimmed and lower-cased: that is where the code went.
    std::string code = dev().emailCode(email);
    ASSERT_EQ(code.size(), 6u);
    EXPECT_FALSE(store->loadTokens());

    // Typed the way people copy codes: with a space and a dash.
    AuthResponse auth =
        run(api.verifyEmailCode(challenge.challengeID, code.substr(0, 3) + " " + code.substr(3, 2) + "-" + code.substr(5),
                                true, true));
    EXPECT_EQ(store->loadTokens(), (AuthTokens{auth.accessToken, auth.refreshToken}));
    EXPECT_EQ(run(api.me()).email, email);

    // A code works once.
    auto again = failureOf<APIError>(api.verifyEmailCode(challenge.challengeID, code, true, true));
    ASSERT_TRUE(again);
    EXPECT_EQ(again->kind(), APIError::Kind::server);
    EXPECT_EQ(store->loadTokens(), (AuthTokens{auth.accessToken, auth.refreshToken}));
}

TEST_F(SignInTest, SignInWithAppleCreatesTheAccountOnce) {
    auto store = newStore();
    auto api = client(store);
    std::string email = uniqueEmail("apple");
    AuthResponse first = run(api.loginWithApple("dev-apple:" + email, "auth-code", "Apple User", kDeviceID));
    EXPECT_EQ(store->loadTokens(), (AuthTokens{first.accessToken, first.refreshToken}));
    EXPECT_EQ(run(api.me()).email, email);

    AuthResponse second = run(api.loginWithApple("dev-apple:" + email, std::nullopt, std::nullopt, kDeviceID));
    EXPECT_EQ(second.user.id, first.user.id);
    EXPECT_NE(second.accessToken, first.accessToken);
    EXPECT_EQ(store->loadTokens(), (AuthTokens{second.accessToken, second.refreshToken}));
}

TEST_F(SignInTest, TelegramSessionPollsToCodeReadyAndVerifiesWithoutStoring) {
    auto store = newStore();
    auto api = client(store);
    TelegramAuthSession session = run(api.createTelegramSession(kDeviceID));
    EXPECT_EQ(session.flowVersion, TelegramAuthContract::flowVersion);
    ASSERT_TRUE(TelegramAuthContract::validatedDeepLink(session.telegramBotDeepLink, session.session.id,
                                                        session.session.secret))
        << session.telegramBotDeepLink;

    const std::string id = session.session.id;
    const std::string secret = session.session.secret;
    auto forged = failureOf<APIError>(api.telegramSessionStatus(id, std::string(secret.size(), 'A')));
    EXPECT_EQ(forged.value_or(APIError::unauthorized()).statusCode(), 403) << "a status asked with another secret";
    bool sawPending = false;
    TelegramSessionStatus status = pollUntil<TelegramSessionStatus>(
        [&] { return run(api.telegramSessionStatus(id, secret)); },
        [&](const TelegramSessionStatus& s) {
            sawPending = sawPending || s.status == TelegramSessionState::pending;
            return s.status != TelegramSessionState::pending;
        });
    EXPECT_TRUE(sawPending);
    ASSERT_EQ(status.status, TelegramSessionState::codeReady);

    // The code the bot showed; a mistyped one first.
    std::string code = dev().telegramCode(id);
    std::string wrong = code == "000000" ? "111111" : "000000";
    auto refused = failureOf<APIError>(api.verifyTelegramSession(id, secret, wrong));
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->statusCode(), 400);

    AuthResponse auth = run(api.verifyTelegramSession(id, secret, code));
    EXPECT_EQ(auth.user.telegramUserID, "777000001");
    EXPECT_FALSE(store->loadTokens()) << "the Telegram verification must hand its tokens to the caller only";
    EXPECT_EQ(run(api.telegramSessionStatus(id, secret)).status, TelegramSessionState::consumed);

    // The tokens work once the application stores them.
    auto adopted = newStore();
    adopted->save({auth.accessToken, auth.refreshToken});
    EXPECT_EQ(run(client(adopted).me()).id, auth.user.id);
}

TEST_F(SignInTest, OAuthSessionIsConfirmedInTheBrowserAndDeliveredOnce) {
    auto store = newStore();
    auto api = client(store);
    OAuthAuthSession session = run(api.createOAuthSession(OAuthProvider::google, kDeviceID));
    const std::string id = session.authSessionID;
    EXPECT_EQ(run(api.oauthSessionStatus(id)).status, OAuthSessionState::pending);

    // The user opens the authorisation page in a browser and picks an account.
    const std::string page = session.authorizationURL.absoluteString();
    ASSERT_EQ(page.rfind(server().url() + "/dev/oauth/authorize?", 0), 0u) << page;
    std::string email = uniqueEmail("google");
    Reply opened = dev().get(page.substr(server().url().size()) + "&email=" + email);
    ASSERT_EQ(opened.status, 200) << opened;

    OAuthSessionStatus status = pollUntil<OAuthSessionStatus>(
        [&] { return run(api.oauthSessionStatus(id)); },
        [](const OAuthSessionStatus& s) { return s.status != OAuthSessionState::pending; });
    ASSERT_EQ(status.status, OAuthSessionState::confirmed);
    ASSERT_TRUE(status.auth);
    EXPECT_EQ(status.auth->user.email, email);
    EXPECT_FALSE(store->loadTokens()) << "the OAuth poll must hand its tokens to the caller only";

    OAuthSessionStatus later = run(api.oauthSessionStatus(id));
    EXPECT_EQ(later.status, OAuthSessionState::confirmed);
    EXPECT_FALSE(later.auth);
    EXPECT_TRUE(later.error);
}

}  // namespace
}  // namespace tarn::e2e
