// Turns SIGHUP, SIGINT, SIGTERM and SIGCHLD into bytes on a pipe that the event loop
// polls alongside the port.
#pragma once

#include <vector>

namespace qm4410::sim {

class SignalPipe {
public:
    SignalPipe();  // installs the handlers; one instance per process
    ~SignalPipe();
    SignalPipe(const SignalPipe&) = delete;
    SignalPipe& operator=(const SignalPipe&) = delete;

    int fd() const;
    std::vector<int> drain();  // signals caught since the last call
};

}  // namespace qm4410::sim
