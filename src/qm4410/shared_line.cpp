// Shared line state and the lock across processes: memory mapped shared, and
// a record lock on an unlinked temporary file of the line's own. A record
// lock belongs to its process and is released when the process ends, however
// it ends; a forked child does not inherit its parent's. Windows has no
// fork(), so there the state is ordinary memory and never shared.
#include "shared_line.hpp"

#include <new>

#include "line_state.hpp"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#endif

namespace qm4410 {

#ifdef _WIN32

std::shared_ptr<SharedLine> SharedLine::create() { return std::shared_ptr<SharedLine>(new SharedLine(new LineSync())); }

SharedLine::~SharedLine() { delete sync_; }

bool SharedLine::share() { return true; }
bool SharedLine::lock() { return true; }
bool SharedLine::lock_at_once() { return true; }
void SharedLine::unlock() {}

#else

namespace {

// How long a process sleeps between two tries for a lock another holds, and
// how long it goes without looking for a pending signal.
constexpr useconds_t kRetryMicroseconds = 1000;
constexpr int kTriesPerSlice = 50;

// F_SETLK on the whole file: 1 taken, 0 held by another process, -1 error
// with errno set.
int try_lock(int file, short type) {
    struct flock range = {};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    for (;;) {
        if (fcntl(file, F_SETLK, &range) == 0) return 1;
        if (errno == EINTR) continue;
        return (errno == EACCES || errno == EAGAIN) ? 0 : -1;
    }
}

}  // namespace

std::shared_ptr<SharedLine> SharedLine::create() {
    void* memory = mmap(nullptr, sizeof(LineSync), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
        PyErr_SetFromErrno(PyExc_OSError);
        return nullptr;
    }
    return std::shared_ptr<SharedLine>(new SharedLine(new (memory) LineSync()));
}

SharedLine::~SharedLine() {
    if (lock_file_ >= 0) close(lock_file_);
    munmap(sync_, sizeof(LineSync));
}

bool SharedLine::share() {
    if (lock_file_ >= 0) return true;
    const char* folder = std::getenv("TMPDIR");
    std::string path = std::string(folder && *folder ? folder : "/tmp") + "/qm4410-line-XXXXXX";
    const int file = mkstemp(path.data());
    if (file < 0) {
        PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
        return false;
    }
    unlink(path.c_str());  // nothing but the processes that share the line may reach it
    fcntl(file, F_SETFD, FD_CLOEXEC);
    lock_file_ = file;
    return true;
}

bool SharedLine::lock() {
    for (;;) {
        int taken = 0;
        Py_BEGIN_ALLOW_THREADS for (int tries = 0; tries < kTriesPerSlice; ++tries) {
            taken = try_lock(lock_file_, F_WRLCK);
            if (taken != 0) break;
            usleep(kRetryMicroseconds);
        }
        Py_END_ALLOW_THREADS if (taken > 0) return true;
        if (taken < 0) {
            PyErr_SetFromErrno(PyExc_OSError);
            return false;
        }
        if (PyErr_CheckSignals() < 0) return false;
    }
}

bool SharedLine::lock_at_once() {
    const int taken = try_lock(lock_file_, F_WRLCK);
    if (taken > 0) return true;
    if (taken == 0) errno = EAGAIN;
    PyErr_SetFromErrno(PyExc_OSError);
    return false;
}

void SharedLine::unlock() { try_lock(lock_file_, F_UNLCK); }

#endif

}  // namespace qm4410
