// What open() and the private core's open() share: the steps after the
// availability check, the closing after a failure, and what each tells
// when it refuses.
#pragma once

#include <Python.h>

#include "context.hpp"

namespace qm4410 {

// The pending exception, normalised and taken off the error indicator.
Ref take_exception();

// Opens self.port with the supply's line settings, exclusively, keeps the
// port as self.ser, forgets the identity read before and reads it again
// through self.__read_device_version; a device of another model, or none
// answering, has its port closed again through self.close(). 1 when the
// model is accepted, 0 when not, -1 with an exception set; `opened` holds
// the port as soon as this call has opened it, for the caller to close.
int open_and_identify(Context& ctx, PyObject* self, Ref& opened);

// Closes the port that a failed open had opened; the failure being reported
// is the one that counts, so an ordinary error from close is dropped. False
// with an exception set that is no Exception (an interrupt).
bool close_after_failure(Context& ctx, PyObject* opened);

// lsof's machine-readable account of who holds the device that self.port
// opens: its standard output, empty when nobody does. None where nothing is
// asked: on Windows, where the open itself is exclusive, and for a port
// elsewhere. `device` receives the device looked at. Null with an exception
// set.
Ref holders_listing(Context& ctx, PyObject* self, Ref& device);

// Why open() refused without a word, from the identity it left on `self`:
// no reply, or the model the device reported.
Ref silent_refusal(Context& ctx, PyObject* self);

}  // namespace qm4410
