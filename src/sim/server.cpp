#include "server.hpp"

#include <signal.h>
#include <sys/select.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <stdexcept>
#include <system_error>

#include "child.hpp"
#include "describe.hpp"

namespace qm4410::sim {

namespace {

struct Ready {
    bool port = false;
    bool control = false;
};

// Waits until `signals`, `port` or `control` (each when not -1) is readable
// or the deadline passes; says which of the last two are. select() rather
// than poll(): Darwin's poll() does not work on terminal devices.
Ready wait_for_input(int signals, int port, int control, std::optional<TimePoint> deadline, TimePoint now) {
    const int highest = std::max({signals, port, control});
    if (highest >= FD_SETSIZE) throw std::runtime_error("descriptor beyond what select() can watch");
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(signals, &readable);
    if (port >= 0) FD_SET(port, &readable);
    if (control >= 0) FD_SET(control, &readable);
    timeval timeout{};
    if (deadline && *deadline > now) {
        // Rounded up: waking a little early would only spin until the deadline.
        const auto wait = std::chrono::ceil<std::chrono::microseconds>(*deadline - now).count();
        timeout.tv_sec = static_cast<time_t>(wait / 1000000);
        timeout.tv_usec = static_cast<suseconds_t>(wait % 1000000);
    }
    const int ready = select(highest + 1, &readable, nullptr, nullptr, deadline ? &timeout : nullptr);
    if (ready < 0 && errno != EINTR) throw std::system_error(errno, std::generic_category(), "select");
    if (ready <= 0) return {};
    return {port >= 0 && FD_ISSET(port, &readable) != 0, control >= 0 && FD_ISSET(control, &readable) != 0};
}

}  // namespace

Server::Server(const Options& options, PseudoTerminal& port, PortLink* link, ControlPipe* control, SignalPipe& signals)
    : options_(options),
      port_(port),
      link_(link),
      control_(control),
      signals_(signals),
      supply_(options.supply),
      line_(options.line_speed ? byte_time_at(options.line_speed) : Duration::zero()),
      started_(Clock::now()) {}

int Server::run(std::optional<pid_t> child) {
    for (;;) {
        const TimePoint before = Clock::now();
        // The master is readable for as long as nobody has the port open;
        // waiting on it then would spin, so it is looked at on rechecks.
        const bool watch_port = port_.master() >= 0 && !hung_up_;
        const Ready ready = wait_for_input(signals_.fd(), watch_port ? port_.master() : -1,
                                           control_ ? control_->fd() : -1, next_deadline(before), before);
        const TimePoint now = Clock::now();
        if (ready.control) take_control();

        for (int number : signals_.drain()) {
            if (number == SIGCHLD) {
                if (!child) continue;
                if (const auto status = reap(*child)) return *status;
            } else if (child) {
                kill(*child, number);  // the command decides when we are done
            } else {
                return 0;
            }
        }
        if (port_.master() < 0) continue;

        // A read tells whether anyone is there (and takes what they sent).
        if (ready.port || hung_up_) read_port(now);
        abandon_stale_input(now);
        write_due(now);
        if (vanishing_) {
            vanish();
            if (!child) return 0;
        }
    }
}

std::optional<TimePoint> Server::next_deadline(TimePoint now) const {
    if (port_.master() < 0) return std::nullopt;
    if (hung_up_) return now + kOpenRecheck;
    std::optional<TimePoint> deadline = line_.next_due();
    if (parser_.pending() > 0) {
        const TimePoint abandon = last_input_ + kAbandonAfter;
        if (!deadline || abandon < *deadline) deadline = abandon;
    }
    return deadline;
}

void Server::read_port(TimePoint now) {
    std::uint8_t bytes[512];
    for (;;) {
        const ssize_t count = read(port_.master(), bytes, sizeof bytes);
        if (count > 0) {
            client_there();
            last_input_ = now;
            const Received received = line_.received(now, static_cast<std::size_t>(count));
            if (received.kept < static_cast<std::size_t>(count)) {
                log("!! " + std::to_string(static_cast<std::size_t>(count) - received.kept) +
                    " bytes lost: the input buffer is full");
            }
            const Parsed parsed = parser_.feed(bytes, received.kept);
            if (!parsed.dropped.empty()) {
                log("?? " + hex(parsed.dropped) + "  not a request, " + std::to_string(parsed.dropped.size()) +
                    " bytes dropped");
            }
            for (std::size_t i = 0; i < parsed.frames.size(); ++i) {
                on_request(parsed.frames[i], received.arrived(parsed.ends[i]));
            }
            continue;
        }
        if (count < 0 && errno == EINTR) continue;
        if (count == 0 || errno == EIO) {
            if (!hung_up_) client_left();
        } else if (errno == EAGAIN) {
            client_there();
        }
        return;
    }
}

void Server::on_request(const Frame& request, TimePoint arrived) {
    if (!powered_) {
        log("<- " + hex(request.data(), request.size()) + "  unanswered: the supply's power is off");
        return;
    }
    if (options_.vanish_after != 0 && requests_ >= options_.vanish_after) {
        // Unplugged just as this request went out: the client's write has
        // succeeded and its wait for the reply is what fails.
        log("<- " + hex(request.data(), request.size()) + "  unanswered: the supply vanishes");
        vanishing_ = true;
        return;
    }
    ++requests_;
    const std::optional<Frame> reply = supply_.answer(request);
    if (!reply) {
        log("<- " + hex(request.data(), request.size()) + "  unanswered: addressed to " + std::to_string(request[1]) +
            ", not this supply");
        return;
    }
    const Transmission sent = plan_reply(options_.faults, requests_, *reply);
    if (options_.verbose) log_exchange(request, *reply, sent);
    if (!line_.send(arrived, sent.pieces)) log("!! reply lost: the output buffer is full");
}

void Server::log_exchange(const Frame& request, const Frame& reply, const Transmission& sent) const {
    log("<- " + hex(request.data(), request.size()) + "  " + describe_request(request));
    std::vector<std::uint8_t> on_the_line;
    for (const Piece& piece : sent.pieces)
        on_the_line.insert(on_the_line.end(), piece.bytes.begin(), piece.bytes.end());
    std::string faults;
    for (const std::string& fault : sent.faults) faults += " [" + fault + "]";
    log("-> " + (on_the_line.empty() ? std::string("(nothing)") : hex(on_the_line)) + "  " +
        describe_reply(request, reply) + faults);
}

void Server::write_due(TimePoint now) {
    const std::vector<std::uint8_t> due = line_.take_due(now);
    if (due.empty()) return;
    // Everything due goes out in one write, so the driver never sees half of
    // an unpaced reply.
    const ssize_t written = write(port_.master(), due.data(), due.size());
    if (written < 0 && errno == EIO) {
        client_left();
    } else if (written < static_cast<ssize_t>(due.size())) {
        // The client is not reading and its buffer is full: like a real line,
        // what does not fit is lost.
        log("!! " + std::to_string(due.size() - static_cast<std::size_t>(written < 0 ? 0 : written)) +
            " reply bytes lost: the client is not reading");
    }
}

void Server::abandon_stale_input(TimePoint now) {
    if (parser_.pending() == 0 || now - last_input_ < kAbandonAfter) return;
    log("?? " + hex(parser_.reset()) + "  unfinished frame abandoned");
}

void Server::client_there() {
    hung_up_ = false;
    if (client_present_) return;
    client_present_ = true;
    log("client opened the port");
}

void Server::client_left() {
    hung_up_ = true;
    line_.clear();
    const std::vector<std::uint8_t> unfinished = parser_.reset();
    if (!unfinished.empty()) log("?? " + hex(unfinished) + "  unfinished frame abandoned");
    if (client_present_) log("client closed the port");
    client_present_ = false;
}

void Server::vanish() {
    port_.close();
    if (link_) link_->remove();
    log("port closed: the supply has vanished");
}

void Server::take_control() {
    for (const std::string& line : control_->take_lines()) {
        std::string error;
        const std::optional<ControlCommand> command = parse_control(line, error);
        if (!command) {
            // Said whatever the verbosity: the test or person who sent it must learn of it.
            std::fprintf(stderr, "qm4410-sim: --control: %s\n", error.c_str());
            continue;
        }
        if (command->load_ohms) {
            supply_.set_load(*command->load_ohms);
            log("load now " + std::to_string(*command->load_ohms) + " ohms");
        }
        if (command->over_temperature) {
            supply_.force_over_temperature(*command->over_temperature);
            log(std::string("over-temperature flag forced ") + (*command->over_temperature ? "on" : "off"));
        }
        if (command->powered && *command->powered != powered_) {
            powered_ = *command->powered;
            if (powered_) supply_.power_up();
            line_.clear();  // what was on its way dies with the power
            log(powered_ ? "power on: the factory settings" : "power off: no request is answered");
        }
        if (command->plugged) {
            if (*command->plugged) {
                plug();
            } else {
                unplug();
            }
        }
    }
}

void Server::unplug() {
    if (port_.master() < 0) return;
    line_.clear();
    parser_.reset();
    client_present_ = false;
    port_.close();
    if (link_) link_->remove();
    log("port unplugged");
}

void Server::plug() {
    if (port_.master() >= 0) return;
    port_.open();
    if (link_) link_->point_to(port_.slave_path());
    hung_up_ = true;  // nobody has it open yet
    // Its new path, as the first line told the first.
    std::printf("%s\n", port_.slave_path().c_str());
    std::fflush(stdout);
    log("port plugged in again: " + port_.slave_path());
}

void Server::log(const std::string& text) const {
    if (!options_.verbose) return;
    const double seconds = std::chrono::duration<double>(Clock::now() - started_).count();
    std::fprintf(stderr, "[%9.3f] %s\n", seconds, text.c_str());
}

}  // namespace qm4410::sim
