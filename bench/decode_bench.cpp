// Typed decoding against simdjson's bare parse of the same bytes (the ceiling), for the two
// largest answers the client sees: a 1,000-server list and a full billing catalogue.
#include "tarn/api/json.hpp"
#include "tarn/models/billing_telemetry.hpp"
#include "tarn/models/devices_vpn.hpp"

#include <benchmark/benchmark.h>
#include <simdjson.h>

#include <string>
#include <vector>

namespace {

std::string serverList(int count) {
    std::vector<tarn::VPNServer> servers;
    const char* countries[] = {"DE", "NL", "FI", "US", "JP", "TR", "KZ", "AM"};
    const char* cities[] = {"Frankfurt", "Amsterdam", "Helsinki", "New York", "Tokyo", "Istanbul", "Almaty", "Yerevan"};
    for (int i = 0; i < count; ++i) {
        tarn::VPNServer s;
        s.id = std::string(countries[i % 8]) + "-" + std::to_string(i);
        s.country = countries[i % 8];
        s.city = cities[i % 8];
        if (i % 3 != 0) s.flag = "🇩🇪";
        s.load = (i * 37) % 100;
        s.latency = 10 + (i * 13) % 200;
        s.isAvailable = i % 7 != 0;
        s.isPremium = i % 5 == 0;
        s.protocolName = "vless";
        servers.push_back(std::move(s));
    }
    return tarn::JSONEncoder::tarn().encode(servers);
}

std::string catalogue() {
    tarn::BillingCatalog c;
    c.currency = "RUB";
    c.deviceLimitOptions = {1, 2, 3, 5, 10};
    for (int g = 0; g < 6; ++g) {
        tarn::BillingTariffGroup group;
        group.id = "tariff-" + std::to_string(g);
        group.title = "Подписка на " + std::to_string((g + 1) * 30) + " дней";
        group.days = (g + 1) * 30;
        group.featured = g == 2;
        for (auto limit : c.deviceLimitOptions) {
            group.variants.push_back({limit, limit * 150 * (g + 1), limit * 150, "month"});
        }
        group.defaultLimit = 3;
        group.defaultPriceRUB = 450 * (g + 1);
        group.defaultMonthRUB = 450;
        group.defaultUnit = "month";
        c.tariffGroups.push_back(std::move(group));
    }
    c.paymentMethods = {{"card", "Банковская карта", "Visa, Mastercard, МИР", true},
                        {"sbp", "СБП", "Система быстрых платежей", false}};
    return tarn::JSONEncoder::tarn().encode(c);
}

void bareParse(benchmark::State& state, const std::string& json) {
    simdjson::dom::parser parser;
    for (auto _ : state) {
        simdjson::dom::element doc;
        auto error = parser.parse(json).get(doc);
        benchmark::DoNotOptimize(error);
        benchmark::DoNotOptimize(doc);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * json.size()));
}

template <class T>
void typedDecode(benchmark::State& state, const std::string& json) {
    auto decoder = tarn::JSONDecoder::tarn();
    for (auto _ : state) {
        T value = decoder.decode<T>(json);
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * json.size()));
}

const std::string kServers = serverList(1000);
const std::string kCatalogue = catalogue();

void BM_Servers_SimdjsonParse(benchmark::State& s) { bareParse(s, kServers); }
void BM_Servers_TypedDecode(benchmark::State& s) { typedDecode<std::vector<tarn::VPNServer>>(s, kServers); }
void BM_Catalogue_SimdjsonParse(benchmark::State& s) { bareParse(s, kCatalogue); }
void BM_Catalogue_TypedDecode(benchmark::State& s) { typedDecode<tarn::BillingCatalog>(s, kCatalogue); }

BENCHMARK(BM_Servers_SimdjsonParse);
BENCHMARK(BM_Servers_TypedDecode);
BENCHMARK(BM_Catalogue_SimdjsonParse);
BENCHMARK(BM_Catalogue_TypedDecode);

}  // namespace

BENCHMARK_MAIN();
