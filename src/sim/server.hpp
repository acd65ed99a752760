// The event loop: reads requests from the port, lets the supply answer them,
// writes the replies when the line says they are due, and ends on a signal,
// when the command it runs ends, or after vanishing.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>

#include "control.hpp"
#include "line.hpp"
#include "options.hpp"
#include "pseudo_terminal.hpp"
#include "request_parser.hpp"
#include "signal_pipe.hpp"
#include "supply.hpp"

namespace qm4410::sim {

// A frame begun and then left unfinished this long is abandoned.
constexpr auto kAbandonAfter = std::chrono::milliseconds(200);

// While nobody has the port open it is looked at again this often, to find
// the next client. Neither Linux nor macOS tells the master side of a
// pseudo-terminal that its slave was opened (Linux's inotify would, macOS has
// nothing like it), so one portable way serves both. A client's first
// request waits at most this long, well inside the driver's 300 ms.
constexpr auto kOpenRecheck = std::chrono::milliseconds(20);

class Server {
public:
    Server(const Options& options, PseudoTerminal& port, PortLink* link, ControlPipe* control, SignalPipe& signals);

    // Serves until done; returns the exit status for the program.
    int run(std::optional<pid_t> child);

private:
    std::optional<TimePoint> next_deadline(TimePoint now) const;
    void read_port(TimePoint now);
    void client_there();
    void on_request(const Frame& request, TimePoint arrived);
    void write_due(TimePoint now);
    void abandon_stale_input(TimePoint now);
    void client_left();
    void vanish();
    void unplug();
    void plug();
    void take_control();
    void log_exchange(const Frame& request, const Frame& reply, const Transmission& sent) const;
    void log(const std::string& text) const;

    const Options& options_;
    PseudoTerminal& port_;
    PortLink* link_;
    ControlPipe* control_;
    SignalPipe& signals_;
    Supply supply_;
    RequestParser parser_;
    Line line_;
    TimePoint started_;
    TimePoint last_input_{};
    std::uint64_t requests_ = 0;
    bool client_present_ = false;
    bool hung_up_ = false;  // nobody on the port: look again at each recheck
    bool vanishing_ = false;
    bool powered_ = true;  // off: no request is answered
};

}  // namespace qm4410::sim
