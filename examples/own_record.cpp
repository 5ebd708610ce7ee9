// Decodes and encodes a record of the application's own with the library's JSON codec: the member
// table sits next to the record, and this one file instantiates the coders (link tarn::json).
// Run: own_record '{"id":"maintenance","starts_at":"2026-12-24T22:00:00Z","regions":["de","nl"]}'
#include <tarn/json/json_codec.hpp>
#include <tarn/tarn.hpp>

#include <iostream>

namespace app {

struct Maintenance {
    std::string id;
    tarn::Timestamp startsAt;
    std::vector<std::string> regions;
    std::optional<std::string> note;
};

}  // namespace app

template <>
inline constexpr auto tarn::json::members<app::Maintenance> = std::tuple{
    tarn::json::member("id", &app::Maintenance::id),
    tarn::json::member("starts_at", &app::Maintenance::startsAt),
    tarn::json::member("regions", &app::Maintenance::regions),
    tarn::json::member("note", &app::Maintenance::note),
};

TARN_JSON_CODABLE(app::Maintenance);

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: own_record JSON\n";
        return 2;
    }
    try {
        auto window = tarn::JSONDecoder::tarn().decode<app::Maintenance>(argv[1]);
        std::cout << window.id << " in " << window.regions.size() << " regions\n";
        std::cout << tarn::JSONEncoder::tarn().encode(window) << "\n";
    } catch (const tarn::DecodingError& e) {
        std::cerr << "not a maintenance window: " << e.what() << "\n";
        return 1;
    }
}
