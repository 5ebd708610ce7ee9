// Helpers shared by the storage tests: scratch directories and child processes.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarn::testing {

/// A fresh directory under the system's temporary directory, removed with everything in it.
class ScratchDirectory {
public:
    ScratchDirectory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "tarn-storage-test-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~ScratchDirectory() {
        std::error_code ec;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ec);
        std::filesystem::remove_all(path_, ec);
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

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
    explicit ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment = {}) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        std::vector<std::string> env = environment;
        for (char** e = environ; *e; ++e) {
            std::string entry(*e);
            std::string name = entry.substr(0, entry.find('='));
            bool replaced = false;
            for (const auto& override : environment) replaced = replaced || override.substr(0, override.find('=')) == name;
            if (!replaced) env.push_back(std::move(entry));
        }
        std::vector<char*> envp;
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        int rc = ::posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        if (rc != 0) {
            ::close(in[1]);
            ::close(out[0]);
            throw std::runtime_error("posix_spawn failed");
        }
        stdin_ = in[1];
        stdout_ = ::fdopen(out[0], "r");
    }
    ~ChildProcess() {
        closeInput();
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            wait();
        }
        if (stdout_) std::fclose(stdout_);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    void closeInput() {
        if (stdin_ >= 0) ::close(stdin_);
        stdin_ = -1;
    }
    /// One line of the child's output without its line break; "" at the end of its output.
    std::string readLine() {
        char buffer[4096];
        if (!std::fgets(buffer, sizeof buffer, stdout_)) return {};
        std::string line(buffer);
        if (!line.empty() && line.back() == '\n') line.pop_back();
        return line;
    }
    void kill(int signal) { ::kill(pid_, signal); }
    pid_t pid() const { return pid_; }
    /// The wait status.
    int wait() {
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        return status;
    }

private:
    pid_t pid_ = -1;
    int stdin_ = -1;
    FILE* stdout_ = nullptr;
};

}  // namespace tarn::testing
