// Command-line options of qm4410-sim.
#pragma once

#include <string>
#include <vector>

#include "faults.hpp"
#include "supply.hpp"

namespace qm4410::sim {

struct Options {
    SupplyConfig supply;
    FaultSettings faults;
    unsigned vanish_after = 0;  // 0: never
    unsigned line_speed = 0;    // baud; 0: unpaced
    std::string link;           // empty: no link
    std::string control;        // empty: no control pipe
    bool verbose = false;
    bool help = false;
    std::vector<std::string> command;  // empty: serve until signalled
};

struct ParseOutcome {
    Options options;
    std::string error;  // empty on success
};

ParseOutcome parse_options(int argc, char** argv);

extern const char* const kUsage;

}  // namespace qm4410::sim
