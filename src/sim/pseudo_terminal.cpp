#include "pseudo_terminal.hpp"

#include <fcntl.h>
#include <sys/inotify.h>
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

// The settings stay with the pseudo-terminal while its master is open, so the
// slave need not be kept open for them.
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

PseudoTerminal::PseudoTerminal() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0) fail("posix_openpt");
    const char* name = nullptr;
    if (grantpt(master_) != 0 || unlockpt(master_) != 0 || (name = ptsname(master_)) == nullptr) {
        fail_closing(master_, "prepare pseudo-terminal");
    }
    slave_path_ = name;
    if (fcntl(master_, F_SETFD, FD_CLOEXEC) != 0 || fcntl(master_, F_SETFL, O_NONBLOCK) != 0) {
        fail_closing(master_, "configure pseudo-terminal");
    }
    try {
        make_raw(slave_path_);
    } catch (...) {
        ::close(master_);
        throw;
    }
    // Watched only from here on, so our own opening above does not count.
    opened_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (opened_ < 0) fail_closing(master_, "inotify_init1");
    if (inotify_add_watch(opened_, slave_path_.c_str(), IN_OPEN) < 0) {
        ::close(opened_);
        fail_closing(master_, "watch " + slave_path_);
    }
}

PseudoTerminal::~PseudoTerminal() { close(); }

void PseudoTerminal::clear_opened() {
    char events[4096];
    while (read(opened_, events, sizeof events) > 0) {
    }
}

void PseudoTerminal::close() {
    if (master_ >= 0) ::close(master_);
    if (opened_ >= 0) ::close(opened_);
    master_ = opened_ = -1;
}

PortLink::PortLink(std::string path, std::string target) : path_(std::move(path)), target_(std::move(target)) {
    struct stat existing {};
    if (lstat(path_.c_str(), &existing) == 0) {
        if (!S_ISLNK(existing.st_mode)) {
            errno = EEXIST;
            fail("link " + path_ + " (not a symbolic link)");
        }
        if (unlink(path_.c_str()) != 0) fail("replace link " + path_);
    }
    if (symlink(target_.c_str(), path_.c_str()) != 0) fail("link " + path_);
}

PortLink::~PortLink() { remove(); }

void PortLink::remove() {
    if (path_.empty()) return;
    char pointed[PATH_MAX];
    const ssize_t size = readlink(path_.c_str(), pointed, sizeof pointed);
    if (size >= 0 && target_.compare(0, std::string::npos, pointed, static_cast<std::size_t>(size)) == 0) {
        unlink(path_.c_str());
    }
    path_.clear();
}

}  // namespace qm4410::sim
