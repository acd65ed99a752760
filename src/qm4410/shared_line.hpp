// What the processes that share a driver object after fork() share of its
// line: the exchange state, kept in memory that every process forked since
// maps, and a lock that lets one exchange at a time use the port, which the
// system takes back from a process that ends while holding it.
#pragma once

#include <Python.h>

#include <memory>

namespace qm4410 {

struct LineSync;

class SharedLine {
public:
    // A line's exchange state, fresh, in memory a fork() will share; null
    // with an exception set.
    static std::shared_ptr<SharedLine> create();
    SharedLine(const SharedLine&) = delete;
    SharedLine& operator=(const SharedLine&) = delete;
    ~SharedLine();

    LineSync& sync() { return *sync_; }

    // Whether other processes may use the line: it was shared by a fork().
    bool shared() const { return lock_file_ >= 0; }
    // Makes the lock, as a fork() is about to share the line; false with an
    // exception set.
    bool share();
    // Takes the lock, waiting for it without the GIL; false with an exception
    // set (a signal handler raised meanwhile, or the system refused).
    bool lock();
    // Takes the lock that no other process can hold yet (the line is being
    // shared at this moment); false with an exception set.
    bool lock_at_once();
    void unlock();

private:
    explicit SharedLine(LineSync* sync) : sync_(sync) {}

    LineSync* sync_;
    int lock_file_ = -1;
};

}  // namespace qm4410
