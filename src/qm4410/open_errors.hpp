// The refusals of the private core's open() (qm4410._line.open), as
// exceptions of their kind: one base, OpenError, an OSError so that callers
// that catch the port's errors still catch it, and a subclass for each
// reason. The kind of a failure is told by the type and errno of the
// exceptions it is made of, never by their text; the failure itself is the
// refusal's __cause__.
#pragma once

#include <Python.h>

#include "context.hpp"

namespace qm4410 {

// Makes the classes, adds them to `module` and keeps them in
// ctx.open_errors; false with an exception set.
bool add_open_errors(Context& ctx, PyObject* module);

// These raise the refusal and return null (with another exception set
// should making it fail).

// `error` (what opening the port, or reading the identity through it,
// raised) as the refusal of its kind, for the port `port`.
PyObject* raise_open_failure(Context& ctx, PyObject* port, Ref error);

// The availability check could not tell whether `device` is free: `error`
// is what running lsof raised.
PyObject* raise_unchecked(Context& ctx, PyObject* device, Ref error);

// PortBusy for `device`, with the holders that lsof's output `listing`
// (-F pc, non-empty) names.
PyObject* raise_busy(Context& ctx, PyObject* device, PyObject* listing);

// NoAnswer or WrongModel, from the identity that opening left on `self`.
PyObject* raise_rejection(Context& ctx, PyObject* self);

}  // namespace qm4410
