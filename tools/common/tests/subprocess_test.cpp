// The child-process helper against /bin/sh scripts: the bounded waits, the escalation from SIGTERM
// to SIGKILL, and the failures a caller has to tell apart.
#include "common/subprocess.hpp"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>
#include <thread>

#include <gtest/gtest.h>

namespace tarn::tools {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::filesystem::path shell() {
    static const std::filesystem::path sh = findOnPath("sh").value();
    return sh;
}

Subprocess script(const std::string& text, const SpawnOptions& options = {}) {
    return Subprocess(shell(), {"-c", text}, options);
}

TEST(Subprocess, ReadLineHandsOutLinesInOrderAndGivesUpInTime) {
    Subprocess lines = script("printf 'first\\nsecond\\nhalf'");
    EXPECT_EQ(lines.readLine(5s), "first");
    EXPECT_EQ(lines.readLine(5s), "second") << "what came with the first line is kept for the next";
    EXPECT_EQ(lines.readLine(5s), std::nullopt) << "a line without its break is not a line";

    Subprocess silent = script("exec sleep 30");
    auto start = Clock::now();
    EXPECT_EQ(silent.readLine(100ms), std::nullopt);
    EXPECT_LT(Clock::now() - start, 2s);
}

TEST(Subprocess, StopEscalatesToSigkillOnlyAfterTheGrace) {
    struct Case {
        const char* script;
        std::chrono::milliseconds grace;
        int signal;
    };
    for (const Case& c : {Case{"echo ready; exec sleep 30", 5s, SIGTERM},
                          Case{"trap '' TERM; echo ready; exec sleep 30", 200ms, SIGKILL},
                          Case{"echo ready; exec sleep 30", 0ms, SIGKILL}}) {
        Subprocess child = script(c.script);
        ASSERT_EQ(child.readLine(5s), "ready") << c.script;
        auto start = Clock::now();
        ExitStatus status = child.stop(c.grace);
        EXPECT_EQ(status.signal, c.signal) << c.script;
        EXPECT_EQ(status.code, -1) << c.script;
        EXPECT_GE(Clock::now() - start, c.signal == SIGKILL ? c.grace : 0ms) << c.script;
        EXPECT_LT(Clock::now() - start, c.grace + 2s) << c.script;
        EXPECT_EQ(child.pid(), -1);
        EXPECT_EQ(child.stdoutFD(), -1) << "stopping closes the pipes";
    }
}

TEST(Subprocess, WaitReportsTheExitCodeAndStopKeepsIt) {
    Subprocess child = script("exit 3");
    std::optional<ExitStatus> status = child.wait(5s);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->code, 3);
    EXPECT_EQ(child.stop().code, 3) << "an exited child is not signalled again";

    Subprocess running = script("exec sleep 30");
    EXPECT_EQ(running.wait(0ms), std::nullopt);
}

TEST(Subprocess, TheChildGetsTheGivenEnvironmentAndStandardInput) {
    SpawnOptions options;
    options.pipeStdin = true;
    options.environment = std::vector<std::string>{"GREETING=hello"};
    Subprocess child = script("read name; echo \"$GREETING $name\"; echo \"${HOME:-no home}\"", options);
    ASSERT_EQ(::write(child.stdinFD(), "world\n", 6), 6);
    child.closeStdin();
    EXPECT_EQ(child.readLine(5s), "hello world");
    EXPECT_EQ(child.readLine(5s), "no home") << "only the given variables";
}

// What the parent blocked or ignored is its own business: the child starts with neither (exec
// keeps both, so a server started by tarnctl would otherwise never see SIGPIPE or SIGTERM).
TEST(Subprocess, TheChildStartsWithNoSignalBlockedOrIgnored) {
    sigset_t blocked, saved;
    ::sigemptyset(&blocked);
    ::sigaddset(&blocked, SIGTERM);
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &blocked, &saved), 0);
    struct sigaction ignore {}, previous {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGPIPE, &ignore, &previous), 0);
    std::optional<std::string> masks;
    {
        Subprocess child = script("grep -E '^Sig(Blk|Ign):' /proc/self/status | tr '\\n' ' '; echo");
        masks = child.readLine(5s);
        child.wait(5s);
    }
    ::sigaction(SIGPIPE, &previous, nullptr);
    ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    ASSERT_TRUE(masks);
    EXPECT_NE(masks->find("SigBlk:\t0000000000000000"), std::string::npos) << *masks;
    EXPECT_NE(masks->find("SigIgn:\t0000000000000000"), std::string::npos) << *masks;
}

TEST(Subprocess, TheParentDeathSignalComesWhenTheStartingThreadEnds) {
    // The kernel ties the signal to the thread that forked, not to the process: a child started
    // from a worker thread is signalled when that thread ends. The constructor returns only after
    // the exec, so the request is in place before the thread can end.
    std::optional<Subprocess> child;
    SpawnOptions options;
    options.parentDeathSignal = SIGTERM;
    std::thread([&] { child.emplace(shell(), std::vector<std::string>{"-c", "exec sleep 30"}, options); }).join();
    std::optional<ExitStatus> status = child->wait(5s);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->signal, SIGTERM);
}

TEST(Subprocess, AProgramThatCannotBeExecutedIsAnErrorOfItsOwn) {
    try {
        Subprocess child("/nonexistent/program", {});
        FAIL() << "started " << child.pid();
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code().value(), ENOENT) << e.what();
    }
    EXPECT_FALSE(startDetached("/nonexistent/program", {}));
    EXPECT_EQ(captureOutput("/nonexistent/program", {}), std::nullopt);
}

TEST(CaptureOutput, IsTheOutputOfASuccessfulRunWithinTheTimeout) {
    struct Case {
        const char* script;
        std::optional<std::string> output;
    };
    for (const Case& c : {Case{"echo out; echo err >&2", "out\n"}, Case{"echo out; exit 1", std::nullopt},
                          Case{"exec sleep 30", std::nullopt}}) {
        auto start = Clock::now();
        EXPECT_EQ(captureOutput(shell(), {"-c", c.script}, 300ms), c.output) << c.script;
        EXPECT_LT(Clock::now() - start, 3s) << c.script;
    }
}

TEST(ServerProcess, TakesTheAddressFromTheFirstLineOnly) {
    struct Case {
        const char* firstLine;
        int port;  // 0: refused
    };
    const std::string log = ::testing::TempDir() + "tarn-subprocess-test-" + std::to_string(::getpid()) + ".log";
    for (const Case& c : {Case{"listening on http://127.0.0.1:4321", 4321}, Case{"listening on https://[::1]:8443", 8443},
                          Case{"listening on http://127.0.0.1:", 0}, Case{"listening on 127.0.0.1", 0},
                          Case{"starting up", 0}}) {
        std::string text = std::string("echo to-the-log >&2; echo '") + c.firstLine + "'; exec sleep 30";
        if (c.port == 0) {
            try {
                ServerProcess server(shell(), {"-c", text}, log, SIGKILL);
                ADD_FAILURE() << "accepted " << c.firstLine;
            } catch (const std::runtime_error& e) {
                EXPECT_NE(std::string(e.what()).find("to-the-log"), std::string::npos) << "the log explains: " << e.what();
            }
            continue;
        }
        ServerProcess server(shell(), {"-c", text}, log, SIGKILL);
        EXPECT_EQ(server.port(), c.port);
        EXPECT_EQ(server.url(), std::string(c.firstLine).substr(13));
        EXPECT_EQ(server.log(), "to-the-log\n");
    }
    std::filesystem::remove(log);
}

}  // namespace
}  // namespace tarn::tools
