// The supply's end of the line: the master side of a pseudo-terminal whose
// slave side is the serial port that clients open.
#pragma once

#include <string>

namespace qm4410::sim {

class PseudoTerminal {
public:
    // A raw 4800-baud port. Holds no descriptor of the slave, so that tools
    // that look for a port's users (lsof) see nobody until a client opens it.
    // Throws std::system_error.
    PseudoTerminal();
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    // Non-blocking; -1 once closed. While nobody has the port open, a read
    // of it ends at once: with EIO on Linux, with end of file on the BSDs
    // and macOS. Both mean the same, and neither can be waited through.
    int master() const { return master_; }
    const std::string& slave_path() const { return slave_path_; }

    // Pulls the plug: clients holding the port see it hang up.
    void close();
    // Plugs it in again: a new pseudo-terminal (at another path) once closed.
    void open();

private:
    int master_ = -1;
    std::string slave_path_;
};

// A symbolic link to the port, removed again on destruction unless someone
// has pointed it elsewhere meanwhile.
class PortLink {
public:
    // Replaces an existing symbolic link at `path`, refuses anything else.
    // Throws std::system_error.
    PortLink(std::string path, std::string target);
    ~PortLink();
    PortLink(const PortLink&) = delete;
    PortLink& operator=(const PortLink&) = delete;

    void remove();
    // Makes the link again, to `target` (the port plugged in again).
    void point_to(std::string target);

private:
    std::string path_;
    std::string target_;
    bool linked_ = false;
};

}  // namespace qm4410::sim
