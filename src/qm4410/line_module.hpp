// qm4410._line, the driver's structured core (line_module.cpp).
#pragma once

#include <Python.h>

#include "context.hpp"

namespace qm4410 {

// Makes the submodule of `package`, enters it in sys.modules and keeps it as
// the package's _line; false with an exception set.
bool add_line_module(Context& ctx, PyObject* package);

}  // namespace qm4410
