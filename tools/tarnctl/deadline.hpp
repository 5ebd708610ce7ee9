// CommandDeadline: one bound on a whole tarnctl command. Each request has its timeout and each
// lock its wait, but a command makes several of them, and a hung secret store or a peer that keeps
// answering just in time could still hold a script forever. A watchdog thread ends the process
// when the command's time is up, naming the step it was stuck in.
//
// Time spent waiting for the person at the terminal (prompts, a browser or Telegram sign-in) does
// not count: the deadline bounds what the machine and the network do, not how fast someone types.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace tarnctl {

class CommandDeadline {
public:
    /// What to do when the time is up, given the step's description and exit code; must not
    /// return (it ends the process).
    using Expiry = std::function<void(const std::string& step, int exitCode)>;

    /// Starts the watchdog for this process. Called once, before the command runs.
    static void start(std::chrono::milliseconds limit, Expiry onExpiry);

    /// Marks what the command is doing until the object is destroyed; nested steps restore the
    /// outer one. `exitCode` is the code the process ends with if the time runs out meanwhile.
    class Step {
    public:
        Step(std::string description, int exitCode);
        ~Step();
        Step(const Step&) = delete;
        Step& operator=(const Step&) = delete;

    private:
        std::string previous_;
        int previousExitCode_;
    };

    /// Stops the clock while the command waits for the person at the terminal.
    class UserWait {
    public:
        UserWait();
        ~UserWait();
        UserWait(const UserWait&) = delete;
        UserWait& operator=(const UserWait&) = delete;
    };

    /// Sets the step that holds when no other is marked (the server once a client exists).
    static void setBaseStep(std::string description, int exitCode);
};

}  // namespace tarnctl
