// Reads arbitrary bytes as the shared defaults file, then writes one key. Reading never fails;
// the write must succeed, must be readable by another instance, and must keep the value that a
// key of the original file had, whatever else the file held.
#include "tarn/storage/defaults.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

const std::filesystem::path& directory() {
    // In $TMPDIR: scripts/fuzz points it at a tmpfs when there is one, where the syncs of every
    // write cost nothing, and removes it afterwards.
    static const std::filesystem::path dir = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "tarn-fuzz-defaults-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) std::abort();
        return std::filesystem::path(pattern);
    }();
    return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::filesystem::path& dir = directory();
    for (const auto& entry : std::filesystem::directory_iterator(dir)) std::filesystem::remove_all(entry.path());
    const std::filesystem::path file = dir / "defaults.json";
    {
        std::ofstream out(file, std::ios::binary);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    std::filesystem::permissions(file, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

    tarn::JSONFileDefaults defaults(file);
    const auto kept = defaults.stringForKey("k");
    (void)defaults.stringForKey("dev.tarn.vpn.device-id");
    defaults.setString("fuzz.written", "v\u00e9\n\"");
    tarn::JSONFileDefaults reader(file);
    if (reader.stringForKey("fuzz.written") != "v\u00e9\n\"") std::abort();
    if (reader.stringForKey("k") != kept) std::abort();
    return 0;
}
