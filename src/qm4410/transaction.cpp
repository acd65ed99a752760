// One exchange with the supply: write the request, poll the input buffer
// every 10 ms up to 30 times, read when exactly one frame is waiting, and
// accept it only as a well-formed frame.
//
// The bare exchange takes any well-formed frame for its reply, so a reply
// that comes late, or twice, would be taken for the answer to the next
// request, and every request after it would get the reply of the one before.
// What keeps each reply with its own request (docs/driver.md states the
// rule and what it guarantees):
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
//   request, and a frame from another address than the request's (where the
//   address is known) answers none of this line's: it is read away and
//   polling goes on.
// - A frame that is complete at an earlier poll than any of the last few
//   replies to the same command word were, is held back for up to two polls
//   past the soonest of those: a valid frame that comes meanwhile takes its
//   place. A supply answers about as fast each time, so a frame that beats
//   its request's usual time is most likely a left-over.
// - An exchange that took a frame that may have been a left-over (it saw
//   another valid frame too, or it followed a failure whose reply never
//   showed) leaves the line out of step, as a failure does: the reply it
//   displaced is read away before the next request goes out, instead of
//   being taken for that request's, and the one after, and so on. Where the
//   supply's reply time varies more than its shortest, a reply taken sooner
//   than the slowest recent one leaves the line out of step until this
//   request's own reply would have come, for the same reason.
// - Asked for (by a server between two clients' exchanges, through the
//   private core), the line must first have been quiet for a while, what
//   arrives read away: a second copy of the last reply that comes just after
//   the look is not taken for this request's either.
//
// Each exchange's facts (when it wrote, at which poll its reply came, what
// it read away, how it left the line) are kept for the private core.
//
// Exchanges of one driver object are taken one at a time, in the order the
// threads asked for the line, and across processes after fork()
// (line_state.hpp, shared_line.hpp).
#include "transaction.hpp"

#include <algorithm>
#include <cmath>

#include "driver.hpp"
#include "line_state.hpp"

namespace qm4410 {
namespace {

// A frame sooner than usual is held back this many polls past the usual
// time, for the reply that may still come then.
constexpr int kHoldFor = 2;

// ser.read(n) of the n bytes `waiting`, as inWaiting() told; None when
// none are.
Ref take_waiting(Context& ctx, PyObject* ser, PyObject* waiting) {
    Ref zero(PyLong_FromLong(0));
    if (!zero) return Ref();
    const int any = PyObject_RichCompareBool(waiting, zero.get(), Py_GT);
    if (any < 0) return Ref();
    if (!any) return Ref::borrowed(Py_None);
    return Ref(PyObject_CallMethodOneArg(ser, ctx.read.get(), waiting));
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

// Byte `index` of a frame already found valid (so 26 items long); -1 when it
// is not a plain byte value, as in a reply from an overridden read.
int byte_of(PyObject* data, std::size_t index) {
    if (PyBytes_Check(data)) return static_cast<std::uint8_t>(PyBytes_AS_STRING(data)[index]);
    Ref item(PySequence_GetItem(data, static_cast<Py_ssize_t>(index)));
    if (!item) {
        PyErr_Clear();
        return -1;
    }
    int overflow = 0;
    const long value = PyLong_Check(item.get()) ? PyLong_AsLongAndOverflow(item.get(), &overflow) : -1;
    if (PyErr_Occurred()) PyErr_Clear();
    return (overflow || value < 0 || value > 0xFF) ? -1 : static_cast<int>(value);
}

// What a reply is matched against: the request's command word, and the
// address it went to when the reply must come from there. -1 for none.
struct Request {
    int word = -1;
    int address = -1;
};

// The address is left open for a request to the broadcast address (the
// identity read of open(), and every request of a driver that has not read
// its supply's address yet: a supply answers from its own, which the driver
// does not know then), for a change of address, and after one until the
// supply tells its address again: a supply may answer those from either.
Request request_of(PyObject* payload, const LineSync& sync) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(payload));
    const Py_ssize_t size = PyBytes_GET_SIZE(payload);
    Request request;
    if (size > static_cast<Py_ssize_t>(kCommandIndex)) request.word = bytes[kCommandIndex];
    const bool address_known = size > 1 && bytes[1] != kUnknownAddress && !sync.readdressed &&
                               request.word != static_cast<int>(Command::SetNewAddr);
    if (address_known) request.address = bytes[1];
    return request;
}

// Whether a valid frame can be the reply to `request`: a frame carrying the
// word of another request answers that one, and a frame from another
// address answers no request of this line's.
bool may_answer(PyObject* data, const Request& request) {
    const int replied = byte_of(data, kCommandIndex);
    if (replied >= 0 && replied != request.word && is_request_word(static_cast<std::uint8_t>(replied))) return false;
    const int from = request.address >= 0 ? byte_of(data, kAddressIndex) : -1;
    return from < 0 || from == request.address;
}

// How the line was found before the request was written.
enum class Cleared {
    InStep,    // nothing owed: whatever comes now is this request's or a fault's
    OnTrial,   // a reply owed by a failed exchange never showed: it may come now
    Unlooked,  // the look itself raised; the request goes out as it would without one
    Error,
};

// Until taken() is called, leaving the scope leaves the line out of step:
// the request went out, or may have, and no reply was taken for it, whether
// the exchange timed out, found a malformed frame or raised (the write
// included: a port may fail after sending part of a request). Meanwhile the
// line counts as out of step already, and so it stays for the processes
// that share it should this one end before the exchange does.
class AwaitingReply {
public:
    explicit AwaitingReply(LineSync& sync) : sync_(sync) { sync_.fall_out_of_step(true); }
    AwaitingReply(const AwaitingReply&) = delete;
    AwaitingReply& operator=(const AwaitingReply&) = delete;
    ~AwaitingReply() {
        if (!taken_) sync_.fall_out_of_step(true);
        sync_.last_ended = Clock::now();
    }
    // A reply was taken; when it may have been another request's, this
    // request's own may still come, and the line counts as out of step. So
    // it does for `owed_polls` more polls, by which this request's own
    // reply would have come if it was not this one.
    void taken(bool doubtful, int owed_polls) {
        taken_ = true;
        if (doubtful) {
            sync_.fall_out_of_step(false);
        } else if (owed_polls > 0) {
            sync_.fall_out_of_step(false, Clock::now() + owed_polls * kPollInterval);
        } else {
            sync_.come_into_step();
        }
    }

private:
    LineSync& sync_;
    bool taken_ = false;
};

// One exchange on self.ser, with the turn on its line held.
class Exchange {
public:
    Exchange(Context& ctx, PyObject* self, PyObject* ser, LineSync& sync, ReplyCheck check, ExchangeRecord& record)
        : ctx_(ctx), self_(self), ser_(ser), sync_(sync), check_(check), record_(record) {}

    // Reads away what arrives until the line has been quiet for `quiet`;
    // false with an exception set.
    bool keep_quiet(Clock::duration quiet);

    // Reads away what waits, and on a line out of step what is still coming.
    Cleared clear_the_line();

    // The reply to `request`; None when no valid reply came, null with an
    // exception set. `doubtful` is set when it may be another request's:
    // another valid frame came too. `owed_polls` is how many polls more this
    // request's own reply could take, if the one taken was not it, at the
    // latest pace of its recent replies, less what the next exchange's hold
    // would catch: the next exchange could not tell it from its own.
    Ref await_reply(const Request& request, bool& doubtful, int& owed_polls);

private:
    bool find_sleep();
    // time.sleep(0.01) through the module's globals: its result, or null.
    Ref pause();
    // Reads away what is waiting; the number of bytes, or -1 on error.
    Py_ssize_t read_away_waiting();
    Py_ssize_t read_away(PyObject* waiting);
    // `data`, read at `poll`, is the reply.
    Ref take(Ref data, int poll);
    // `data` was read and is not the reply; false with an exception set.
    bool pass_over(const Ref& data);

    Context& ctx_;
    PyObject* self_;
    PyObject* ser_;
    LineSync& sync_;
    ReplyCheck check_;
    ExchangeRecord& record_;
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

Py_ssize_t Exchange::read_away(PyObject* waiting) {
    Ref data = take_waiting(ctx_, ser_, waiting);
    if (!data) return -1;
    const Py_ssize_t count = data.get() == Py_None ? 0 : PyObject_Length(data.get());
    if (count > 0) record_.read_before += static_cast<std::size_t>(count);
    return count;
}

Py_ssize_t Exchange::read_away_waiting() {
    Ref waiting(PyObject_CallMethodNoArgs(ser_, ctx_.in_waiting.get()));
    return waiting ? read_away(waiting.get()) : -1;
}

Ref Exchange::take(Ref data, int poll) {
    record_.poll = poll;
    record_.answered_at = Clock::now();
    return data;
}

// A reply of another kind, from a port of the caller's, may have no length
// (an iterator): it is then not counted, and the exchange goes on as before.
bool Exchange::pass_over(const Ref& data) {
    const Py_ssize_t count = PyObject_Length(data.get());
    if (count >= 0) {
        record_.read_after += static_cast<std::size_t>(count);
    } else {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
        PyErr_Clear();
    }
    return true;
}

// The quiet is counted from the end of the line's last exchange, or from the
// last poll that found bytes, in real time or in polls (each pause lasts a
// poll interval at least), whichever says so first. A port whose look raises
// is left to the rule's own look.
bool Exchange::keep_quiet(Clock::duration quiet) {
    if (quiet <= Clock::duration::zero()) return true;
    Clock::time_point quiet_from = sync_.last_ended;
    int quiet_polls = 0;
    for (int polls = 0;; ++polls) {
        Ref waiting(PyObject_CallMethodNoArgs(ser_, ctx_.in_waiting.get()));
        if (!waiting) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
            PyErr_Clear();
            return true;
        }
        const Py_ssize_t arrived = read_away(waiting.get());
        if (arrived < 0) return false;
        const Clock::time_point now = Clock::now();
        if (arrived > 0) {
            if (!sync_.in_step) sync_.read_away += static_cast<std::size_t>(arrived);
            quiet_from = now;
            quiet_polls = 0;
        }
        if (now - quiet_from >= quiet || quiet_polls * kPollInterval >= quiet || polls >= kMaxSettlePolls) return true;
        if (!pause()) return false;
        ++quiet_polls;
    }
}

Cleared Exchange::clear_the_line() {
    Ref waiting(PyObject_CallMethodNoArgs(ser_, ctx_.in_waiting.get()));
    if (!waiting) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return Cleared::Error;
        PyErr_Clear();
        return Cleared::Unlooked;
    }
    const Py_ssize_t found = read_away(waiting.get());
    if (found < 0) return Cleared::Error;
    const auto count = static_cast<std::size_t>(found);
    if (sync_.in_step) {
        if (count % kFrameLength == 0) return Cleared::InStep;
        // Part of a frame: the rest of it may be on its way, and comes
        // without a pause. No reply is owed, so there is no window to wait.
        sync_.in_step = false;
        sync_.after_failure = false;
        sync_.settle_until = Clock::now();
        sync_.read_away = count % kFrameLength;
    } else {
        sync_.read_away += count;
    }
    std::size_t arrived = count;
    const auto deadline = sync_.settle_until;
    const auto left = std::chrono::duration<double>(deadline - Clock::now()) / kPollInterval;
    const int window_polls = left > 0 ? static_cast<int>(std::ceil(left)) : 0;
    for (int polls = 0; sync_.read_away < kFrameLength && polls < kMaxSettlePolls; ++polls) {
        const bool window_over = polls >= window_polls || Clock::now() >= deadline;
        if (window_over && arrived == 0) break;
        if (!pause()) return Cleared::Error;
        const Py_ssize_t more = read_away_waiting();
        if (more < 0) return Cleared::Error;
        arrived = static_cast<std::size_t>(more);
        sync_.read_away += arrived;
    }
    const bool owed = sync_.after_failure && sync_.read_away < kFrameLength;
    sync_.come_into_step();
    return owed ? Cleared::OnTrial : Cleared::InStep;
}

Ref Exchange::await_reply(const Request& request, bool& doubtful, int& owed_polls) {
    Ref cmd_length(PyObject_GetAttr(self_, ctx_.cmd_length.get()));
    if (!cmd_length) return Ref();
    Ref held;
    int held_at = 0;
    const int word = request.word;
    const int usual = word >= 0 ? sync_.pace[word].soonest() : 0;
    const int slowest_owed = usual > 0 ? sync_.pace[word].latest() - usual + 1 : 0;
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
        if (valid < 0 || (!valid && !pass_over(data))) return Ref();
        if (!valid) {
            if (held) continue;  // the held frame may still be the reply
            return Ref::borrowed(Py_None);
        }
        if (word < 0) return take(std::move(data), poll);
        if (!may_answer(data.get(), request)) {
            doubtful = true;  // a left-over, or another supply's: more of them may come
            if (!pass_over(data)) return Ref();
            continue;
        }
        if (held) {
            doubtful = true;  // two frames for one request: one of them answered another
            if (!pass_over(held)) return Ref();
        }
        if (poll < usual) {
            held = std::move(data);
            held_at = poll;
            last_poll = std::min(kMaxTry, usual + kHoldFor);
            continue;
        }
        sync_.pace[word].record(poll);
        owed_polls = slowest_owed - poll;
        return take(std::move(data), poll);
    }
    if (!held) return Ref::borrowed(Py_None);
    sync_.pace[word].record(held_at);
    owed_polls = slowest_owed - last_poll;
    return take(std::move(held), held_at);
}

// The exchange proper, with the turn held: from the quiet and the look at
// what waits to the reply.
bool run_exchange(Context& ctx, PyObject* self, PyObject* ser, PyObject* write, PyObject* payload, LineSync& sync,
                  ReplyCheck check, Clock::duration quiet, ExchangeRecord& record) {
    Exchange exchange(ctx, self, ser, sync, check, record);
    if (!exchange.keep_quiet(quiet)) return false;
    const Cleared cleared = exchange.clear_the_line();
    if (cleared == Cleared::Error) return false;
    const Request to_match = request_of(payload, sync);
    AwaitingReply awaiting(sync);
    if (to_match.word == static_cast<int>(Command::SetNewAddr)) sync.readdressed = true;
    record.written_at = Clock::now();
    Ref written(PyObject_CallOneArg(write, payload));
    if (!written) return false;
    bool doubtful = cleared != Cleared::InStep;
    int owed_polls = 0;
    record.reply = exchange.await_reply(to_match, doubtful, owed_polls);
    if (!record.reply) return false;
    if (record.reply.get() != Py_None) {
        awaiting.taken(doubtful, owed_polls);
        record.doubtful = doubtful;
        if (to_match.word == static_cast<int>(Command::ReadDevVersion)) sync.readdressed = false;
    }
    return true;
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
    if (!ser) return nullptr;
    Ref waiting(PyObject_CallMethodNoArgs(ser.get(), ctx.in_waiting.get()));
    return waiting ? take_waiting(ctx, ser.get(), waiting.get()).release() : nullptr;
}

}  // namespace

bool reply_check_of(Context& ctx, PyObject* self, ReplyCheck& check) {
    const int own = is_own_method(ctx, self, ctx.check_crc.get(), kCheckCrc);
    check = own > 0 ? ReplyCheck::Own : ReplyCheck::ThroughObject;
    return own >= 0;
}

bool exchange(Context& ctx, PyObject* self, PyObject* request, ReplyCheck check, Clock::duration quiet,
              ExchangeRecord& record) {
    std::shared_ptr<LineState> line = line_state_for(ctx, self);
    if (!line) return false;
    Turn turn(line);
    if (!turn.acquire()) return false;

    // self.ser.write is looked up before the request is made into bytes, so
    // a driver that was never opened says so whatever it was asked to send.
    Ref ser(PyObject_GetAttr(self, ctx.ser.get()));
    if (!ser) return false;
    Ref write(PyObject_GetAttr(ser.get(), ctx.write.get()));
    if (!write) return false;
    Ref payload(PyBytes_FromObject(request));
    if (!payload) return false;

    LineSync& sync = line->sync();
    if (!run_exchange(ctx, self, ser.get(), write.get(), payload.get(), sync, check, quiet, record)) return false;
    record.out_of_step = !sync.in_step;
    record.settle_until = sync.settle_until;
    return true;
}

PyObject* transact(Context& ctx, PyObject* self, PyObject* request, ReplyCheck check) {
    ExchangeRecord record;
    if (!exchange(ctx, self, request, check, Clock::duration::zero(), record)) return nullptr;
    return record.reply.release();
}

constexpr MethodSpec kRead = MethodSpec("__read", read_body)
                                 .documented(
                                     "\n"
                                     "        Read serial data\n"
                                     "        ");

constexpr MethodSpec kWriteAndRead = MethodSpec("__write_and_read", write_and_read_body)
                                         .parameter("cmd", "list")
                                         .documented(
                                             "\n"
                                             "        send command and read response data and check crc\n"
                                             "        :param cmd: the command send to serial port\n"
                                             "        ");

}  // namespace qm4410
