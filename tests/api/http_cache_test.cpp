// The HTTP cache's decisions on a clock of our own, without sockets: what a second GET of the same
// URL gets after a first answer, in memory and in a directory; then what the directory store does
// with damaged files, a writer killed half-way and a second process.
#include "api/http_cache.hpp"
#include "scratch_directory.hpp"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <algorithm>
#include <filesystem>
#include <functional>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <thread>

namespace tarn::detail {
namespace {

using namespace std::chrono_literals;
using Clock = HttpCache::Clock;

const std::string kURL = "https://api.tarn.test/vpn/servers";
// A fixed second, so that HTTP dates in the rows are exact.
const Clock::time_point kT0 = std::chrono::sys_days(std::chrono::year(2026) / 12 / 7) + 10h;
const std::string kT0Date = "Mon, 07 Dec 2026 10:00:00 GMT";
const std::string kT0Plus60 = "Mon, 07 Dec 2026 10:01:00 GMT";
const std::string kTenDaysBefore = "Fri, 27 Nov 2026 10:00:00 GMT";

using TempDir = testing::ScratchDirectory;

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

HttpRequest get(const std::string& authorization, HttpHeaders extra = {}) {
    HttpRequest request;
    request.url = kURL;
    if (!authorization.empty()) request.setHeader("Authorization", authorization);
    for (auto& [name, value] : extra) request.setHeader(name, value);
    return request;
}

HttpResponse answer(std::int64_t status, HttpHeaders headers, std::string body) {
    HttpResponse response;
    response.statusCode = status;
    response.headers = std::move(headers);
    response.body = std::move(body);
    return response;
}

// What the server says to the second request; status 0: the transfer failed.
struct Network {
    std::int64_t status;
    HttpHeaders headers;
};

struct Row {
    const char* name;
    HttpHeaders firstAnswer;  // a 200 with body "v1" to the first request
    std::chrono::seconds later;
    // The second request; the first one carries "Bearer A" and Accept-Language "en".
    std::string method = "GET";
    std::string authorization = "Bearer A";
    HttpHeaders secondRequest = {{"Accept-Language", "en"}};
    std::optional<Network> network = std::nullopt;  // nothing may be sent
    // Expectations.
    std::optional<std::string> ifNoneMatch = std::nullopt;
    std::optional<std::string> ifModifiedSince = std::nullopt;
    HttpCacheResult result = HttpCacheResult::network;
    std::int64_t status = 200;
    std::string body = "v2";
    // The body a third GET (as the first, a second later) gets without the network, if any.
    std::optional<std::string> storedAfterwards = std::nullopt;
    bool clearBefore = false;
};

void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

const Network ok200{200, {{"Cache-Control", "max-age=60"}}};
const Network notModified{304, {{"Cache-Control", "max-age=600"}, {"X-Served-By", "b2"}}};

const Row kRows[] = {
    {.name = "fresh_by_max_age", .firstAnswer = {{"Cache-Control", "max-age=60"}}, .later = 30s,
     .result = HttpCacheResult::stored, .body = "v1", .storedAfterwards = "v1"},
    {.name = "fresh_by_expires", .firstAnswer = {{"Date", kT0Date}, {"Expires", kT0Plus60}}, .later = 30s,
     .result = HttpCacheResult::stored, .body = "v1", .storedAfterwards = "v1"},
    {.name = "age_counts_against_max_age", .firstAnswer = {{"Cache-Control", "max-age=60"}, {"Age", "50"}},
     .later = 20s, .network = ok200, .storedAfterwards = "v2"},
    {.name = "invalid_expires_is_stale", .firstAnswer = {{"Expires", "0"}, {"ETag", "\"e1\""}}, .later = 1s,
     .network = notModified, .ifNoneMatch = "\"e1\"", .result = HttpCacheResult::revalidated, .body = "v1",
     .storedAfterwards = "v1"},
    {.name = "stale_with_etag_revalidates", .firstAnswer = {{"Cache-Control", "max-age=60"}, {"ETag", "\"e1\""}},
     .later = 90s, .network = notModified, .ifNoneMatch = "\"e1\"", .result = HttpCacheResult::revalidated,
     .body = "v1", .storedAfterwards = "v1"},
    {.name = "stale_with_last_modified_revalidates",
     .firstAnswer = {{"Cache-Control", "max-age=60"}, {"Last-Modified", kTenDaysBefore}}, .later = 90s,
     .network = notModified, .ifModifiedSince = kTenDaysBefore, .result = HttpCacheResult::revalidated, .body = "v1",
     .storedAfterwards = "v1"},
    {.name = "changed_answer_replaces_the_stored_one",
     .firstAnswer = {{"Cache-Control", "max-age=60"}, {"ETag", "\"e1\""}}, .later = 90s,
     .network = Network{200, {{"Cache-Control", "max-age=60"}, {"ETag", "\"e2\""}}}, .ifNoneMatch = "\"e1\"",
     .storedAfterwards = "v2"},
    {.name = "merged_304_keeps_new_freshness",
     .firstAnswer = {{"Cache-Control", "max-age=1"}, {"ETag", "\"e1\""}, {"X-Served-By", "b1"}}, .later = 5s,
     .network = notModified, .ifNoneMatch = "\"e1\"", .result = HttpCacheResult::revalidated, .body = "v1",
     .storedAfterwards = "v1"},
    {.name = "no_store_is_never_kept",
     .firstAnswer = {{"Cache-Control", "no-store, max-age=60"}, {"ETag", "\"e1\""}}, .later = 1s,
     .network = Network{200, {{"Cache-Control", "no-store"}}}},
    {.name = "no_store_answer_removes_the_stored_one",
     .firstAnswer = {{"Cache-Control", "max-age=60"}, {"ETag", "\"e1\""}}, .later = 1s,
     .secondRequest = {{"Accept-Language", "en"}, {"Cache-Control", "no-cache"}},
     .network = Network{200, {{"Cache-Control", "no-store"}}}, .ifNoneMatch = "\"e1\""},
    {.name = "no_cache_always_revalidates", .firstAnswer = {{"Cache-Control", "no-cache"}, {"ETag", "\"e1\""}},
     .later = 1s, .network = Network{304, {}}, .ifNoneMatch = "\"e1\"", .result = HttpCacheResult::revalidated,
     .body = "v1"},
    {.name = "request_no_cache_revalidates_a_fresh_answer",
     .firstAnswer = {{"Cache-Control", "max-age=60"}, {"ETag", "\"e1\""}}, .later = 1s,
     .secondRequest = {{"Accept-Language", "en"}, {"Cache-Control", "no-cache"}}, .network = notModified,
     .ifNoneMatch = "\"e1\"", .result = HttpCacheResult::revalidated, .body = "v1", .storedAfterwards = "v1"},
    {.name = "vary_other_value_misses",
     .firstAnswer = {{"Cache-Control", "max-age=60"}, {"ETag", "\"e1\""}, {"Vary", "Accept-Language"}}, .later = 1s,
     .secondRequest = {{"Accept-Language", "ru"}}, .network = ok200, .storedAfterwards = "v2"},
    {.name = "vary_same_value_hits",
     .firstAnswer = {{"Cache-Control", "max-age=60"}, {"Vary", "accept-language"}}, .later = 1s,
     .result = HttpCacheResult::stored, .body = "v1", .storedAfterwards = "v1"},
    {.name = "vary_star_is_never_kept", .firstAnswer = {{"Cache-Control", "max-age=60"}, {"Vary", "*"}},
     .later = 1s, .network = Network{200, {{"Cache-Control", "max-age=60"}, {"Vary", "*"}}}},
    {.name = "another_account_gets_nothing_stored",
     .firstAnswer = {{"Cache-Control", "max-age=60"}, {"ETag", "\"e1\""}}, .later = 1s,
     .authorization = "Bearer B", .network = ok200, .storedAfterwards = "v2"},
    {.name = "logout_clears", .firstAnswer = {{"Cache-Control", "max-age=60"}, {"ETag", "\"e1\""}}, .later = 1s,
     .network = ok200, .storedAfterwards = "v2", .clearBefore = true},
    {.name = "no_heuristic_freshness_with_credentials",
     .firstAnswer = {{"Date", kT0Date}, {"Last-Modified", kTenDaysBefore}}, .later = 10s, .network = notModified,
     .ifModifiedSince = kTenDaysBefore, .result = HttpCacheResult::revalidated, .body = "v1",
     .storedAfterwards = "v1"},
    {.name = "heuristic_freshness_without_credentials",
     .firstAnswer = {{"Date", kT0Date}, {"Last-Modified", kTenDaysBefore}}, .later = 10s, .authorization = "",
     .result = HttpCacheResult::stored, .body = "v1", .storedAfterwards = "v1"},
    {.name = "stale_if_error_stands_in_for_a_503",
     .firstAnswer = {{"Cache-Control", "max-age=60, stale-if-error=3600"}}, .later = 120s,
     .network = Network{503, {}}, .result = HttpCacheResult::staleAfterError, .body = "v1"},
    {.name = "stale_if_error_stands_in_for_a_failed_transfer",
     .firstAnswer = {{"Cache-Control", "max-age=60, stale-if-error=3600"}, {"ETag", "\"e1\""}}, .later = 120s,
     .network = Network{0, {}}, .ifNoneMatch = "\"e1\"", .result = HttpCacheResult::staleAfterError, .body = "v1"},
    {.name = "stale_if_error_runs_out", .firstAnswer = {{"Cache-Control", "max-age=60, stale-if-error=3600"}},
     .later = 4000s, .network = Network{503, {}}, .status = 503, .body = "v2"},
    {.name = "must_revalidate_forbids_stale_if_error",
     .firstAnswer = {{"Cache-Control", "max-age=60, stale-if-error=3600, must-revalidate"}}, .later = 120s,
     .network = Network{503, {}}, .status = 503, .body = "v2"},
    {.name = "no_stale_answer_without_permission", .firstAnswer = {{"Cache-Control", "max-age=60"}},
     .later = 120s, .network = Network{500, {}}, .status = 500, .body = "v2"},
    {.name = "successful_post_forgets_the_url", .firstAnswer = {{"Cache-Control", "max-age=60"}}, .later = 1s,
     .method = "POST", .network = Network{200, {}}},
    {.name = "caller_conditions_pass_through", .firstAnswer = {{"Cache-Control", "max-age=60"}}, .later = 1s,
     .secondRequest = {{"Accept-Language", "en"}, {"If-None-Match", "\"mine\""}}, .network = Network{304, {}},
     .ifNoneMatch = "\"mine\"", .status = 304, .body = "", .storedAfterwards = "v1"},
};

class CacheCases : public ::testing::TestWithParam<std::tuple<Row, bool>> {};

TEST_P(CacheCases, SecondRequest) {
    const auto& [row, onDisk] = GetParam();
    TempDir dir;
    HttpCacheConfig config;
    if (onDisk) config.directory = dir.path() / "cache";
    HttpCache cache(config);

    HttpRequest first = get("Bearer A", {{"Accept-Language", "en"}});
    if (row.authorization.empty()) first.headers.clear();
    auto plan = cache.prepare(first, kT0);
    ASSERT_FALSE(plan.answer);
    cache.finish(first, plan, answer(200, row.firstAnswer, "v1"), kT0, kT0);
    if (row.clearBefore) cache.clear();

    const auto now = kT0 + row.later;
    HttpRequest second = get(row.authorization, row.secondRequest);
    second.method = row.method;
    plan = cache.prepare(second, now);
    HttpResponse got;
    if (plan.answer) {
        EXPECT_FALSE(row.network) << "answered from the store, but the row expects a request";
        got = std::move(*plan.answer);
    } else {
        ASSERT_TRUE(row.network) << "sent a request, but the row expects a stored answer";
        EXPECT_EQ(second.header("If-None-Match"), row.ifNoneMatch);
        EXPECT_EQ(second.header("If-Modified-Since"), row.ifModifiedSince);
        if (row.network->status == 0) {
            auto stale = cache.afterFailure(plan, now);
            ASSERT_TRUE(stale);
            got = std::move(*stale);
        } else {
            const std::string body = row.network->status == 304 ? "" : "v2";
            got = cache.finish(second, plan, answer(row.network->status, row.network->headers, body), now, now);
        }
    }
    EXPECT_EQ(got.cacheResult, row.result);
    EXPECT_EQ(got.statusCode, row.status);
    EXPECT_EQ(got.body, row.body);
    EXPECT_GE(got.body.capacity(), got.body.size() + (got.cacheResult == HttpCacheResult::network ? 0 : 64));
    if (row.result == HttpCacheResult::revalidated) {
        // The 304's fields replace the stored ones of the same name.
        for (const auto& [name, value] : row.network->headers) EXPECT_EQ(got.header(name), value) << name;
    }

    HttpRequest third = get(row.authorization, row.secondRequest);
    third.headers.erase(std::remove_if(third.headers.begin(), third.headers.end(),
                                       [](const auto& h) { return h.first == "Cache-Control" || h.first == "If-None-Match"; }),
                        third.headers.end());
    plan = cache.prepare(third, now + 1s);
    EXPECT_EQ(plan.answer ? std::optional(plan.answer->body) : std::nullopt, row.storedAfterwards);
}

INSTANTIATE_TEST_SUITE_P(Rfc9111, CacheCases, ::testing::Combine(::testing::ValuesIn(kRows), ::testing::Bool()),
                         [](const auto& p) {
                             return std::string(std::get<0>(p.param).name) + (std::get<1>(p.param) ? "_disk" : "_memory");
                         });

// A GET of kURL + `path`, answered with a body of `size` bytes fresh for ten minutes.
void storeAt(HttpCache& cache, const std::string& path, const std::string& authorization, std::size_t size,
             Clock::time_point at) {
    HttpRequest r = get(authorization);
    r.url += path;
    auto plan = cache.prepare(r, at);
    cache.finish(r, plan, answer(200, {{"Cache-Control", "max-age=600"}}, std::string(size, 'x')), at, at);
}

bool storedAt(HttpCache& cache, const std::string& path, const std::string& authorization, Clock::time_point at) {
    HttpRequest r = get(authorization);
    r.url += path;
    return cache.prepare(r, at).answer.has_value();
}

// Both stores stay within their bound, the answer stored longest ago leaving first, and an answer
// larger than the whole bound is not kept at all.
TEST(CacheBound, OldestAnswersLeaveFirst) {
    for (bool onDisk : {false, true}) {
        SCOPED_TRACE(onDisk ? "disk" : "memory");
        TempDir dir;
        HttpCacheConfig config;
        config.maxBytes = 2 * 1024 + 1024;  // two bodies of a KiB with their overhead, not three
        if (onDisk) config.directory = dir.path();
        HttpCache cache(config);
        auto store = [&](const std::string& path, std::size_t size, Clock::time_point at) {
            storeAt(cache, path, "Bearer A", size, at);
        };
        auto stored = [&](const std::string& path) { return storedAt(cache, path, "Bearer A", kT0 + 10s); };
        store("/1", 1024, kT0);
        std::this_thread::sleep_for(10ms);  // distinct file times for the directory's order
        store("/2", 1024, kT0 + 1s);
        std::this_thread::sleep_for(10ms);
        store("/3", 1024, kT0 + 2s);
        store("/huge", 8 * 1024, kT0 + 3s);
        EXPECT_FALSE(stored("/1"));
        EXPECT_TRUE(stored("/2"));
        EXPECT_TRUE(stored("/3"));
        EXPECT_FALSE(stored("/huge"));
    }
}

// A lookup is skipped when nothing is stored for the URL; that knowledge must follow every entry
// that comes and goes: many URLs (the index rehashes), evictions, two accounts on one URL, and an
// answer stored while an unsafe request to its URL was on the way.
TEST(CacheBound, EntriesLeavingHideNoneThatRemain) {
    HttpCacheConfig config;
    config.maxBytes = 64 * 1024;
    HttpCache cache(config);
    auto store = [&](const std::string& path, const std::string& authorization) {
        storeAt(cache, path, authorization, 512, kT0);
    };
    auto stored = [&](const std::string& path, const std::string& authorization) {
        return storedAt(cache, path, authorization, kT0 + 1s);
    };
    for (int i = 0; i < 400; ++i) {
        std::string path = "/";  // in two steps: GCC 12 at -O3 warns of a false overlap in "/" + ...
        path += std::to_string(i);
        store(path, "Bearer A");
    }
    EXPECT_FALSE(stored("/0", "Bearer A"));  // evicted by the bound
    EXPECT_TRUE(stored("/399", "Bearer A"));
    store("/399", "Bearer B");
    HttpRequest post = get("Bearer A");
    post.url += "/399";
    post.method = "POST";
    auto plan = cache.prepare(post, kT0 + 2s);
    store("/399", "Bearer A");  // stored while the POST was on its way
    cache.finish(post, plan, answer(204, {}, ""), kT0 + 2s, kT0 + 2s);
    EXPECT_FALSE(stored("/399", "Bearer A"));
    EXPECT_TRUE(stored("/399", "Bearer B"));
    cache.clear();
    EXPECT_FALSE(stored("/399", "Bearer B"));
    store("/399", "Bearer B");
    EXPECT_TRUE(stored("/399", "Bearer B"));
}

// ---------------------------------------------------------------------------------------------
// The directory store

std::filesystem::path onlyEntry(const std::filesystem::path& dir) {
    std::filesystem::path found;
    for (const auto& item : std::filesystem::directory_iterator(dir)) {
        if (item.path().extension() == ".entry") found = item.path();
    }
    return found;
}

HttpCacheConfig inDirectory(const std::filesystem::path& dir) {
    HttpCacheConfig config;
    config.directory = dir;
    return config;
}

void storeV1(HttpCache& cache, std::string body = "v1") {
    HttpRequest r = get("Bearer secret-access-token");
    auto plan = cache.prepare(r, kT0);
    cache.finish(r, plan, answer(200, {{"Cache-Control", "max-age=600"}, {"Set-Cookie", "sid=1"}}, std::move(body)),
                 kT0, kT0);
}

std::optional<std::string> storedBody(HttpCache& cache) {
    HttpRequest r = get("Bearer secret-access-token");
    auto plan = cache.prepare(r, kT0 + 1s);
    return plan.answer ? std::optional(plan.answer->body) : std::nullopt;
}

TEST(CacheDirectory, EntriesArePrivateAndHoldNoCredential) {
    TempDir dir;
    HttpCache cache(inDirectory(dir.path() / "c"));
    storeV1(cache);
    const auto entry = onlyEntry(dir.path() / "c");
    ASSERT_FALSE(entry.empty());
    using std::filesystem::perms;
    EXPECT_EQ(std::filesystem::status(dir.path() / "c").permissions() & perms::all, perms::owner_all);
    EXPECT_EQ(std::filesystem::status(entry).permissions() & perms::all, perms::owner_read | perms::owner_write);
    const std::string text = readFile(entry);
    EXPECT_EQ(text.find("secret-access-token"), std::string::npos);
    EXPECT_EQ(text.find("sid=1"), std::string::npos) << "a session cookie is never stored";
    EXPECT_EQ(text.find(kURL), std::string::npos);
}

// Whatever a crash, a full disk or another program left in an entry, it is no answer, and it is
// removed so that it is not read again.
TEST(CacheDirectory, DamagedEntriesAreIgnoredAndRemoved) {
    const std::pair<const char*, std::function<std::string(const std::string&)>> damages[] = {
        {"empty", [](const std::string&) { return std::string(); }},
        {"truncated", [](const std::string& t) { return t.substr(0, t.size() - 9); }},
        {"cut_in_the_body", [](const std::string& t) { return t.substr(0, t.find("v1") + 1); }},
        {"trailing_garbage", [](const std::string& t) { return t + "x"; }},
        {"length_too_long", [](const std::string& t) {
             std::string s = t;
             s.replace(s.find("2:v1"), 4, "9:v1");
             return s;
         }},
        {"other_key", [](const std::string& t) {
             std::string s = t;
             auto at = s.find('\n') + 4;  // inside the key's digits
             s[at] = s[at] == 'a' ? 'b' : 'a';
             return s;
         }},
        {"other_version", [](const std::string& t) {
             std::string s = t;
             s.replace(s.find("cache 1"), 7, "cache 9");
             return s;
         }},
    };
    for (const auto& [name, damage] : damages) {
        SCOPED_TRACE(name);
        TempDir dir;
        HttpCache cache(inDirectory(dir.path()));
        storeV1(cache);
        const auto entry = onlyEntry(dir.path());
        const std::string damaged = damage(readFile(entry));  // read before the stream truncates it
        std::ofstream(entry, std::ios::binary | std::ios::trunc) << damaged;
        EXPECT_EQ(storedBody(cache), std::nullopt);
        EXPECT_FALSE(std::filesystem::exists(entry));
        storeV1(cache);
        EXPECT_EQ(storedBody(cache), "v1") << "the key can be stored again";
    }
}

// A writer killed at any moment leaves either the previous entry or the next one, never a part:
// each body is a run of one letter, so a mixed or short read shows.
TEST(CacheDirectory, AWriterKilledHalfWayLeavesWholeEntries) {
    TempDir dir;
    for (int round = 0; round < 5; ++round) {
        pid_t child = fork();
        ASSERT_NE(child, -1);
        if (child == 0) {
            HttpCache cache(inDirectory(dir.path()));
            for (int i = 0;; ++i) storeV1(cache, std::string(std::size_t(64 * 1024 + i * 37 % 4096), char('a' + i % 26)));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + 15 * round));
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        HttpCache reader(inDirectory(dir.path()));
        auto body = storedBody(reader);
        if (body) {
            ASSERT_FALSE(body->empty());
            EXPECT_EQ(body->find_first_not_of(body->front()), std::string::npos);
        }
    }
}

TEST(CacheDirectory, AbandonedTemporaryFilesAreRemovedAndNeverRead) {
    TempDir dir;
    HttpCache cache(inDirectory(dir.path()));
    const auto abandoned = dir.path() / ".tmp-left-by-a-crash";
    std::ofstream(abandoned) << "half";
    std::filesystem::last_write_time(abandoned, std::filesystem::file_time_type::clock::now() - 2h);
    const auto fresh = dir.path() / ".tmp-being-written";
    std::ofstream(fresh) << "half";
    storeV1(cache);
    EXPECT_FALSE(std::filesystem::exists(abandoned));
    EXPECT_TRUE(std::filesystem::exists(fresh)) << "another process may still be writing it";
    EXPECT_EQ(storedBody(cache), "v1");
}

// Two processes on one directory: what one stores the other finds, and a clear in one (a sign-out)
// empties it for both.
TEST(CacheDirectory, TwoProcessesShareOneDirectory) {
    TempDir dir;
    HttpCache parent(inDirectory(dir.path()));
    int toChild[2], toParent[2];
    ASSERT_EQ(pipe(toChild), 0);
    ASSERT_EQ(pipe(toParent), 0);
    pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        HttpCache other(inDirectory(dir.path()));
        storeV1(other, "from-child");
        char c = 'x';
        (void)!write(toParent[1], &c, 1);
        (void)!read(toChild[0], &c, 1);  // the parent has cleared
        _exit(storedBody(other) == std::nullopt ? 0 : 1);
    }
    char c = 0;
    ASSERT_EQ(read(toParent[0], &c, 1), 1);
    EXPECT_EQ(storedBody(parent), "from-child");
    parent.clear();
    ASSERT_EQ(write(toChild[1], &c, 1), 1);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child still found the answer";
    for (int fd : {toChild[0], toChild[1], toParent[0], toParent[1]}) close(fd);
}

}  // namespace
}  // namespace tarn::detail
