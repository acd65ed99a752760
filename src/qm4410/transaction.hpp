// The serial exchange, as the device commands and __write_and_read make it.
#pragma once

#include <Python.h>

#include "context.hpp"

namespace qm4410 {

// How a reply's checksum is verified: by the class's own check, done in C++,
// or by calling self.__check_crc, which a subclass or a patch may replace.
enum class ReplyCheck { Own, ThroughObject };

// The check that self.__check_crc stands for now; false with an exception set.
bool reply_check_of(Context& ctx, PyObject* self, ReplyCheck& check);

// One exchange on self.ser: `request`, anything bytes() takes (the list a
// caller built, or the request already made into bytes), is written and its
// reply waited for. Returns the validated reply, None when no valid reply
// came, or null with an exception set.
PyObject* transact(Context& ctx, PyObject* self, PyObject* request, ReplyCheck check);

}  // namespace qm4410
