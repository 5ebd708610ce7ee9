// A record the library does not know, declared the way an application declares one: its member
// table lives next to it and needs only tarn/json/json.hpp; its coders are instantiated once, in
// service_notice_codec.cpp.
#pragma once

#include "tarn/json/json.hpp"
#include "tarn/json/string_enum.hpp"
#include "tarn/platform/timestamp.hpp"
#include "tarn/platform/url.hpp"
#include "tarn/platform/uuid.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace notices {

enum class Level { info, warning, outage };

struct Link {
    std::string title;
    tarn::URL url;
    friend bool operator==(const Link&, const Link&) = default;
};

struct ServiceNotice {
    tarn::UUID id;
    Level level = Level::info;
    std::string title;
    std::optional<std::string> body;
    std::vector<std::string> countries;
    std::optional<Link> action;
    std::vector<Link> links;
    tarn::Timestamp publishedAt;
    std::optional<std::int64_t> priority;
    bool dismissible = true;
    friend bool operator==(const ServiceNotice&, const ServiceNotice&) = default;
};

}  // namespace notices

template <>
inline constexpr auto tarn::enumCases<notices::Level> = std::array{
    tarn::EnumCase<notices::Level>{notices::Level::info, "info"},
    tarn::EnumCase<notices::Level>{notices::Level::warning, "warning"},
    tarn::EnumCase<notices::Level>{notices::Level::outage, "outage"},
};

template <>
inline constexpr auto tarn::json::members<notices::Link> = std::tuple{
    tarn::json::member("title", &notices::Link::title),
    tarn::json::member("url", &notices::Link::url),
};

template <>
inline constexpr auto tarn::json::members<notices::ServiceNotice> = std::tuple{
    tarn::json::member("id", &notices::ServiceNotice::id),
    tarn::json::member("level", &notices::ServiceNotice::level),
    tarn::json::member("title", &notices::ServiceNotice::title),
    tarn::json::member("body", &notices::ServiceNotice::body),
    tarn::json::member("countries", &notices::ServiceNotice::countries),
    tarn::json::member("action", &notices::ServiceNotice::action),
    tarn::json::member("links", &notices::ServiceNotice::links),
    tarn::json::member("published_at", &notices::ServiceNotice::publishedAt),
    tarn::json::member("priority", &notices::ServiceNotice::priority),
    tarn::json::member("dismissible", &notices::ServiceNotice::dismissible),
};
