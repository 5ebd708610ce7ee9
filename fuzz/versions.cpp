// Feeds arbitrary version strings to the update decision: the running version, the published
// version and the oldest supported one, separated by newlines. The decision must never fail, and a
// release that is exactly what runs is never an update.
#include "tarn/logic/app_update.hpp"
#include "tarn/platform/url.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string_view parts[3];
    for (auto& part : parts) {
        const std::size_t end = text.find('\n');
        part = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    }
    tarn::IOSAppRelease release;
    release.version = std::string(parts[1]);
    release.minimumSupportedVersion = std::string(parts[2]);
    release.build = 7;
    release.installURL = *tarn::URL::parse("https://downloads.tarn.test/app");
    (void)tarn::AppUpdatePolicy::evaluate(parts[0], 7, release).description();

    release.version = std::string(parts[0]);
    release.minimumSupportedVersion = std::string(parts[0]);
    if (tarn::AppUpdatePolicy::evaluate(parts[0], 7, release) != tarn::AppUpdateRequirement::upToDate()) std::abort();
    return 0;
}
