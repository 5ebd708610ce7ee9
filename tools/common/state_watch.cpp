#include "common/state_watch.hpp"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <thread>

namespace tarn::tunnel {

StateWatch::StateWatch(const std::filesystem::path& runDirectory) {
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ >= 0 && ::inotify_add_watch(fd_, runDirectory.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE | IN_DELETE) < 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

StateWatch::~StateWatch() {
    if (fd_ >= 0) ::close(fd_);
}

void StateWatch::wait(std::chrono::milliseconds upTo) {
    if (fd_ < 0) {
        std::this_thread::sleep_for(upTo);
        return;
    }
    pollfd watched{fd_, POLLIN, 0};
    if (::poll(&watched, 1, static_cast<int>(upTo.count())) > 0) {
        // Only that something changed matters; the reader looks at the state itself.
        alignas(inotify_event) char events[4096];
        while (::read(fd_, events, sizeof events) > 0) {
        }
    }
}

}  // namespace tarn::tunnel
