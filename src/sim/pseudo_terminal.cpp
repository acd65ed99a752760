#include "pseudo_terminal.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <system_error>

namespace qm4410::sim {

namespace {

[[noreturn]] void fail(const std::string& what) { throw std::system_error(errno, std::generic_category(), what); }

[[noreturn]] void fail_closing(int fd, const std::string& what) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    fail(what);
}

// Linux keeps these settings with the pseudo-terminal while its master is
// open, so the slave need not be kept open for them. macOS resets a
// terminal's settings when it is first opened, so there a client gets the
// system's defaults instead: what holds on both is that a client sets the
// line up itself, as pyserial and any serial program does on opening a port.
// Holding the slave open to keep the settings would show the port as busy.
void make_raw(const std::string& slave_path) {
    const int slave = ::open(slave_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) fail("open " + slave_path);
    termios settings{};
    if (tcgetattr(slave, &settings) != 0) fail_closing(slave, "read settings of " + slave_path);
    cfmakeraw(&settings);
    if (cfsetspeed(&settings, B4800) != 0 || tcsetattr(slave, TCSANOW, &settings) != 0) {
        fail_closing(slave, "configure " + slave_path);
    }
    ::close(slave);
}

}  // namespace

PseudoTerminal::PseudoTerminal() { open(); }

void PseudoTerminal::open() {
    if (master_ >= 0) return;
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0) fail("posix_openpt");
    const char* name = nullptr;
    if (grantpt(master) != 0 || unlockpt(master) != 0 || (name = ptsname(master)) == nullptr) {
        fail_closing(master, "prepare pseudo-terminal");
    }
    std::string slave_path = name;
    if (fcntl(master, F_SETFD, FD_CLOEXEC) != 0 || fcntl(master, F_SETFL, O_NONBLOCK) != 0) {
        fail_closing(master, "configure pseudo-terminal");
    }
    try {
        make_raw(slave_path);
    } catch (...) {
        ::close(master);
        throw;
    }
    master_ = master;
    slave_path_ = std::move(slave_path);
}

PseudoTerminal::~PseudoTerminal() { close(); }

void PseudoTerminal::close() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
}

PortLink::PortLink(std::string path, std::string target) : path_(std::move(path)) { point_to(std::move(target)); }

PortLink::~PortLink() { remove(); }

void PortLink::point_to(std::string target) {
    remove();
    target_ = std::move(target);
    struct stat existing{};
    if (lstat(path_.c_str(), &existing) == 0) {
        if (!S_ISLNK(existing.st_mode)) {
            errno = EEXIST;
            fail("link " + path_ + " (not a symbolic link)");
        }
        if (unlink(path_.c_str()) != 0) fail("replace link " + path_);
    }
    if (symlink(target_.c_str(), path_.c_str()) != 0) fail("link " + path_);
    linked_ = true;
}

void PortLink::remove() {
    if (!linked_) return;
    char pointed[PATH_MAX];
    const ssize_t size = readlink(path_.c_str(), pointed, sizeof pointed);
    if (size >= 0 && target_.compare(0, std::string::npos, pointed, static_cast<std::size_t>(size)) == 0) {
        unlink(path_.c_str());
    }
    linked_ = false;
}

}  // namespace qm4410::sim
