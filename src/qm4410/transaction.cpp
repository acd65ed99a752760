// One exchange with the supply: write the request, poll the input buffer
// every 10 ms up to 30 times, read when exactly one frame is waiting, and
// accept it only as a well-formed frame.
//
// The bare exchange takes any well-formed frame for its reply, so a reply
// that comes late, or twice, would be taken for the answer to the next
// request, and every request after it would get the reply of the one before.
// What keeps each reply with its own request:
//
// - Before a request is written, whatever is waiting is read away: it
//   arrived before the request, so it cannot be its reply.
// - After an exchange that got no valid reply the line is out of step: the
//   next exchange first keeps reading away what arrives, until a whole
//   frame's worth has gone or one reply window (0.3 s) has passed since the
//   line fell out of step and nothing more is arriving. Part of a frame
//   found before a write is read until the frame is whole or nothing more
//   comes. A line that is in step pays nothing for this.
// - A frame whose command word is that of another request answers that
//   request, not this one: it is read away and polling goes on.
// - A frame that is complete at an earlier poll than any of the last few
//   replies to the same command word were, is held back for up to two polls
//   past the soonest of those: a valid frame that comes meanwhile is the
//   reply; otherwise the held one is. A supply answers about as fast each
//   time, so a frame that beats its request's usual time is most likely a
//   left-over, and a reply taken in its place would leave the request's own
//   reply to arrive early in the next exchange.
//
// Exchanges of one driver object are taken one at a time, in the order the
// threads asked for the line (line_state.hpp).
#include <algorithm>
#include <cmath>

#include "transaction.hpp"

#include "driver.hpp"
#include "line_state.hpp"

namespace qm4410 {
namespace {

constexpr int kMaxTry = 30;
constexpr std::chrono::milliseconds kPollInterval{10};
constexpr auto kReplyWindow = kMaxTry * kPollInterval;
// Reading away a reply still arriving may outlast the window, not forever.
constexpr int kMaxSettlePolls = 2 * kMaxTry;
// A frame sooner than usual is held back this many polls past the usual
// time, for the reply that may still come then.
constexpr int kHoldFor = 2;

// ser.read(n) of the n bytes waiting in the input buffer; None when none are.
Ref take_waiting(Context& ctx, PyObject* ser) {
    Ref waiting(PyObject_CallMethodNoArgs(ser, ctx.in_waiting.get()));
    if (!waiting) return Ref();
    Ref zero(PyLong_FromLong(0));
    if (!zero) return Ref();
    const int any = PyObject_RichCompareBool(waiting.get(), zero.get(), Py_GT);
    if (any < 0) return Ref();
    if (!any) return Ref::borrowed(Py_None);
    return Ref(PyObject_CallMethodOneArg(ser, ctx.read.get(), waiting.get()));
}

// Length 26, start byte, then the checksum as `check` says: 1 valid, 0 not,
// -1 error.
int is_valid_reply(Context& ctx, PyObject* self, PyObject* data, ReplyCheck check) {
    if (PyBytes_CheckExact(data)) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(data));
        if (PyBytes_GET_SIZE(data) != static_cast<Py_ssize_t>(kFrameLength) || bytes[0] != kStartByte) return 0;
        if (check == ReplyCheck::Own) return is_valid_frame(bytes, kFrameLength);
    }
    // A reply of another kind, from a port of the caller's, is checked as
    // the driver's own code in Python would check it.
    Ref response(PySequence_List(data));
    if (!response) return -1;
    if (PyList_GET_SIZE(response.get()) != static_cast<Py_ssize_t>(kFrameLength)) return 0;
    const int started = PyObject_RichCompareBool(PyList_GET_ITEM(response.get(), 0), ctx.start_byte.get(), Py_EQ);
    if (started <= 0) return started;
    Ref verdict(PyObject_CallMethodOneArg(self, ctx.check_crc.get(), response.get()));
    return verdict ? PyObject_IsTrue(verdict.get()) : -1;
}

// Byte 2 of a frame already found valid (so 26 items long); -1 when it is
// not a plain byte value, as a reply from an overridden read might be.
int command_word_of(PyObject* data) {
    if (PyBytes_Check(data)) return static_cast<std::uint8_t>(PyBytes_AS_STRING(data)[kCommandIndex]);
    Ref item(PySequence_GetItem(data, kCommandIndex));
    if (!item) {
        PyErr_Clear();
        return -1;
    }
    int overflow = 0;
    const long value = PyLong_Check(item.get()) ? PyLong_AsLongAndOverflow(item.get(), &overflow) : -1;
    if (PyErr_Occurred()) PyErr_Clear();
    return (overflow || value < 0 || value > 0xFF) ? -1 : static_cast<int>(value);
}

// The command word of the request about to be written, -1 for a request too
// short to have one.
int command_word_of_request(PyObject* payload) {
    return PyBytes_GET_SIZE(payload) > static_cast<Py_ssize_t>(kCommandIndex)
               ? static_cast<std::uint8_t>(PyBytes_AS_STRING(payload)[kCommandIndex])
               : -1;
}

// Until taken() is called, leaving the scope leaves the line out of step:
// the request went out and no reply was taken for it, whether the exchange
// timed out, found a malformed frame or raised.
class AwaitingReply {
public:
    explicit AwaitingReply(LineState& line) : line_(line) {}
    AwaitingReply(const AwaitingReply&) = delete;
    AwaitingReply& operator=(const AwaitingReply&) = delete;
    ~AwaitingReply() {
        if (taken_) return;
        line_.in_step = false;
        line_.out_of_step_since = Clock::now();
        line_.read_away = 0;
    }
    void taken() { taken_ = true; }

private:
    LineState& line_;
    bool taken_ = false;
};

// One exchange on self.ser, with the turn on its line held.
class Exchange {
public:
    Exchange(Context& ctx, PyObject* self, PyObject* ser, LineState& line, ReplyCheck check)
        : ctx_(ctx), self_(self), ser_(ser), line_(line), check_(check) {}

    // Reads away what waits, and on a line out of step what is still coming.
    bool clear_the_line();

    // The reply to a request carrying `word` (-1: none); None when no valid
    // reply came, null with an exception set.
    Ref await_reply(int word);

private:
    bool find_sleep();
    // time.sleep(0.01) through the module's globals: its result, or null.
    Ref pause();
    // Reads away what is waiting; the number of bytes, or -1 on error.
    Py_ssize_t read_away_waiting();
    bool settle();

    Context& ctx_;
    PyObject* self_;
    PyObject* ser_;
    LineState& line_;
    ReplyCheck check_;
    Ref sleep_;
};

bool Exchange::find_sleep() {
    Ref time(global(ctx_, ctx_.time.get()));
    if (time) sleep_ = Ref(PyObject_GetAttr(time.get(), ctx_.sleep.get()));
    return static_cast<bool>(sleep_);
}

// No local of its own: a daemon thread may be ended inside the sleep as the
// interpreter exits, and its stack unwinds through here without running any
// of this frame's code, which would leave a sanitizer's guards around such
// locals behind.
Ref Exchange::pause() {
    if (!sleep_ && !find_sleep()) return Ref();
    return Ref(PyObject_CallOneArg(sleep_.get(), ctx_.poll_interval.get()));
}

Py_ssize_t Exchange::read_away_waiting() {
    Ref data = take_waiting(ctx_, ser_);
    if (!data) return -1;
    return data.get() == Py_None ? 0 : PyObject_Length(data.get());
}

bool Exchange::clear_the_line() {
    const Py_ssize_t found = read_away_waiting();
    if (found < 0) return false;
    const auto count = static_cast<std::size_t>(found);
    if (line_.in_step) {
        if (count % kFrameLength == 0) return true;
        // Part of a frame: the rest of it may be on its way, and comes
        // without a pause. No reply is owed, so there is no window to wait.
        line_.in_step = false;
        line_.out_of_step_since = Clock::now() - kReplyWindow;
        line_.read_away = count % kFrameLength;
    } else {
        line_.read_away += count;
    }
    std::size_t arrived = count;
    const auto deadline = line_.out_of_step_since + kReplyWindow;
    const auto left = std::chrono::duration<double>(deadline - Clock::now()) / kPollInterval;
    const int window_polls = left > 0 ? static_cast<int>(std::ceil(left)) : 0;
    for (int polls = 0; line_.read_away < kFrameLength && polls < kMaxSettlePolls; ++polls) {
        const bool window_over = polls >= window_polls || Clock::now() >= deadline;
        if (window_over && arrived == 0) break;
        if (!pause()) return false;
        const Py_ssize_t more = read_away_waiting();
        if (more < 0) return false;
        arrived = static_cast<std::size_t>(more);
        line_.read_away += arrived;
    }
    line_.in_step = true;
    line_.read_away = 0;
    return true;
}

Ref Exchange::await_reply(int word) {
    Ref cmd_length(PyObject_GetAttr(self_, ctx_.cmd_length.get()));
    if (!cmd_length) return Ref();
    Ref held;
    int held_at = 0;
    const int usual = word >= 0 ? line_.pace[word].soonest() : 0;
    int last_poll = kMaxTry;
    for (int poll = 1; poll <= last_poll; ++poll) {
        if (!pause()) return Ref();
        Ref buf_len(PyObject_CallMethodNoArgs(ser_, ctx_.in_waiting.get()));
        if (!buf_len) return Ref();
        const int whole_frame = PyObject_RichCompareBool(buf_len.get(), cmd_length.get(), Py_EQ);
        if (whole_frame < 0) return Ref();
        if (!whole_frame) continue;
        Ref data(PyObject_CallMethodOneArg(ser_, ctx_.read.get(), buf_len.get()));
        if (!data) return Ref();
        const int valid = is_valid_reply(ctx_, self_, data.get(), check_);
        if (valid < 0) return Ref();
        if (!valid) {
            if (held) continue;  // the held frame may still be the reply
            return Ref::borrowed(Py_None);
        }
        if (word < 0) return data;
        const int replied = command_word_of(data.get());
        if (replied >= 0 && replied != word && is_request_word(static_cast<std::uint8_t>(replied))) continue;
        if (poll < usual) {
            held = std::move(data);
            held_at = poll;
            last_poll = std::min(kMaxTry, usual + kHoldFor);
            continue;
        }
        line_.pace[word].record(poll);
        return data;
    }
    if (!held) return Ref::borrowed(Py_None);
    line_.pace[word].record(held_at);
    return held;
}

PyObject* write_and_read_body(Context& ctx, PyObject* const* args) {
    PyObject* cmd = args[1];
    if (!PyList_CheckExact(cmd)) {
        wrong_argument_type("cmd", "list", cmd);
        return nullptr;
    }
    ReplyCheck check;
    if (!reply_check_of(ctx, args[0], check)) return nullptr;
    return transact(ctx, args[0], cmd, check);
}

// Reads what is waiting; holds the turn meanwhile, so that it cannot take
// a reply from a transaction running in another thread.
PyObject* read_body(Context& ctx, PyObject* const* args) {
    std::shared_ptr<LineState> line = line_state_for(ctx, args[0]);
    if (!line) return nullptr;
    Turn turn(line);
    if (!turn.acquire()) return nullptr;
    Ref ser(PyObject_GetAttr(args[0], ctx.ser.get()));
    return ser ? take_waiting(ctx, ser.get()).release() : nullptr;
}

}  // namespace

bool reply_check_of(Context& ctx, PyObject* self, ReplyCheck& check) {
    const int own = is_own_method(ctx, self, ctx.check_crc.get(), kCheckCrc);
    check = own > 0 ? ReplyCheck::Own : ReplyCheck::ThroughObject;
    return own >= 0;
}

PyObject* transact(Context& ctx, PyObject* self, PyObject* request, ReplyCheck check) {
    std::shared_ptr<LineState> line = line_state_for(ctx, self);
    if (!line) return nullptr;
    Turn turn(line);
    if (!turn.acquire()) return nullptr;

    // self.ser.write is looked up before the request is made into bytes, so
    // a driver that was never opened says so whatever it was asked to send.
    Ref ser(PyObject_GetAttr(self, ctx.ser.get()));
    if (!ser) return nullptr;
    Ref write(PyObject_GetAttr(ser.get(), ctx.write.get()));
    if (!write) return nullptr;
    Ref payload(PyBytes_FromObject(request));
    if (!payload) return nullptr;

    Exchange exchange(ctx, self, ser.get(), *line, check);
    if (!exchange.clear_the_line()) return nullptr;
    AwaitingReply awaiting(*line);
    Ref written(PyObject_CallOneArg(write.get(), payload.get()));
    if (!written) return nullptr;
    Ref data = exchange.await_reply(command_word_of_request(payload.get()));
    if (!data) return nullptr;
    if (data.get() != Py_None) awaiting.taken();
    return data.release();
}

constexpr MethodSpec kRead = MethodSpec("__read", read_body)
                                  .documented("\n"
                                              "        Read serial data\n"
                                              "        ");

constexpr MethodSpec kWriteAndRead = MethodSpec("__write_and_read", write_and_read_body)
                                         .parameter("cmd", "list")
                                         .documented("\n"
                                                     "        send command and read response data and check crc\n"
                                                     "        :param cmd: the command send to serial port\n"
                                                     "        ");

}  // namespace qm4410
