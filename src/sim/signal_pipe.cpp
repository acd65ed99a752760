#include "signal_pipe.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace qm4410::sim {

namespace {

int g_pipe[2] = {-1, -1};
// A hang-up (the terminal closed) ends it as SIGTERM does: the link is
// removed and a COMMAND gets the signal, rather than the default death.
constexpr int kSignals[] = {SIGHUP, SIGINT, SIGTERM, SIGCHLD};

void set_flags(int fd) {
    if (fcntl(fd, F_SETFD, FD_CLOEXEC) != 0 || fcntl(fd, F_SETFL, O_NONBLOCK) != 0) {
        throw std::system_error(errno, std::generic_category(), "configure pipe");
    }
}

void on_signal(int number) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    [[maybe_unused]] const ssize_t ignored = write(g_pipe[1], &byte, 1);
    errno = saved;
}

}  // namespace

SignalPipe::SignalPipe() {
    // pipe() and then the flags, as pipe2() is not everywhere: nothing can
    // fork in between, the program has one thread.
    if (pipe(g_pipe) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
    set_flags(g_pipe[0]);
    set_flags(g_pipe[1]);
    struct sigaction action{};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : kSignals) sigaction(number, &action, nullptr);
}

SignalPipe::~SignalPipe() {
    // The process is ending with the status it has chosen: a Ctrl-C still
    // arriving (a key held down) must not replace that status with its own.
    struct sigaction action{};
    for (int number : kSignals) {
        action.sa_handler = number == SIGCHLD ? SIG_DFL : SIG_IGN;
        sigaction(number, &action, nullptr);
    }
    close(g_pipe[0]);
    close(g_pipe[1]);
}

int SignalPipe::fd() const { return g_pipe[0]; }

std::vector<int> SignalPipe::drain() {
    std::vector<int> caught;
    unsigned char bytes[64];
    ssize_t count;
    while ((count = read(g_pipe[0], bytes, sizeof bytes)) > 0) caught.insert(caught.end(), bytes, bytes + count);
    return caught;
}

}  // namespace qm4410::sim
