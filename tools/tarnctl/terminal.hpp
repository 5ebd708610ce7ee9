// Talking to the person at the terminal: prompts on stderr, lines read from stdin (with a timeout,
// so a command can poll the server while it waits for typing), input without echo for passwords,
// and a spinner that only appears when stderr is a terminal.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace tarnctl {

class Input {
public:
    enum class Status { line, timeout, eof };
    struct Result {
        Status status;
        std::string text;  // the line without its line break
    };

    /// Waits up to `timeout` for a whole line (forever when nullopt).
    Result readLine(std::optional<std::chrono::milliseconds> timeout = std::nullopt);

    /// Writes `prompt` to stderr and reads one line; throws a usage error naming `what` when the
    /// input ends first.
    std::string prompt(std::string_view prompt, std::string_view what);
    /// The same without echo when stdin is a terminal.
    std::string promptSecret(std::string_view prompt, std::string_view what);

    static bool stdinIsTerminal();

private:
    std::string buffer_;
    bool eof_ = false;
};

/// A one-character spinner with a message, redrawn in place on stderr when it is a terminal;
/// silent otherwise.
class Spinner {
public:
    Spinner();
    ~Spinner();
    Spinner(const Spinner&) = delete;
    Spinner& operator=(const Spinner&) = delete;

    void tick(std::string_view message);
    void clear();

private:
    bool enabled_;
    bool shown_ = false;
    unsigned frame_ = 0;
};

/// Trims ASCII white space (spaces, tabs, line breaks) from both ends.
std::string trimmed(std::string_view text);

}  // namespace tarnctl
