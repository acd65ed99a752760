// Where the C API the extension uses differs between the CPython versions it
// builds for. Every other file calls the documented API directly; a version
// test belongs here and nowhere else.
#pragma once

#include <Python.h>

#if PY_VERSION_HEX < 0x030D0000
// Documented from 3.13 on; before that the same function had a private name
// and nothing public told it as cheaply (sys.is_finalizing() is a call into
// Python, too slow for a destructor that runs on every reference).
inline int Py_IsFinalizing() { return _Py_IsFinalizing(); }
#endif

namespace qm4410 {

// The driver's shared state (each driver's line, the module's tables) is
// guarded by the GIL. A free-threaded interpreter is refused at import rather
// than run without that guard; false with ImportError set.
inline bool interpreter_supported() {
#ifdef Py_GIL_DISABLED
    PyErr_SetString(PyExc_ImportError,
                    "qm4410 does not support free-threaded CPython builds; use the default (GIL) build of "
                    "the same version");
    return false;
#else
    return true;
#endif
}

}  // namespace qm4410
