// qm4410._line: the driver's structured core, private to the package. The
// class's methods answer as the supply's old driver did (True or False, a
// dict or None, lines printed); the layers above need to know more of an
// exchange and of an open, and to send every command without printing. The
// same code serves both: _line.exchange is the exchange of __write_and_read
// (transaction.cpp), on the same line state, with its facts kept; _line.open
// takes open()'s steps (port.cpp) and raises the refusal's kind
// (open_errors.cpp).
//
// A submodule object of the extension, made with the package and entered in
// sys.modules, so that it shares the package's context and line states.
#include "line_module.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <exception>
#include <new>

#include "frame.hpp"
#include "open_errors.hpp"
#include "port.hpp"
#include "records.hpp"
#include "transaction.hpp"

namespace qm4410 {
namespace {

constexpr const char* kLineDoc =
    "The driver's structured core, private to the package: exchanges that tell how they went, the plan of the\n"
    "next one, requests and replies without printing, and an open() that raises the kind of its refusal.\n"
    "Times are time.monotonic() seconds.";

using Seconds = std::chrono::duration<double>;

double seconds(Clock::duration span) { return std::chrono::duration_cast<Seconds>(span).count(); }

// Clock time points told as time.monotonic() counts. The two clocks run at
// one rate, so one reading of both converts every point; the reading of
// time.monotonic() is bracketed by two of the clock, and a bracket that a
// preemption widened is read again.
class MonotonicSeconds {
public:
    bool measure(Context& ctx) {
        Clock::duration narrowest = Clock::duration::max();
        for (int tries = 0; tries < kTries && narrowest > kNarrowEnough; ++tries) {
            const Clock::time_point before = Clock::now();
            Ref now(PyObject_CallNoArgs(ctx.monotonic.get()));
            const Clock::time_point after = Clock::now();
            const double monotonic_now = now ? PyFloat_AsDouble(now.get()) : -1.0;
            if (monotonic_now == -1.0 && PyErr_Occurred()) return false;
            if (after - before < narrowest) {
                narrowest = after - before;
                offset_ = monotonic_now - seconds((before + narrowest / 2).time_since_epoch());
            }
        }
        return true;
    }
    PyObject* at(Clock::time_point point) const {
        return PyFloat_FromDouble(seconds(point.time_since_epoch()) + offset_);
    }

private:
    static constexpr int kTries = 3;
    static constexpr std::chrono::microseconds kNarrowEnough{20};
    double offset_ = 0.0;
};

PyStructSequence_Field kExchangeFields[] = {
    {"reply", "the reply frame (bytes), or None when no valid reply came"},
    {"poll", "the poll (1 to 30, 10 ms apart) at which the reply was complete, or None"},
    {"written_at", "when the request was written"},
    {"answered_at", "when the reply was taken, or None"},
    {"read_before", "bytes read away before the request was written: settling, and the quiet asked for"},
    {"read_after", "bytes read away while waiting: frames that answered something else, malformed data"},
    {"doubtful",
     "whether the reply may be another request's: another valid frame came too, or it followed a "
     "failure whose reply never showed"},
    {"out_of_step", "whether the exchange left the line out of step"},
    {"settle_until", "until when the next exchange settles the line before writing, or None when in step"},
    {nullptr, nullptr},
};

PyStructSequence_Desc kExchangeDesc = {
    "qm4410._line.Exchange",
    "What one exchange came to; times in time.monotonic() seconds.",
    kExchangeFields,
    9,
};

PyStructSequence_Field kPlanFields[] = {
    {"most",
     "seconds the next exchange with this word would take at most before its reply is in: the settling "
     "still owed, plus the slowest of the recent replies to the word (without any yet: the settling alone)"},
    {"settle_until",
     "until when the next exchange would read away before writing, or None when it would write at "
     "once"},
    {"polls", "the polls at which the recent replies to the word came, oldest first"},
    {nullptr, nullptr},
};

PyStructSequence_Desc kPlanDesc = {
    "qm4410._line.Plan",
    "How long the next exchange with one request word would take, as the line stands; times in time.monotonic() "
    "seconds.",
    kPlanFields,
    3,
};

// Fills a struct sequence item by item, stopping at the first that fails.
class Filled {
public:
    explicit Filled(PyObject* type) : result_(PyStructSequence_New(reinterpret_cast<PyTypeObject*>(type))) {}
    Filled& operator<<(PyObject* item) {
        if (!result_ || !item) {
            Py_XDECREF(item);
            result_.clear();
        } else {
            PyStructSequence_SetItem(result_.get(), next_++, item);
        }
        return *this;
    }
    PyObject* release() { return result_.release(); }

private:
    Ref result_;
    Py_ssize_t next_ = 0;
};

PyObject* none() { return Py_NewRef(Py_None); }

// The quiet asked for: no NaN, nothing below 0; more than the bound waits
// as long as the bound.
bool quiet_of(double quiet, Clock::duration& span) {
    if (!(quiet >= 0.0)) {
        PyErr_SetString(PyExc_ValueError, "quiet must be 0 seconds or more");
        return false;
    }
    span = std::chrono::duration_cast<Clock::duration>(Seconds(std::min(quiet, seconds(kSettleBound))));
    return true;
}

bool word_of(int word) {
    if (word >= 0 && word <= 0xFF) return true;
    PyErr_Format(PyExc_ValueError, "word must be 0 to 255, not %d", word);
    return false;
}

// A frame as the supply sends it, else ValueError.
bool is_reply_frame(const Py_buffer& reply) {
    if (is_valid_frame(static_cast<const std::uint8_t*>(reply.buf), static_cast<std::size_t>(reply.len))) return true;
    PyErr_SetString(PyExc_ValueError, "not a reply frame: 26 bytes, the start byte 0xAA and the checksum last");
    return false;
}

// A Py_buffer released when it goes.
class Buffer {
public:
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() {
        if (view.obj) PyBuffer_Release(&view);
    }
    const std::uint8_t* bytes() const { return static_cast<const std::uint8_t*>(view.buf); }
    Py_buffer view{};
};

PyObject* exchange_body(Context& ctx, PyObject* args, PyObject* kwargs) {
    static const char* const keywords[] = {"", "", "quiet", nullptr};
    PyObject* driver = nullptr;
    PyObject* request = nullptr;
    double quiet = 0.0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO!|$d:exchange", const_cast<char**>(keywords), &driver,
                                     &PyBytes_Type, &request, &quiet))
        return nullptr;
    Clock::duration quiet_span;
    ReplyCheck check;
    if (!quiet_of(quiet, quiet_span) || !reply_check_of(ctx, driver, check)) return nullptr;
    ExchangeRecord record;
    if (!exchange(ctx, driver, request, check, quiet_span, record)) return nullptr;
    MonotonicSeconds clock;
    if (!clock.measure(ctx)) return nullptr;
    const bool answered = record.reply.get() != Py_None;
    return (Filled(ctx.exchange_type.get())
            << record.reply.release() << (answered ? PyLong_FromLong(record.poll) : none())
            << clock.at(record.written_at) << (answered ? clock.at(record.answered_at) : none())
            << PyLong_FromSize_t(record.read_before) << PyLong_FromSize_t(record.read_after)
            << PyBool_FromLong(answered && record.doubtful) << PyBool_FromLong(record.out_of_step)
            << (record.out_of_step ? clock.at(record.settle_until) : none()))
        .release();
}

// Read with the GIL held and without the turn: a snapshot, which an exchange
// under way may change.
PyObject* plan_body(Context& ctx, PyObject* args, PyObject* kwargs) {
    static const char* const keywords[] = {"", "", "quiet", nullptr};
    PyObject* driver = nullptr;
    int word = 0;
    double quiet = 0.0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Oi|$d:plan", const_cast<char**>(keywords), &driver, &word, &quiet))
        return nullptr;
    Clock::duration quiet_span;
    if (!word_of(word) || !quiet_of(quiet, quiet_span)) return nullptr;
    std::shared_ptr<LineState> line = line_state_for(ctx, driver);
    if (!line) return nullptr;
    const LineSync& sync = line->sync();
    const ReplyPace& pace = sync.pace[static_cast<std::size_t>(word)];
    const Clock::time_point now = Clock::now();
    Clock::time_point settle_until = now;
    if (quiet_span > Clock::duration::zero()) settle_until = std::max(settle_until, sync.last_ended + quiet_span);
    if (!sync.in_step) settle_until = std::max(settle_until, sync.settle_until);
    ReplyPace::Polls recent{};
    const std::size_t count = pace.recent(recent);
    Ref polls(PyTuple_New(static_cast<Py_ssize_t>(count)));
    if (!polls) return nullptr;
    for (std::size_t i = 0; i < count; ++i) {
        PyObject* poll = PyLong_FromLong(recent[i]);
        if (!poll) return nullptr;
        PyTuple_SET_ITEM(polls.get(), static_cast<Py_ssize_t>(i), poll);
    }
    MonotonicSeconds clock;
    if (!clock.measure(ctx)) return nullptr;
    const double most = seconds(settle_until - now) + seconds(pace.latest() * kPollInterval);
    return (Filled(ctx.plan_type.get()) << PyFloat_FromDouble(most)
                                        << (settle_until > now ? clock.at(settle_until) : none()) << polls.release())
        .release();
}

// The request the class's commands would build: the template, the driver's
// address, the word, the data from byte 3 on, the checksum.
PyObject* request_body(Context& ctx, PyObject* args, PyObject* kwargs) {
    static const char* const keywords[] = {"", "", "", nullptr};
    PyObject* driver = nullptr;
    int word = 0;
    Buffer data;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Oi|y*:request", const_cast<char**>(keywords), &driver, &word,
                                     &data.view))
        return nullptr;
    if (!word_of(word)) return nullptr;
    constexpr std::size_t room = kChecksumIndex - kFirstDataIndex;
    if (static_cast<std::size_t>(data.view.len) > room) {
        PyErr_Format(PyExc_ValueError, "data must be %zu bytes at most, not %zd", room, data.view.len);
        return nullptr;
    }
    Ref address(PyObject_GetAttr(driver, ctx.addr.get()));
    if (!address) return nullptr;
    const long address_byte = PyLong_Check(address.get()) ? PyLong_AsLong(address.get()) : -1;
    if (address_byte == -1 && PyErr_Occurred()) PyErr_Clear();
    if (address_byte < 0 || address_byte > 0xFF) {
        PyErr_Format(PyExc_ValueError, "the driver's address must be 0 to 255, not %R", address.get());
        return nullptr;
    }
    Frame frame = make_frame(static_cast<std::uint8_t>(address_byte), static_cast<Command>(word));
    std::copy(data.bytes(), data.bytes() + data.view.len, frame.begin() + kFirstDataIndex);
    seal(frame);
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(frame.data()), kFrameLength);
}

PyObject* address_body(Context& ctx, PyObject* args, PyObject* kwargs) {
    static const char* const keywords[] = {"", nullptr};
    PyObject* driver = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:address", const_cast<char**>(keywords), &driver)) return nullptr;
    return PyObject_GetAttr(driver, ctx.addr.get());
}

PyObject* status_of_body(Context& ctx, PyObject* args, PyObject* kwargs) {
    static const char* const keywords[] = {"", nullptr};
    Buffer reply;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "y*:status_of", const_cast<char**>(keywords), &reply.view) ||
        !is_reply_frame(reply.view))
        return nullptr;
    return status_record(ctx, reply.bytes());
}

PyObject* identity_of_body(Context& ctx, PyObject* args, PyObject* kwargs) {
    static const char* const keywords[] = {"", nullptr};
    Buffer reply;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "y*:identity_of", const_cast<char**>(keywords), &reply.view) ||
        !is_reply_frame(reply.view))
        return nullptr;
    IdentityFields id;
    if (!identity_fields(reply.bytes(), id)) return nullptr;
    Ref record(version_record(ctx, std::move(id.model), std::move(id.number), std::move(id.version)));
    if (!record || PyDict_SetItemString(record.get(), "address", id.address.get()) < 0) return nullptr;
    return record.release();
}

// open()'s steps with the availability check of lsof's own account, each
// refusal raised as its kind.
PyObject* open_body(Context& ctx, PyObject* args, PyObject* kwargs) {
    static const char* const keywords[] = {"", nullptr};
    PyObject* driver = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:open", const_cast<char**>(keywords), &driver)) return nullptr;
    Ref port(PyObject_GetAttr(driver, ctx.port.get()));
    if (!port) return nullptr;
    Ref device;
    Ref listing = holders_listing(ctx, driver, device);
    if (!listing) {
        if (!device || !PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
        return raise_unchecked(ctx, device.get(), take_exception());
    }
    const int held = listing.get() == Py_None ? 0 : PyObject_IsTrue(listing.get());
    if (held < 0) return nullptr;
    if (held) return raise_busy(ctx, device.get(), listing.get());
    Ref opened;
    const int accepted = open_and_identify(ctx, driver, opened);
    if (accepted > 0) Py_RETURN_NONE;
    if (accepted == 0) return raise_rejection(ctx, driver);
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
    Ref error = take_exception();
    if (opened && !close_after_failure(ctx, opened.get())) return nullptr;
    return raise_open_failure(ctx, port.get(), std::move(error));
}

using LineBody = PyObject* (*)(Context& ctx, PyObject* args, PyObject* kwargs);

// The door from the interpreter into each function: nothing thrown in C++
// may pass it. `package` is the extension's module, whose context it is.
template <LineBody body>
PyObject* guarded(PyObject* package, PyObject* args, PyObject* kwargs) {
    try {
        return body(context_of(package), args, kwargs);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_SystemError, error.what());
        return nullptr;
    }
}

template <LineBody body>
PyCFunction as_function() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(guarded<body>));
}

PyMethodDef kLineFunctions[] = {
    {"exchange", as_function<exchange_body>(), METH_VARARGS | METH_KEYWORDS,
     "exchange($module, driver, request, /, *, quiet=0.0)\n--\n\n"
     "One exchange on an open driver's line, as __write_and_read makes it (its turn, its reply rule), of the\n"
     "request frame's bytes as they are; an Exchange. With quiet, the line must first have been quiet that many\n"
     "seconds, what arrives read away (two reply windows at most)."},
    {"plan", as_function<plan_body>(), METH_VARARGS | METH_KEYWORDS,
     "plan($module, driver, word, /, *, quiet=0.0)\n--\n\n"
     "How long the next exchange of a request with this word would take before its reply is in: a Plan."},
    {"request", as_function<request_body>(), METH_VARARGS | METH_KEYWORDS,
     "request($module, driver, word, data=b'', /)\n--\n\n"
     "The request frame with the driver's address and this word, data from byte 3 on, the checksum last."},
    {"address", as_function<address_body>(), METH_VARARGS | METH_KEYWORDS,
     "address($module, driver, /)\n--\n\n"
     "The bus address the driver's requests go to: the supply's, once open() has read its identity."},
    {"status_of", as_function<status_of_body>(), METH_VARARGS | METH_KEYWORDS,
     "status_of($module, reply, /)\n--\n\n"
     "A status reply as read_dev_status() returns it: the status record."},
    {"identity_of", as_function<identity_of_body>(), METH_VARARGS | METH_KEYWORDS,
     "identity_of($module, reply, /)\n--\n\n"
     "An identity reply: the version record (model, SN, soft_version) and the address it came from."},
    {"open", as_function<open_body>(), METH_VARARGS | METH_KEYWORDS,
     "open($module, driver, /)\n--\n\n"
     "Open the driver's port as open() does, printing nothing: None, or the refusal raised as its kind of\n"
     "OpenError, with the failure as its __cause__."},
    {nullptr, nullptr, 0, nullptr},
};

bool add_functions(PyObject* package, PyObject* line, PyObject* line_name) {
    for (PyMethodDef* def = kLineFunctions; def->ml_name; ++def) {
        Ref function(PyCFunction_NewEx(def, package, line_name));
        if (!function || PyModule_AddObjectRef(line, def->ml_name, function.get()) < 0) return false;
    }
    return true;
}

bool add_seconds(PyObject* line, const char* name, Clock::duration span) {
    Ref value(PyFloat_FromDouble(seconds(span)));
    return value && PyModule_AddObjectRef(line, name, value.get()) == 0;
}

// One source for every timing of the line: line_state.hpp.
bool add_constants(PyObject* line) {
    return add_seconds(line, "POLL_S", kPollInterval) && PyModule_AddIntConstant(line, "TRIES", kMaxTry) == 0 &&
           add_seconds(line, "REPLY_WINDOW_S", kReplyWindow) && add_seconds(line, "SETTLE_MOST_S", kSettleBound) &&
           add_seconds(line, "GIVES_UP_S", kReplyWindow);
}

bool add_types(Context& ctx, PyObject* line) {
    ctx.exchange_type = Ref(reinterpret_cast<PyObject*>(PyStructSequence_NewType(&kExchangeDesc)));
    ctx.plan_type = Ref(reinterpret_cast<PyObject*>(PyStructSequence_NewType(&kPlanDesc)));
    return ctx.exchange_type && ctx.plan_type &&
           PyModule_AddObjectRef(line, "Exchange", ctx.exchange_type.get()) == 0 &&
           PyModule_AddObjectRef(line, "Plan", ctx.plan_type.get()) == 0;
}

}  // namespace

bool add_line_module(Context& ctx, PyObject* package) {
    Ref time(PyImport_ImportModule("time"));
    ctx.monotonic = time ? Ref(PyObject_GetAttrString(time.get(), "monotonic")) : Ref();
    Ref package_name(PyModule_GetNameObject(package));
    if (!ctx.monotonic || !package_name) return false;
    Ref name(PyUnicode_FromFormat("%U._line", package_name.get()));
    Ref line(name ? PyModule_NewObject(name.get()) : nullptr);
    if (!line || PyModule_AddStringConstant(line.get(), "__doc__", kLineDoc) < 0 ||
        !add_functions(package, line.get(), name.get()) || !add_types(ctx, line.get()) ||
        !add_open_errors(ctx, line.get()) || !add_constants(line.get()))
        return false;
    // `import qm4410._line` finds it here; the package keeps it as its _line.
    PyObject* modules = PyImport_GetModuleDict();
    return PyDict_SetItem(modules, name.get(), line.get()) == 0 &&
           PyModule_AddObjectRef(package, "_line", line.get()) == 0;
}

}  // namespace qm4410
