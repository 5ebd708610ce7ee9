// Every codec measurement as one named case: a document or record, and one way to decode or
// encode it. decode_bench and encode_bench time these cases with Google Benchmark; codec_count
// runs one of them under callgrind to count its instructions. Keeping them in one table means
// the timed and the counted work can never drift apart.
#pragma once

#include "nlohmann_coders.hpp"
#include "sample_documents.hpp"
#if TARN_BENCH_HAVE_RAPIDJSON
#include "rapidjson_coders.hpp"
#endif
#if TARN_BENCH_HAVE_BOOST_JSON
#include "boost_json_coders.hpp"
#endif
#include "tarn/json/json.hpp"

#include <benchmark/benchmark.h>
#include <simdjson.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarn::bench {

struct CodecCase {
    std::string name;   // "decode/servers/tarn"
    std::size_t bytes;  // JSON bytes read or written by one run
    std::function<void()> run;
};

// A response body as CurlSession hands it over: with 64 bytes of spare capacity, so that a
// parser may read it in place.
inline std::shared_ptr<const std::string> padded(std::string text) {
    auto body = std::make_shared<std::string>(std::move(text));
    body->reserve(body->size() + simdjson::SIMDJSON_PADDING);
    return body;
}

template <class T>
void requireSameDecoding(const std::string& name, const std::string& json) {
    T typed = JSONDecoder::tarn().decode<T>(json);
    T byHand = nlohmann::json::parse(json).get<T>();
    if (!(typed == byHand)) throw std::logic_error(name + ": the two decoders disagree");
}

// The one part of a typed decode that records owning their text cannot skip: a std::string for
// every string value. Timestamps ("2026-01-02T...") are left out, as the records keep them
// converted, not as text.
inline void copyStrings(simdjson::dom::element e, std::vector<std::string>& out) {
    std::string_view text;
    simdjson::dom::array array;
    simdjson::dom::object object;
    if (!e.get_string().get(text)) {
        const bool looksLikeDate = text.size() >= 20 && text[4] == '-' && text[10] == 'T';
        if (!looksLikeDate) out.emplace_back(text);
    } else if (!e.get_array().get(array)) {
        for (simdjson::dom::element item : array) copyStrings(item, out);
    } else if (!e.get_object().get(object)) {
        for (auto field : object) copyStrings(field.value, out);
    }
}

// Steps through every value of a document with simdjson's On-Demand front end, converting nothing:
// scalars are only told apart by type. This is the other bound a single-pass decoder could reach,
// as it never writes the tape the DOM parse builds; it does not validate what it skips.
inline std::size_t countValues(simdjson::ondemand::value value) {
    using simdjson::ondemand::json_type;
    json_type type;
    if (value.type().get(type)) throw std::runtime_error("On-Demand refused the document");
    std::size_t count = 1;
    if (type == json_type::object) {
        simdjson::ondemand::object object;
        if (value.get_object().get(object)) throw std::runtime_error("On-Demand refused an object");
        for (auto field : object) {
            simdjson::ondemand::value member;
            if (field.value().get(member)) throw std::runtime_error("On-Demand refused a member");
            count += countValues(member);
        }
    } else if (type == json_type::array) {
        simdjson::ondemand::array array;
        if (value.get_array().get(array)) throw std::runtime_error("On-Demand refused an array");
        for (auto item : array) {
            simdjson::ondemand::value element;
            if (item.get(element)) throw std::runtime_error("On-Demand refused an item");
            count += countValues(element);
        }
    }
    return count;
}

// A decoder of another library as one more case, after checking that it builds the same records.
template <class T, class Decode>
void addPeerCase(std::vector<CodecCase>& cases, const std::string& document, std::shared_ptr<const std::string> json,
                 const std::string& peer, Decode decode) {
    if (!(decode(*json) == JSONDecoder::tarn().decode<T>(*json))) throw std::logic_error(document + ": " + peer + " and tarn disagree");
    cases.push_back({"decode/" + document + "/" + peer, json->size(), [json, decode] {
                         T value = decode(*json);
                         benchmark::DoNotOptimize(value);
                     }});
}

template <class T>
void addDecodeCases(std::vector<CodecCase>& cases, const std::string& document, std::string text) {
    auto json = padded(std::move(text));
    requireSameDecoding<T>(document, *json);
    // The ceiling: simdjson's DOM parse of the same bytes (validation and tape, no values kept).
    auto parser = std::make_shared<simdjson::dom::parser>();
    cases.push_back({"decode/" + document + "/simdjson_parse", json->size(), [json, parser] {
                         simdjson::dom::element root;
                         auto error = parser->parse(*json).get(root);
                         if (error) throw std::runtime_error("simdjson refused the document");
                         benchmark::DoNotOptimize(root);
                     }});
    // The other ceiling: On-Demand's walk of every value, without a tape and without conversions.
    auto onDemand = std::make_shared<simdjson::ondemand::parser>();
    cases.push_back({"decode/" + document + "/ondemand_iterate", json->size(), [json, onDemand] {
                         simdjson::ondemand::document doc;
                         simdjson::padded_string_view view(json->data(), json->size(), json->capacity());
                         if (onDemand->iterate(view).get(doc)) throw std::runtime_error("On-Demand refused the document");
                         simdjson::ondemand::value root;
                         if (doc.get_value().get(root)) throw std::runtime_error("On-Demand refused the root");
                         benchmark::DoNotOptimize(countValues(root));
                     }});
    // The parse plus owning the strings: what remains of a typed decode into records that own
    // their text when matching members, building records, converting dates and every check are
    // taken away. The strings are freed again each time, as the records are.
    auto strings = std::make_shared<std::vector<std::string>>();
    auto ownStrings = [json, parser, strings] {
        simdjson::dom::element root;
        auto error = parser->parse(*json).get(root);
        if (error) throw std::runtime_error("simdjson refused the document");
        strings->clear();
        copyStrings(root, *strings);
        benchmark::DoNotOptimize(strings->data());
    };
    cases.push_back({"decode/" + document + "/parse_and_own_strings", json->size(), ownStrings});
    cases.push_back({"decode/" + document + "/tarn", json->size(), [json] {
                         T value = JSONDecoder::tarn().decode<T>(*json);
                         benchmark::DoNotOptimize(value);
                     }});
    cases.push_back({"decode/" + document + "/nlohmann", json->size(), [json] {
                         T value = nlohmann::json::parse(*json).get<T>();
                         benchmark::DoNotOptimize(value);
                     }});
    // The peers a C++ developer would pick, each checked to build the same records first.
#if TARN_BENCH_HAVE_RAPIDJSON
    addPeerCase<T>(cases, document, json, "rapidjson",
                   [dom = std::make_shared<rapidjson::Document>()](const std::string& body) {
                       return rapidjson_coding::decode<T>(*dom, body);
                   });
#endif
#if TARN_BENCH_HAVE_BOOST_JSON
    addPeerCase<T>(cases, document, json, "boost_json",
                   [buffer = std::make_shared<std::vector<unsigned char>>(std::size_t{1} << 20)](const std::string& body) {
                       return boost_json_coding::decode<T>(*buffer, body);
                   });
#endif
}

template <class T>
void addEncodeCases(std::vector<CodecCase>& cases, const std::string& record, T value) {
    auto shared = std::make_shared<const T>(std::move(value));
    const std::size_t bytes = JSONEncoder::tarn().encode(*shared).size();
    cases.push_back({"encode/" + record + "/tarn", bytes, [shared] {
                         std::string text = JSONEncoder::tarn().encode(*shared);
                         benchmark::DoNotOptimize(text);
                     }});
    // What replaces the library's encoder: the hand-written to_json, then dump().
    cases.push_back({"encode/" + record + "/nlohmann", bytes, [shared] {
                         std::string text = nlohmann::json(*shared).dump();
                         benchmark::DoNotOptimize(text);
                     }});
    // dump() alone, of a tree built once beforehand: nlohmann's writer at its best.
    auto tree = std::make_shared<const nlohmann::json>(*shared);
    cases.push_back({"encode/" + record + "/nlohmann_dump_only", bytes, [tree] {
                         std::string text = tree->dump();
                         benchmark::DoNotOptimize(text);
                     }});
}

inline std::vector<CodecCase> decodeCases() {
    std::vector<CodecCase> cases;
    addDecodeCases<std::vector<VPNServer>>(cases, "servers_1000", serverListJSON(1000));
    addDecodeCases<AccountDevicesResponse>(cases, "devices_200", deviceListJSON(200));
    addDecodeCases<BillingCatalog>(cases, "catalogue", catalogueJSON());
    return cases;
}

inline std::vector<CodecCase> encodeCases() {
    std::vector<CodecCase> cases;
    addEncodeCases(cases, "user_sync", sampleUserSync());
    addEncodeCases(cases, "checkout", sampleCheckout());
    addEncodeCases(cases, "event", sampleEvent());
    addEncodeCases(cases, "push_token", samplePushToken());
    addEncodeCases(cases, "register", sampleRegister());
    addEncodeCases(cases, "servers_1000",
                   JSONDecoder::tarn().decode<std::vector<VPNServer>>(serverListJSON(1000)));
    return cases;
}

// The main() of decode_bench and encode_bench: every case as one Google Benchmark, with
// bytes/second beside the time so documents of different sizes read alike.
inline int runAsBenchmarks(std::vector<CodecCase> cases, int argc, char** argv) {
    for (auto& c : cases) {
        benchmark::RegisterBenchmark(c.name.c_str(), [c](benchmark::State& state) {
            for (auto _ : state) c.run();
            state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * c.bytes));
        });
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

}  // namespace tarn::bench
