// Decoding reads a document by a quick route first and by the strict route when the quick one
// gives up. Whatever the route, a document must decode to the same record or fail with the same
// error as by the strict route alone; and the forms the backend sends must not fall back.
#include "tarn/json/json_codec.hpp"
#include "tarn/models/account.hpp"
#include "tarn/models/auth_requests.hpp"
#include "tarn/models/billing_telemetry.hpp"
#include "tarn/models/devices_vpn.hpp"
#include "tarn/models/sessions.hpp"

#include <gtest/gtest.h>

#include <string>
#include <variant>

namespace tarn {
namespace {

using Dates = JSONDecoder::DateStrategy;

struct Failure {
    DecodingError::Kind kind;
    std::string what;
    friend bool operator==(const Failure&, const Failure&) = default;
};

template <class T>
using Answer = std::variant<T, Failure>;

template <class T>
Answer<T> strictRouteOnly(const std::string& json, Dates dates) {
    try {
        json::detail::DecodeContext ctx{dates, {}};
        return json::detail::read<T>(ctx, json::detail::parseStrict(json));
    } catch (const DecodingError& e) {
        return Failure{e.kind(), e.what()};
    }
}

template <class T>
Answer<T> decoded(const std::string& json, Dates dates) {
    try {
        return (dates == Dates::backend ? JSONDecoder::tarn() : JSONDecoder()).decode<T>(json);
    } catch (const DecodingError& e) {
        return Failure{e.kind(), e.what()};
    }
}

template <class T>
bool quickRouteTakes(const std::string& json, Dates dates) {
    simdjson::dom::element root;
    T out{};
    return json::detail::parseDocument(json, false, root) && json::detail::quickReadInto(dates, root, out);
}

struct Case {
    std::string json;
    bool quick;  // whether the quick route finishes it
};

template <class T>
void expectSameAnswers(std::initializer_list<Case> cases, Dates dates = Dates::backend) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.json);
        const Answer<T> strict = strictRouteOnly<T>(c.json, dates);
        EXPECT_TRUE(decoded<T>(c.json, dates) == strict);
        EXPECT_EQ(quickRouteTakes<T>(c.json, dates), c.quick);
        if (c.quick) {
            EXPECT_EQ(strict.index(), 0u) << "the quick route took a document the strict one refuses";
        }
    }
}

TEST(DecodingRoutes, DeviceListsAgreeInEveryShape) {
    expectSameAnswers<AccountDevicesResponse>({
        {R"({"devices":[{"id":1,"name":"Телефон","model":"iPhone15,2","platform":"ios","device_id":"d1",)"
         R"("platform_version":"17.4","client_app":"Tarn","client_version":"1.3","last_seen_at":"2024-05-01T12:00:00.123456Z"}],)"
         R"("used":1,"limit":3,"available":2,"subscription_active":true})", true},
        // any member order, unknown members of any shape, absent and null optionals, escaped keys
        {R"({"subscription_active":false,"available":0,"x":[{"id":"no"}],"limit":1,"used":1,"devices":[)"
         R"({"device_id":"d","platform":"p","n\u0061me":"n","id":2,"model":null,"extra":{"a":[1,2]}}]})", true},
        {R"({"devices":[],"used":0,"limit":0,"available":0,"subscription_active":true,"used2":1})", true},
        // whole numbers written as doubles are accepted, by the strict route
        {R"({"devices":[],"used":1.0,"limit":6e1,"available":0,"subscription_active":true})", false},
        {R"({"devices":[],"used":9223372036854775808,"limit":1,"available":0,"subscription_active":true})", false},
        {R"({"devices":[],"used":1.0000000000000001,"limit":1,"available":0,"subscription_active":true})", false},
        // a number the parser cannot hold, where no member reads it
        {R"({"devices":[{"id":1,"name":"n","platform":"p","device_id":"d","zz":18446744073709551616}],)"
         R"("used":0,"limit":0,"available":0,"subscription_active":true,"zz":-1e400})", false},
        {R"({"devices":[],"used":"x","limit":0,"available":0,"subscription_active":true,"zz":1e400})", false},
        // failures at each depth; the first in declared key order is the one reported
        {R"({"devices":[{"id":1,"name":"n","platform":"p","device_id":"d"},{"id":2,"name":"n","platform":7,"device_id":"d"}],)"
         R"("used":"x","limit":3,"available":1,"subscription_active":true})", false},
        {R"({"used":"x","limit":null,"devices":[{"id":1}],"available":1,"subscription_active":true})", false},
        {R"({"devices":[{"id":1,"name":"n","platform":"p","device_id":"d","last_seen_at":"2024-02-30T00:00:00Z"}],)"
         R"("used":0,"limit":0,"available":0,"subscription_active":true})", false},
        {R"({"devices":[{"id":1,"name":"n","platform":"p","device_id":"d","id":1}],"used":0,"limit":0,"available":0,"subscription_active":true})", false},
        // members in declared order, then moved, unknown or left out, and repeats wherever they fall
        {R"({"devices":[{"name":"n","id":1,"zz":0,"platform":"p","model":"m","device_id":"d","last_seen_at":"2024-05-01T12:00:00.123456Z"}],)"
         R"("used":0,"limit":0,"available":0,"subscription_active":true})", true},
        {R"({"devices":[{"id":1,"id":2,"name":"n","platform":"p","device_id":"d"}],"used":0,"limit":0,"available":0,"subscription_active":true})", false},
        {R"({"devices":[{"id":1,"name":"n","platform":"p","platform":"q","device_id":"d"}],"used":0,"limit":0,"available":0,"subscription_active":true})", false},
        {R"({"devices":[{"id":1,"name":"n","model":"m","platform":"p","device_id":"d","model":null}],"used":0,"limit":0,"available":0,"subscription_active":true})", false},
        {R"({"devices":[],"used":0,"limit":0,"available":0,"subscription_active":true,"devices":[]})", false},
        {R"({"devices":{},"used":0,"limit":0,"available":0,"subscription_active":1})", false},
        {R"({"devices":[],"used":0,"limit":0,"available":0})", false},
        {R"([{"devices":[]}])", false},
    });
}

TEST(DecodingRoutes, EveryValueKindAgrees) {
    const std::string user = R"("id":"u","subscription_status":"active","vpn_access_status":"enabled",)"
                             R"("created_at":"2024-05-01T12:00:00Z","last_sync_at":"2024-05-01 12:00:00")";
    expectSameAnswers<CRMUser>({
        {"{" + user + R"(,"plan":"monthly","apple_app_account_token":"e621e1f8-c36c-495a-93fc-0c247a3e6e5f"})", true},
        {"{" + user + R"(,"plan":"weekly"})", false},
        {"{" + user + R"(,"apple_app_account_token":"not-a-uuid"})", false},
        {"{" + user + R"(,"expires_at":"yesterday"})", false},
    });
    expectSameAnswers<OAuthAuthSession>({
        {R"({"auth_session_id":"s","authorization_url":"https://example.com/a?b=1","expires_at":"2024-05-01T12:00:00Z"})", true},
        {R"({"auth_session_id":"s","authorization_url":"not a url","expires_at":"2024-05-01T12:00:00Z"})", false},
    });
    expectSameAnswers<AppEventPayload>({
        {R"({"event_name":"e","device_id":"d","event_time":"2024-05-01T12:00:00Z","app_version":"1","platform":"p",)"
         R"("metadata":{"k":"v","l":""},"duration_ms":5})", true},
        {R"({"event_name":"e","device_id":"d","event_time":"2024-05-01T12:00:00Z","app_version":"1","platform":"p",)"
         R"("metadata":{"k":"v","k":"w"}})", false},
        {R"({"event_name":"e","device_id":"d","event_time":"2024-05-01T12:00:00Z","app_version":"1","platform":"p",)"
         R"("metadata":{"k":1}})", false},
    });
    // Members whose presence alone is refused, whatever the order.
    expectSameAnswers<TelegramSessionStatus>({
        {R"({"status":"pending","error":null})", true},
        {R"({"status":"pending","access_token":null})", false},
        {R"({"refresh_token":"r","status":7})", false},
    });
}

TEST(DecodingRoutes, SecondsSinceTwoThousandOneAgree) {
    expectSameAnswers<BotSync>({{R"({"status":"linked","last_sync_at":10})", true},
                                {R"({"status":"linked","last_sync_at":-1.5})", true},
                                {R"({"status":"linked","last_sync_at":1e300})", false},
                                {R"({"status":"linked","last_sync_at":1e400})", false},
                                {R"({"status":"linked","last_sync_at":"2024-05-01T12:00:00Z"})", false}},
                               Dates::deferredToDate);
}

}  // namespace
}  // namespace tarn
