// StateWatch: lets a reader of the tunnel's run directory sleep until the service writes its state
// instead of looking again at a fixed interval. The service replaces the state file by renaming a
// new one over it, which inotify reports on the directory; without inotify (or when the
// directory cannot be watched) a wait simply lasts its whole time, as a plain sleep would.
#pragma once

#include <chrono>
#include <filesystem>

namespace tarn::tunnel {

class StateWatch {
public:
    explicit StateWatch(const std::filesystem::path& runDirectory);
    ~StateWatch();
    StateWatch(const StateWatch&) = delete;
    StateWatch& operator=(const StateWatch&) = delete;

    /// Returns when something in the directory changed since the last call, or after `upTo`.
    void wait(std::chrono::milliseconds upTo);

private:
    int fd_ = -1;
};

}  // namespace tarn::tunnel
