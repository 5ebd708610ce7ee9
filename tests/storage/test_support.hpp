// Helpers shared by the storage tests: files and their text, keychain items, temporary files of
// writers and child processes.
#pragma once

#include "common/subprocess.hpp"
#include "scratch_directory.hpp"
#include "tarn/storage/keychain.hpp"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarn::testing {

inline std::string readText(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void writeText(const std::filesystem::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
}

/// A generic password item of `service` and `account`, in the data-protection keychain unless not.
inline KeychainAttributes keychainItem(const std::string& service, const std::string& account, bool dataProtection = true) {
    KeychainAttributes q{.itemClass = KeychainItemClass::genericPassword, .service = service, .account = account};
    if (dataProtection) q.useDataProtectionKeychain = true;
    return q;
}

inline KeychainAttributes withData(KeychainAttributes q, std::string data) {
    q.valueData = std::move(data);
    return q;
}

/// The names of the temporary files writers left in `directory`.
inline std::vector<std::string> temporaryFilesIn(const std::filesystem::path& directory) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        std::string name = entry.path().filename().string();
        if (name.rfind(".tmp-", 0) == 0) names.push_back(name);
    }
    return names;
}

/// Dates the temporary files in `directory` back by a minute, past the age at which a sweep may
/// take a temporary file whose writer is gone.
inline void ageTemporaryFiles(const std::filesystem::path& directory) {
    for (const auto& name : temporaryFilesIn(directory)) {
        std::filesystem::last_write_time(directory / name, std::filesystem::last_write_time(directory / name) -
                                                               std::chrono::minutes(1));
    }
}

inline unsigned modeOf(const std::filesystem::path& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return 0;
    return st.st_mode & 07777;
}

/// A child process running `argv` with pipes to its standard input and output.
class ChildProcess {
public:
    /// `environment` entries ("NAME=value") replace or add to the test's own environment.
    explicit ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment = {})
        : process_(argv.at(0), {argv.begin() + 1, argv.end()}, options(environment)) {}

    void closeInput() { process_.closeStdin(); }
    /// One line of the child's output without its line break; "" at the end of its output.
    std::string readLine() { return process_.readLine(std::chrono::minutes(2)).value_or(""); }
    void kill(int signal) { ::kill(process_.pid(), signal); }
    pid_t pid() const { return process_.pid(); }
    /// The exit code; -1 when a signal ended the child or it did not end in time.
    int wait() {
        auto status = process_.wait(std::chrono::minutes(2));
        return status ? status->code : -1;
    }

private:
    static tools::SpawnOptions options(const std::vector<std::string>& overrides) {
        tools::SpawnOptions o;
        o.pipeStdin = true;
        std::vector<std::string> env = overrides;
        for (char** e = environ; *e; ++e) {
            const std::string entry(*e);
            const std::string name = entry.substr(0, entry.find('=') + 1);
            bool replaced = false;
            for (const auto& override : overrides) replaced = replaced || override.rfind(name, 0) == 0;
            if (!replaced) env.push_back(entry);
        }
        o.environment = std::move(env);
        return o;
    }

    tools::Subprocess process_;
};

}  // namespace tarn::testing
