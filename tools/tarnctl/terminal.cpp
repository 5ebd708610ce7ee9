#include "terminal.hpp"

#include "deadline.hpp"
#include "errors.hpp"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <utility>

namespace tarnctl {

std::string trimmed(std::string_view text) {
    constexpr std::string_view space = " \t\r\n\v\f";
    auto begin = text.find_first_not_of(space);
    if (begin == std::string_view::npos) return {};
    auto end = text.find_last_not_of(space);
    return std::string(text.substr(begin, end - begin + 1));
}

bool Input::stdinIsTerminal() { return ::isatty(STDIN_FILENO) == 1; }

Input::Result Input::readLine(std::optional<std::chrono::milliseconds> timeout) {
    // Typing takes as long as it takes: the command's deadline does not run meanwhile.
    CommandDeadline::UserWait waitingForInput;
    auto deadline = timeout ? std::chrono::steady_clock::now() + *timeout : std::chrono::steady_clock::time_point::max();
    for (;;) {
        if (auto nl = buffer_.find('\n'); nl != std::string::npos) {
            std::string line = buffer_.substr(0, nl);
            buffer_.erase(0, nl + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return {Status::line, std::move(line)};
        }
        if (eof_) {
            // A last line without a line break still counts.
            if (!buffer_.empty()) return {Status::line, std::exchange(buffer_, {})};
            return {Status::eof, {}};
        }
        int waitMs = -1;
        if (timeout) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return {Status::timeout, {}};
            waitMs = static_cast<int>(left.count());
        }
        pollfd pfd{STDIN_FILENO, POLLIN, 0};
        int ready = ::poll(&pfd, 1, waitMs);
        if (ready < 0) {
            if (errno == EINTR) continue;
            eof_ = true;
            continue;
        }
        if (ready == 0) continue;
        char chunk[512];
        ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) {
            eof_ = true;
            continue;
        }
        buffer_.append(chunk, static_cast<std::size_t>(n));
    }
}

std::string Input::prompt(std::string_view prompt, std::string_view what) {
    std::cerr << prompt << std::flush;
    Result r = readLine();
    if (r.status != Status::line) {
        std::cerr << '\n';
        throw usageError("standard input ended before " + std::string(what) + " was entered");
    }
    return r.text;
}

std::string Input::promptSecret(std::string_view prompt, std::string_view what) {
    termios saved{};
    bool restore = false;
    if (stdinIsTerminal() && ::tcgetattr(STDIN_FILENO, &saved) == 0) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        restore = ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
    }
    std::string line;
    try {
        line = this->prompt(prompt, what);
    } catch (...) {
        if (restore) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        throw;
    }
    if (restore) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::cerr << '\n';  // the Enter that was not echoed
    }
    return line;
}

Spinner::Spinner() : enabled_(::isatty(STDERR_FILENO) == 1) {}

Spinner::~Spinner() { clear(); }

void Spinner::tick(std::string_view message) {
    if (!enabled_) return;
    static constexpr const char* frames[] = {"⠋", "⠙", "⠹", "⠸", "⠼", "⠴", "⠦", "⠧", "⠇", "⠏"};
    std::cerr << "\r\033[K" << frames[frame_++ % 10] << ' ' << message << std::flush;
    shown_ = true;
}

void Spinner::clear() {
    if (!shown_) return;
    std::cerr << "\r\033[K" << std::flush;
    shown_ = false;
}

}  // namespace tarnctl
