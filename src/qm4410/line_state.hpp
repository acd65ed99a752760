// What the driver keeps about each driver object's serial line between
// exchanges: whose turn it is to use the line, and whether the line is in
// step, that is, whether every byte that arrived so far belonged to a reply
// that was taken or thrown away on purpose.
#pragma once

#include <Python.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

#include "context.hpp"

namespace qm4410 {

using Clock = std::chrono::steady_clock;

struct LineState {
    // The turn. Guarded by `mutex`, which is never held while the GIL is
    // waited for, so a thread holding the GIL may always take it briefly.
    std::mutex mutex;
    std::condition_variable turn_over;
    bool taken = false;
    unsigned long holder = 0;          // thread ident of the holder
    std::deque<std::uint64_t> queue;   // tickets of the threads waiting, oldest first
    std::uint64_t next_ticket = 0;

    // The exchange state, touched only by the thread holding the turn.
    bool in_step = true;
    Clock::time_point out_of_step_since{};  // when the line last fell out of step
    std::size_t read_away = 0;              // bytes thrown away since then
    // For each request word, the poll at which the last reply to it was
    // taken (0: none yet). A reply is expected about as soon again.
    std::array<std::uint8_t, 256> usual_poll{};

    Ref watcher;  // weak reference to the driver object, whose death forgets this state
};

// The line state of `self`, made on first use; null with an exception set.
std::shared_ptr<LineState> line_state_for(Context& ctx, PyObject* self);

// The turn on one line, held for the life of this object once acquired.
class Turn {
public:
    explicit Turn(std::shared_ptr<LineState> line) : line_(std::move(line)) {}
    Turn(const Turn&) = delete;
    Turn& operator=(const Turn&) = delete;
    ~Turn();

    // Waits, without the GIL, until every thread that asked before this one
    // has had its turn or given up waiting. False with an exception set when a signal handler
    // raised meanwhile, or when this thread already holds the turn.
    bool acquire();


private:
    // With the line's mutex held.
    void take(unsigned long thread);

    std::shared_ptr<LineState> line_;
    bool held_ = false;
};

// The weakref callback that forgets a dead driver object's line state.
PyObject* create_line_release_callback(PyObject* module);

// Registers, through os.register_at_fork, what a child process needs: line
// states of its own, free, since the threads that held or waited for a turn
// in the parent do not exist in the child.
bool register_fork_handler(PyObject* module);

}  // namespace qm4410
