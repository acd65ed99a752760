// One exchange with the supply: write the request, poll the input buffer
// every 10 ms up to 30 times, read when exactly one frame is waiting, and
// accept it only as a well-formed frame.
//
// Two guards the bare exchange lacks: transactions of one driver object are
// serialised by a lock of its own (waited for without the GIL), and after an
// exchange that got no valid reply the next one first throws away whatever
// is waiting, so a late reply is never taken for the answer to a new request.
#include <atomic>
#include <chrono>
#include <mutex>

#include "driver.hpp"

namespace qm4410 {

struct Line {
    std::timed_mutex mutex;
    std::atomic<unsigned long> owner{0};  // thread holding the mutex
    bool in_step = true;      // false from a request until its valid reply
    Ref watcher;              // weak reference to the driver object
};

namespace {

constexpr int kMaxTry = 30;
constexpr std::chrono::milliseconds kWaitSlice{50};

std::shared_ptr<Line> line_for(Context& ctx, PyObject* self) {
    auto found = ctx.lines.find(self);
    if (found != ctx.lines.end()) return found->second;
    auto line = std::make_shared<Line>();
    line->watcher = Ref(PyWeakref_NewRef(self, ctx.line_released.get()));
    if (!line->watcher) {
        // An object that cannot be weakly referenced (the methods called on
        // some stand-in for a driver) gets a line of its own for this
        // exchange only: nothing could tell when to forget a shared one.
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;
        PyErr_Clear();
        return line;
    }
    ctx.lines.emplace(self, line);
    return line;
}

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

class LineLock {
public:
    explicit LineLock(std::shared_ptr<Line> line) : line_(std::move(line)) {}
    LineLock(const LineLock&) = delete;
    LineLock& operator=(const LineLock&) = delete;
    ~LineLock() {
        if (!held_) return;
        line_->owner.store(0, std::memory_order_relaxed);
        line_->mutex.unlock();
    }

    bool acquire() {
        const unsigned long me = PyThread_get_thread_ident();
        if (line_->owner.load(std::memory_order_relaxed) == me) {
            PyErr_SetString(PyExc_RuntimeError, "a transaction on this driver is already running in this thread");
            return false;
        }
        // Waiting goes without the GIL, a slice at a time, so that a signal
        // such as Ctrl-C still reaches a thread that waits for its turn.
        held_ = line_->mutex.try_lock();
        while (!held_) {
            Py_BEGIN_ALLOW_THREADS
            // Noted before the GIL is taken back: a thread ended there (the
            // interpreter finalizing) must still give the line up.
            held_ = line_->mutex.try_lock_for(kWaitSlice);
            Py_END_ALLOW_THREADS
            if (!held_ && PyErr_CheckSignals() < 0) return false;
        }
        line_->owner.store(me, std::memory_order_relaxed);
        return true;
    }

private:
    std::shared_ptr<Line> line_;
    bool held_ = false;
};

// ser.read(n) of the n bytes waiting in the input buffer; None when none are.
Ref take_waiting(Context& ctx, PyObject* ser) {
    Ref waiting(PyObject_CallMethodNoArgs(ser, ctx.in_waiting.get()));
    if (!waiting) return Ref();
    Ref zero(PyLong_FromLong(0));
    const int any = PyObject_RichCompareBool(waiting.get(), zero.get(), Py_GT);
    if (any < 0) return Ref();
    if (!any) return Ref::borrowed(Py_None);
    return Ref(PyObject_CallMethodOneArg(ser, ctx.read.get(), waiting.get()));
}

// The reply read at the first poll that finds exactly one frame waiting;
// None when no poll does.
Ref poll_for_reply(Context& ctx, PyObject* self, PyObject* ser) {
    Ref cmd_length(PyObject_GetAttr(self, ctx.cmd_length.get()));
    Ref time(global(ctx, ctx.time.get()));
    if (!cmd_length || !time) return Ref();
    Ref sleep(PyObject_GetAttr(time.get(), ctx.sleep.get()));
    if (!sleep) return Ref();
    for (int max_try = kMaxTry; max_try > 0; --max_try) {
        Ref slept(PyObject_CallOneArg(sleep.get(), ctx.poll_interval.get()));
        if (!slept) return Ref();
        Ref buf_len(PyObject_CallMethodNoArgs(ser, ctx.in_waiting.get()));
        if (!buf_len) return Ref();
        const int whole_frame = PyObject_RichCompareBool(buf_len.get(), cmd_length.get(), Py_EQ);
        if (whole_frame < 0) return Ref();
        if (whole_frame) return Ref(PyObject_CallMethodOneArg(ser, ctx.read.get(), buf_len.get()));
    }
    return Ref::borrowed(Py_None);
}

// Length 26, start byte, then self.__check_crc: 1 valid, 0 not, -1 error.
int is_valid_reply(Context& ctx, PyObject* self, PyObject* data) {
    if (PyBytes_CheckExact(data)) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(data));
        if (PyBytes_GET_SIZE(data) != static_cast<Py_ssize_t>(kFrameLength) || bytes[0] != kStartByte) return 0;
        FoundMethod check;
        if (!check.find(self, ctx.check_crc.get())) return -1;
        if (check.is_own(ctx, kCheckCrc)) return is_valid_frame(bytes, kFrameLength);
        Ref response(PySequence_List(data));
        if (!response) return -1;
        Ref verdict(check.call(response.get()));
        return verdict ? PyObject_IsTrue(verdict.get()) : -1;
    }
    Ref response(PySequence_List(data));
    if (!response) return -1;
    if (PyList_GET_SIZE(response.get()) != static_cast<Py_ssize_t>(kFrameLength)) return 0;
    const int started = PyObject_RichCompareBool(PyList_GET_ITEM(response.get(), 0), ctx.start_byte.get(), Py_EQ);
    if (started <= 0) return started;
    Ref verdict(PyObject_CallMethodOneArg(self, ctx.check_crc.get(), response.get()));
    return verdict ? PyObject_IsTrue(verdict.get()) : -1;
}

PyObject* write_and_read_body(Context& ctx, PyObject* const* args) {
    PyObject* cmd = args[1];
    if (!PyList_CheckExact(cmd)) {
        wrong_argument_type("cmd", "list", cmd);
        return nullptr;
    }
    return transact(ctx, args[0], cmd, nullptr);
}

// Reads what is waiting; holds the line meanwhile, so that it cannot take
// a reply from a transaction running in another thread.
PyObject* read_body(Context& ctx, PyObject* const* args) {
    std::shared_ptr<Line> line = line_for(ctx, args[0]);
    if (!line) return nullptr;
    LineLock lock(line);
    if (!lock.acquire()) return nullptr;
    Ref ser(PyObject_GetAttr(args[0], ctx.ser.get()));
    return ser ? take_waiting(ctx, ser.get()).release() : nullptr;
}

}  // namespace

PyObject* create_line_release_callback(PyObject* module) {
    return PyCFunction_New(&forget_line_def, module);
}

PyObject* transact(Context& ctx, PyObject* self, PyObject* request, const Frame* frame) {
    std::shared_ptr<Line> line = line_for(ctx, self);
    if (!line) return nullptr;
    LineLock lock(line);
    if (!lock.acquire()) return nullptr;

    Ref ser(PyObject_GetAttr(self, ctx.ser.get()));
    if (!ser) return nullptr;
    FoundMethod write;
    if (!write.find(ser.get(), ctx.write.get())) return nullptr;
    Ref payload(request ? PyBytes_FromObject(request)
                        : PyBytes_FromStringAndSize(reinterpret_cast<const char*>(frame->data()), kFrameLength));
    if (!payload) return nullptr;
    // What a failed exchange left waiting is thrown away.
    if (!line->in_step && !take_waiting(ctx, ser.get())) return nullptr;
    line->in_step = false;
    Ref written(write.call(payload.get()));
    if (!written) return nullptr;

    Ref data = poll_for_reply(ctx, self, ser.get());
    if (!data) return nullptr;
    if (data.get() == Py_None) return data.release();
    const int valid = is_valid_reply(ctx, self, data.get());
    if (valid < 0) return nullptr;
    if (!valid) Py_RETURN_NONE;
    line->in_step = true;
    return data.release();
}

const MethodSpec kRead = {
    "__read", read_body, 0, {}, nullptr, nullptr,
    "\n"
    "        Read serial data\n"
    "        ",
};

const MethodSpec kWriteAndRead = {
    "__write_and_read",
    write_and_read_body,
    1,
    {{"cmd", "list"}},
    nullptr,
    nullptr,
    "\n"
    "        send command and read response data and check crc\n"
    "        :param cmd: the command send to serial port\n"
    "        ",
};

}  // namespace qm4410
