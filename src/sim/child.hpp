// The command that qm4410-sim runs against its port.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace qm4410::sim {

// Starts `command` with QM4410_PORT=port in its environment. A command that
// cannot be started exits 127, as in a shell. Throws std::system_error.
pid_t spawn(const std::vector<std::string>& command, const std::string& port);

// The child's exit status once it has ended (128 + signal when a signal
// killed it, as a shell reports it); nothing while it still runs.
std::optional<int> reap(pid_t child);

}  // namespace qm4410::sim
