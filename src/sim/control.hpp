// What a test or a person changes while the supply runs: the load on its
// output, its over-temperature flag, its power (off, and on again at the
// factory settings) and its port (unplugged, and plugged in again).
// Commands come one per line through a named pipe (--control PATH), so that
// `echo 'load 1.5' > PATH` steps the load in the middle of a run.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace qm4410::sim {

// One command: a change of the load (ohms; 0 is a short, infinity none), of
// the forced over-temperature flag, of the power, or of the port.
struct ControlCommand {
    std::optional<double> load_ohms;
    std::optional<bool> over_temperature;
    std::optional<bool> powered;
    std::optional<bool> plugged;
};

// Parses one line ("load 4.7", "load inf", "short", "overtemp on|off",
// "power on|off", "unplug", "plug");
// nullopt with `error` set for anything else. Blank lines and '#' comments
// give an empty command.
std::optional<ControlCommand> parse_control(const std::string& line, std::string& error);

class ControlPipe {
public:
    // Makes the named pipe at `path` (refusing to replace anything there) and
    // holds it open for reading, and for writing too, so that no writer's
    // leaving makes it readable forever. Throws std::system_error.
    explicit ControlPipe(std::string path);
    ~ControlPipe();
    ControlPipe(const ControlPipe&) = delete;
    ControlPipe& operator=(const ControlPipe&) = delete;

    int fd() const { return fd_; }
    // The whole lines that have arrived since the last call.
    std::vector<std::string> take_lines();

private:
    std::string path_;
    int fd_ = -1;
    std::string partial_;
};

}  // namespace qm4410::sim
