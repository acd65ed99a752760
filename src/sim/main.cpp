// qm4410-sim: a virtual QM4410 power supply on a pseudo-terminal.
#include <cstdio>
#include <exception>
#include <memory>
#include <optional>

#include "child.hpp"
#include "control.hpp"
#include "options.hpp"
#include "pseudo_terminal.hpp"
#include "server.hpp"
#include "signal_pipe.hpp"

using namespace qm4410::sim;

int main(int argc, char** argv) {
    const ParseOutcome parsed = parse_options(argc, argv);
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "qm4410-sim: %s\n\n%s", parsed.error.c_str(), kUsage);
        return 2;
    }
    const Options& options = parsed.options;
    if (options.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    try {
        SignalPipe signals;
        PseudoTerminal port;
        std::unique_ptr<PortLink> link;
        if (!options.link.empty()) link = std::make_unique<PortLink>(options.link, port.slave_path());
        std::unique_ptr<ControlPipe> control;
        if (!options.control.empty()) control = std::make_unique<ControlPipe>(options.control);
        std::printf("%s\n", port.slave_path().c_str());
        std::fflush(stdout);
        std::optional<pid_t> child;
        if (!options.command.empty()) child = spawn(options.command, port.slave_path());
        return Server(options, port, link.get(), control.get(), signals).run(child);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qm4410-sim: %s\n", e.what());
        return 1;
    }
}
