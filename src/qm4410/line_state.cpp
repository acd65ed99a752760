// The per-driver line states: made on first use, forgotten when their driver
// object dies, handed out in turn to the threads that share one, shared with
// a child process by fork(), whose turns are its own.
#include "line_state.hpp"

#include <algorithm>
#include <vector>

namespace qm4410 {
namespace {

// How long a waiting thread goes without looking for a pending signal.
constexpr std::chrono::milliseconds kWaitSlice{50};

PyObject* forget_line(PyObject* module, PyObject* watcher) {
    Context& ctx = context_of(module);
    for (auto it = ctx.lines.begin(); it != ctx.lines.end(); ++it) {
        if (it->second->watcher.get() == watcher) {
            ctx.lines.erase(it);
            break;
        }
    }
    Py_RETURN_NONE;
}

PyMethodDef forget_line_def = {"_forget_line", forget_line, METH_O, nullptr};

// Whether the parent left this line as a fresh one would be: nobody holding
// or waiting for its turn, and its mutex free. The child has one thread, so
// the fields can be read directly.
bool left_idle(LineState& line) {
    std::unique_lock<std::mutex> lock(line.mutex, std::try_to_lock);
    return lock.owns_lock() && !line.taken && line.queue.empty();
}

// States that the parent's threads were using when it forked. Their mutex
// may be locked and their condition variable may count waiters that do not
// exist in the child: destroying either could hang, so they are kept.
std::vector<std::shared_ptr<LineState>>& abandoned_in_child() {
    static auto* states = new std::vector<std::shared_ptr<LineState>>();
    return *states;
}

// The parent's exchanges and the child's take turns from here on. A thread
// of the parent may be inside an exchange on a line not shared before: its
// process takes the new lock for it, so the child waits for it to end.
PyObject* before_fork(PyObject* module, PyObject*) {
    for (auto& entry : context_of(module).lines) {
        LineState& line = *entry.second;
        const bool was_shared = line.shared->shared();
        if (!line.shared->share()) return nullptr;
        if (!was_shared && line.taken && !line.process_locked) {
            if (!line.shared->lock_at_once()) return nullptr;
            line.process_locked = true;
        }
    }
    Py_RETURN_NONE;
}

PyMethodDef before_fork_def = {"_before_fork", before_fork, METH_NOARGS, nullptr};

PyObject* after_fork_in_child(PyObject* module, PyObject*) {
    for (auto& entry : context_of(module).lines) {
        std::shared_ptr<LineState>& line = entry.second;
        line->process_locked = false;  // record locks are the parent's alone
        if (left_idle(*line)) continue;
        auto fresh = std::make_shared<LineState>();
        fresh->watcher = std::move(line->watcher);
        fresh->shared = line->shared;
        abandoned_in_child().push_back(std::move(line));
        line = std::move(fresh);
    }
    Py_RETURN_NONE;
}

PyMethodDef after_fork_in_child_def = {"_after_fork_in_child", after_fork_in_child, METH_NOARGS, nullptr};

// A place in a line's queue, given up when its thread stops waiting for
// any reason: an exception, or the thread ended as the interpreter exits.
class QueuedTicket {
public:
    QueuedTicket(LineState& line, std::uint64_t ticket) : line_(line), ticket_(ticket) {}
    QueuedTicket(const QueuedTicket&) = delete;
    QueuedTicket& operator=(const QueuedTicket&) = delete;
    ~QueuedTicket() {
        if (redeemed_) return;
        {
            std::lock_guard<std::mutex> lock(line_.mutex);
            line_.queue.erase(std::find_if(line_.queue.begin(), line_.queue.end(),
                                           [this](const LineState::Waiting& w) { return w.ticket == ticket_; }));
        }
        line_.turn_over.notify_all();  // the next in the queue may be first now
    }

    // With the line's mutex held:
    bool is_next() const { return !line_.taken && line_.queue.front().ticket == ticket_; }
    void redeem() {
        line_.queue.pop_front();
        redeemed_ = true;
    }

private:
    LineState& line_;
    std::uint64_t ticket_;
    bool redeemed_ = false;
};

}  // namespace

std::shared_ptr<LineState> line_state_for(Context& ctx, PyObject* self) {
    auto found = ctx.lines.find(self);
    if (found != ctx.lines.end()) return found->second;
    auto line = std::make_shared<LineState>();
    line->shared = SharedLine::create();
    if (!line->shared) return nullptr;
    line->watcher = Ref(PyWeakref_NewRef(self, ctx.line_released.get()));
    if (!line->watcher) {
        // An object that cannot be weakly referenced (the methods called on
        // some stand-in for a driver) gets a state of its own for this
        // exchange only: nothing could tell when to forget a shared one.
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;
        PyErr_Clear();
        return line;
    }
    ctx.lines.emplace(self, line);
    return line;
}

Turn::~Turn() {
    if (!held_) return;
    if (line_->process_locked) {
        line_->shared->unlock();
        line_->process_locked = false;
    }
    {
        std::lock_guard<std::mutex> lock(line_->mutex);
        line_->taken = false;
        line_->holder = 0;
    }
    line_->turn_over.notify_all();
}

bool Turn::acquire_turn() {
    LineState& line = *line_;
    const unsigned long me = PyThread_get_thread_ident();
    std::uint64_t ticket = 0;
    {
        std::lock_guard<std::mutex> lock(line.mutex);
        if (line.taken && line.holder == me) {
            PyErr_SetString(PyExc_RuntimeError, "a transaction on this driver is already running in this thread");
            return false;
        }
        // Its place in the queue cannot come while it waits here, and the
        // threads behind it would wait for ever.
        for (const LineState::Waiting& waiting : line.queue) {
            if (waiting.thread == me) {
                PyErr_SetString(PyExc_RuntimeError, "this thread is already waiting for a transaction on this driver");
                return false;
            }
        }
        // Once the interpreter finalizes, the threads in the queue can never
        // run again (they end, or stay parked, as they take the GIL back).
        if (!line.taken && (line.queue.empty() || Py_IsFinalizing())) {
            take(me);
            return true;
        }
        ticket = line.next_ticket++;
        line.queue.push_back({ticket, me});
    }
    QueuedTicket queued(line, ticket);
    // Waiting goes without the GIL, a slice at a time, so that a signal such
    // as Ctrl-C still reaches a thread that waits for its turn. The turn is
    // taken with the GIL held only: a thread that never gets the GIL back
    // never holds the line.
    for (;;) {
        Py_BEGIN_ALLOW_THREADS {
            std::unique_lock<std::mutex> lock(line.mutex);
            line.turn_over.wait_for(lock, kWaitSlice, [&] { return queued.is_next(); });
        }
        Py_END_ALLOW_THREADS {
            std::lock_guard<std::mutex> lock(line.mutex);
            if (queued.is_next()) {
                queued.redeem();
                take(me);
                return true;
            }
        }
        if (PyErr_CheckSignals() < 0) return false;
    }
}

bool Turn::acquire() {
    if (!acquire_turn()) return false;
    if (!line_->shared->shared()) return true;
    if (!line_->shared->lock()) return false;  // the destructor gives the turn back
    line_->process_locked = true;
    return true;
}

void Turn::take(unsigned long thread) {
    line_->taken = true;
    line_->holder = thread;
    held_ = true;
}

PyObject* create_line_release_callback(PyObject* module) { return PyCFunction_New(&forget_line_def, module); }

bool register_fork_handler(PyObject* module) {
    Ref os(PyImport_ImportModule("os"));
    if (!os) return false;
    if (!PyObject_HasAttrString(os.get(), "register_at_fork")) return true;  // no fork() here
    Ref before(PyCFunction_New(&before_fork_def, module));
    Ref after_in_child(PyCFunction_New(&after_fork_in_child_def, module));
    Ref register_at_fork(PyObject_GetAttrString(os.get(), "register_at_fork"));
    Ref no_arguments(PyTuple_New(0));
    Ref keywords(PyDict_New());
    if (!before || !after_in_child || !register_at_fork || !no_arguments || !keywords ||
        PyDict_SetItemString(keywords.get(), "before", before.get()) < 0 ||
        PyDict_SetItemString(keywords.get(), "after_in_child", after_in_child.get()) < 0)
        return false;
    Ref registered(PyObject_Call(register_at_fork.get(), no_arguments.get(), keywords.get()));
    return static_cast<bool>(registered);
}

}  // namespace qm4410
