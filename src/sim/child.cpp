#include "child.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>

namespace qm4410::sim {

pid_t spawn(const std::vector<std::string>& command, const std::string& port) {
    std::vector<char*> argv;
    for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);

    const pid_t pid = fork();
    if (pid < 0) throw std::system_error(errno, std::generic_category(), "fork");
    if (pid == 0) {
        setenv("QM4410_PORT", port.c_str(), 1);
        execvp(argv[0], argv.data());
        std::fprintf(stderr, "qm4410-sim: cannot run %s: %s\n", argv[0], std::strerror(errno));
        _exit(127);
    }
    return pid;
}

std::optional<int> reap(pid_t child) {
    int status = 0;
    const pid_t done = waitpid(child, &status, WNOHANG);
    if (done != child) return std::nullopt;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}

}  // namespace qm4410::sim
