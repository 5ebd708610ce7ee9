// Test harness for the CLI tests: runs the real tarnctl and tarn-devserver binaries as child
// processes. A DevServer listens on a free port for one test; tarnctl runs either to completion
// with prepared standard input, or interactively, the test answering its prompts as they appear.
#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/subprocess.hpp"
#include "devserver_process.hpp"
#include "scratch_directory.hpp"

namespace tarnctl::test {

using Json = nlohmann::json;
using namespace std::chrono_literals;

struct Result {
    int exitCode = -1;  // -1: killed or did not finish in time
    std::string out;
    std::string err;
    /// stdout parsed as JSON; a test failure (and null) when it is not.
    Json json() const;
};

std::ostream& operator<<(std::ostream& os, const Result& r);

/// The development backend on a free port, as its own tests drive it.
using DevServer = tarn::devserver::test::DevServerProcess;
using tarn::devserver::test::Reply;

/// Environment changes for a child: a value sets the variable, nullopt removes it.
using EnvChanges = std::map<std::string, std::optional<std::string>>;

/// A running program with pipes on all three standard streams.
class Child {
public:
    Child(const std::string& program, const std::vector<std::string>& args, const EnvChanges& env = {});
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    void write(const std::string& text);
    void closeInput();
    /// Waits until stdout or stderr has shown `text`; false when the timeout passes or the
    /// program exits first.
    bool waitFor(const std::string& text, std::chrono::milliseconds timeout = 20s);
    /// Waits for a whole line containing `text` and returns what follows `text` on it (nullopt
    /// on timeout or exit).
    std::optional<std::string> waitForRestOfLine(const std::string& text, std::chrono::milliseconds timeout = 20s);
    /// Waits for the exit (killing the program after the timeout) and returns everything.
    Result finish(std::chrono::milliseconds timeout = 30s);
    std::string output() const { return out_ + err_; }

private:
    bool pump(std::chrono::milliseconds wait);  // false once both pipes are at their end

    tarn::tools::Subprocess process_;
    bool outOpen_ = true, errOpen_ = true;
    std::string out_, err_, combined_;
};

/// Runs a program with `input` on standard input to completion.
Result run(const std::string& program, const std::vector<std::string>& args, const std::string& input = "",
           const EnvChanges& env = {}, std::chrono::milliseconds timeout = 30s);

using tarn::tools::findOnPath;

/// The whole content of a file; empty when it cannot be read.
std::string readFile(const std::filesystem::path& p);

/// A fresh private directory, removed with everything in it.
using TempDir = tarn::testing::ScratchDirectory;

}  // namespace tarnctl::test
