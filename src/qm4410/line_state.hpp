// What the driver keeps about each driver object's serial line between
// exchanges: whose turn it is to use the line, and whether the line is in
// step, that is, whether every byte that arrived so far belonged to a reply
// that was taken or thrown away on purpose.
#pragma once

#include <Python.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

#include "context.hpp"
#include "shared_line.hpp"

namespace qm4410 {

using Clock = std::chrono::steady_clock;

constexpr int kMaxTry = 30;  // polls for a reply
constexpr std::chrono::milliseconds kPollInterval{10};
constexpr auto kReplyWindow = kMaxTry * kPollInterval;
// Reading away what keeps arriving before a request (a reply still coming,
// a line that will not fall quiet) may outlast the window, not forever.
constexpr int kMaxSettlePolls = 2 * kMaxTry;
constexpr auto kSettleBound = kMaxSettlePolls * kPollInterval;

// How soon the replies to one request word came: the polls at which the
// last few were taken. A supply answers about as fast each time, so a frame
// that comes sooner than the soonest of them is more likely a left-over.
class ReplyPace {
public:
    static constexpr std::size_t kSamples = 4;
    using Polls = std::array<int, kSamples>;

    // The soonest poll among the recent replies; 0 before the first.
    int soonest() const {
        int found = 0;
        for (std::uint8_t poll : recent_) {
            if (poll != 0 && (found == 0 || poll < found)) found = poll;
        }
        return found;
    }
    // The latest poll among the recent replies; 0 before the first.
    int latest() const { return *std::max_element(recent_.begin(), recent_.end()); }
    // The recent replies' polls, oldest first, into `polls`; how many there are.
    std::size_t recent(Polls& polls) const {
        std::size_t count = 0;
        for (std::size_t k = 0; k < recent_.size(); ++k) {
            const std::uint8_t poll = recent_[(next_ + k) % recent_.size()];
            if (poll != 0) polls[count++] = poll;
        }
        return count;
    }
    void record(int poll) {
        recent_[next_] = static_cast<std::uint8_t>(poll);
        next_ = (next_ + 1) % recent_.size();
    }

private:
    std::array<std::uint8_t, kSamples> recent_{};
    std::size_t next_ = 0;
};

// What the exchanges on one line know of it between them. A line is in step
// when every byte that arrived so far belonged to a reply that was taken or
// thrown away on purpose, and no reply is owed to an exchange that is over.
struct LineSync {
    bool in_step = true;
    // Out of step because an exchange got no reply (rather than because it
    // took one that may have been another request's).
    bool after_failure = false;
    // Out of step, the next exchange reads away what arrives until then, and
    // on as long as bytes keep coming, or until a frame's worth has gone.
    Clock::time_point settle_until{};
    std::size_t read_away = 0;  // bytes thrown away since the line fell out of step
    // A change of address went out since the supply last told its address:
    // until it does again, a reply may come from either address.
    bool readdressed = false;
    // When the last exchange that wrote its request ended; whatever arrived
    // since is on its way to the input buffer or waiting there.
    Clock::time_point last_ended{};
    std::array<ReplyPace, 256> pace;  // by request word

    void come_into_step() {
        in_step = true;
        after_failure = false;
        read_away = 0;
    }
    // Out of step until `until`, or for a reply window from now.
    void fall_out_of_step(bool failure, Clock::time_point until = Clock::now() + kReplyWindow) {
        in_step = false;
        after_failure = failure;
        settle_until = until;
        read_away = 0;
    }
};

struct LineState {
    // The turn. Guarded by `mutex`, which is never held while the GIL is
    // waited for, so a thread holding the GIL may always take it briefly.
    std::mutex mutex;
    std::condition_variable turn_over;
    bool taken = false;
    unsigned long holder = 0;  // thread ident of the holder
    struct Waiting {
        std::uint64_t ticket;
        unsigned long thread;
    };
    std::deque<Waiting> queue;  // the threads waiting, oldest first
    std::uint64_t next_ticket = 0;

    // The exchange state, touched only by the thread holding the turn, and
    // once a fork() has shared the line, only while it holds the lock that
    // the processes share too.
    std::shared_ptr<SharedLine> shared;
    bool process_locked = false;  // whether this process holds that lock; read with the GIL held
    LineSync& sync() { return shared->sync(); }

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
    // has had its turn or given up waiting, and on a line shared by fork()
    // until no other process is using it. False with an exception set when
    // a signal handler raised meanwhile, or when this thread already holds
    // or waits for the turn (a signal handler run while it waits, say).
    bool acquire();

private:
    bool acquire_turn();
    // With the line's mutex held.
    void take(unsigned long thread);

    std::shared_ptr<LineState> line_;
    bool held_ = false;
};

// The weakref callback that forgets a dead driver object's line state.
PyObject* create_line_release_callback(PyObject* module);

// Registers, through os.register_at_fork, what a fork() needs: before it,
// every line's exchange state is shared with the child, whose exchanges then
// take turns with the parent's; after it, the child gets turns of its own,
// free, since the threads that held or waited for a turn in the parent do
// not exist in the child.
bool register_fork_handler(PyObject* module);

}  // namespace qm4410
