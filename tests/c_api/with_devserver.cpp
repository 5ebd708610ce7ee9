// Runs a program against a fresh tarn-devserver, for the tests of the C example and the Python
// binding, which cannot start one themselves in the same way:
//
//   tarn_with_devserver DEVSERVER -- PROGRAM ARG...
//
// The server is started on a free port; in the arguments "{url}" becomes its base URL and
// "{dir}" a fresh private directory, removed afterwards; the environment gets TARN_DEVSERVER_URL.
// The exit status is the program's (1 when a signal ended it); the server's log is shown then.
#include "common/subprocess.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

namespace {

std::string substituted(std::string arg, const std::string& key, const std::string& value) {
    for (std::size_t at = arg.find(key); at != std::string::npos; at = arg.find(key, at + value.size())) {
        arg.replace(at, key.size(), value);
    }
    return arg;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4 || std::string(argv[2]) != "--") {
        std::cerr << "usage: tarn_with_devserver DEVSERVER -- PROGRAM ARG...\n";
        return 2;
    }
    try {
        tarn::tools::ServerProcess server(argv[1], {"--port", "0", "--quiet"}, {}, SIGKILL);
        std::string dirTemplate = (std::filesystem::temp_directory_path() / "tarn-c-XXXXXX").string();
        if (::mkdtemp(dirTemplate.data()) == nullptr) throw std::runtime_error("cannot create a temporary directory");
        const std::string dir = dirTemplate;

        std::vector<std::string> args;
        for (int i = 3; i < argc; ++i) args.push_back(substituted(substituted(argv[i], "{url}", server.url()), "{dir}", dir));
        std::vector<char*> argvChild;
        for (auto& a : args) argvChild.push_back(a.data());
        argvChild.push_back(nullptr);

        std::cout.flush();
        pid_t child = ::fork();
        if (child == 0) {
            ::setenv("TARN_DEVSERVER_URL", server.url().c_str(), 1);
            ::execvp(argvChild[0], argvChild.data());
            std::perror("exec");
            ::_exit(127);
        }
        int status = 0;
        while (child > 0 && ::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
        int code = child < 0 ? 1 : WIFEXITED(status) ? WEXITSTATUS(status) : 1;
        if (code != 0) std::cerr << "tarn-devserver log:\n" << server.log() << "\n";
        server.stop();
        return code;
    } catch (const std::exception& e) {
        std::cerr << "tarn_with_devserver: " << e.what() << "\n";
        return 1;
    }
}
