// The serial exchange, as the device commands, __write_and_read and the
// private core qm4410._line make it: one code path for all of them.
#pragma once

#include <Python.h>

#include <cstddef>

#include "context.hpp"
#include "line_state.hpp"

namespace qm4410 {

// How a reply's checksum is verified: by the class's own check, done in C++,
// or by calling self.__check_crc, which a subclass or a patch may replace.
enum class ReplyCheck { Own, ThroughObject };

// The check that self.__check_crc stands for now; false with an exception set.
bool reply_check_of(Context& ctx, PyObject* self, ReplyCheck& check);

// What one exchange came to.
struct ExchangeRecord {
    Ref reply;                         // the valid reply taken, or None
    int poll = 0;                      // the poll at which it was complete; 0 without one
    Clock::time_point written_at{};    // as the request was handed to write()
    Clock::time_point answered_at{};   // as the reply was taken
    std::size_t read_before = 0;       // bytes read away before the write (settling)
    std::size_t read_after = 0;        // bytes read away while waiting: frames that answered nothing of this
    bool doubtful = false;             // the reply may be another request's (the reply rule's doubt)
    bool out_of_step = false;          // the line as the exchange left it ...
    Clock::time_point settle_until{};  // ... and until when the next exchange settles it
};

// One exchange on self.ser: `request`, anything bytes() takes (the list a
// caller built, or the request already made into bytes), is written and its
// reply waited for, with the turn on the driver's line held. Before the
// rule's own look at what waits, the line must have been quiet for `quiet`
// (from the end of its last exchange or from the last bytes to arrive,
// reading away what does; at most kSettleBound). False with an exception set.
bool exchange(Context& ctx, PyObject* self, PyObject* request, ReplyCheck check, Clock::duration quiet,
              ExchangeRecord& record);

// The exchange as the class's methods make it: the validated reply, None
// when no valid reply came, or null with an exception set.
PyObject* transact(Context& ctx, PyObject* self, PyObject* request, ReplyCheck check);

}  // namespace qm4410
