#include "control.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <system_error>

namespace qm4410::sim {

std::optional<ControlCommand> parse_control(const std::string& line, std::string& error) {
    std::istringstream words(line.substr(0, line.find('#')));
    std::string verb, value, extra;
    words >> verb >> value >> extra;
    ControlCommand command;
    if (verb.empty()) return command;
    if (!extra.empty()) {
        error = "one value at most: '" + line + "'";
        return std::nullopt;
    }
    if (verb == "short" && value.empty()) {
        command.load_ohms = 0.0;
    } else if (verb == "load") {
        char* end = nullptr;
        const double ohms = std::strtod(value.c_str(), &end);
        if (value.empty() || *end != '\0' || std::isnan(ohms) || ohms < 0.0) {
            error = "load wants a resistance of 0 ohms or more, or inf: '" + line + "'";
            return std::nullopt;
        }
        command.load_ohms = ohms;
    } else if (verb == "overtemp" && (value == "on" || value == "off")) {
        command.over_temperature = value == "on";
    } else if (verb == "power" && (value == "on" || value == "off")) {
        command.powered = value == "on";
    } else if ((verb == "unplug" || verb == "plug") && value.empty()) {
        command.plugged = verb == "plug";
    } else {
        error = "not a command (load OHMS, short, overtemp on|off, power on|off, unplug, plug): '" + line + "'";
        return std::nullopt;
    }
    return command;
}

ControlPipe::ControlPipe(std::string path) : path_(std::move(path)) {
    if (mkfifo(path_.c_str(), 0600) != 0) {
        throw std::system_error(errno, std::generic_category(), "--control " + path_);
    }
    fd_ = open(path_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
        const int error = errno;
        unlink(path_.c_str());
        throw std::system_error(error, std::generic_category(), "--control " + path_);
    }
}

ControlPipe::~ControlPipe() {
    close(fd_);
    unlink(path_.c_str());
}

std::vector<std::string> ControlPipe::take_lines() {
    char buffer[512];
    for (;;) {
        const ssize_t count = read(fd_, buffer, sizeof buffer);
        if (count > 0) {
            partial_.append(buffer, static_cast<std::size_t>(count));
            continue;
        }
        if (count < 0 && errno == EINTR) continue;
        break;
    }
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = partial_.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(partial_.substr(start, end - start));
    }
    partial_.erase(0, start);
    // A line is a command, not a stream: one that never ends is dropped.
    if (partial_.size() > 4096) partial_.clear();
    return lines;
}

}  // namespace qm4410::sim
