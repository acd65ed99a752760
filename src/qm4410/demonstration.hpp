#pragma once

#include <Python.h>

#include "context.hpp"

namespace qm4410 {

// Runs the demonstration, leaving `opat_port` and `qm4400` in the dict
// `namespace_` (the globals of the module that runs it).
PyObject* run_demonstration(Context& ctx, PyObject* namespace_);

}  // namespace qm4410
