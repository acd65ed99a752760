// What a port name stands for: a device, or a URL that one of pyserial's
// handlers opens, with perhaps a local device behind it.
#pragma once

#include <Python.h>

#include <string_view>

#include "context.hpp"

namespace qm4410 {

// What follows the scheme of a URL.
constexpr std::string_view kUrlMark = "://";

// Whether a port name is a URL rather than a device name; anything that is
// no str is a device name.
bool is_url(PyObject* port);

// Whether a port name is a URL of `scheme` (given in lower case), in any
// letter case: has_scheme(port, "rfc2217") for "RFC2217://labpi:4001".
bool has_scheme(PyObject* port, std::string_view scheme);

// The device that the availability check looks at for `port`: the name
// itself for a device, whatever it is; for a URL, the device that pyserial's
// handler opens when it opens a local one. Null with `remote` set for a URL
// that opens none; otherwise null only with an exception pending that is no
// Exception (an interrupt).
Ref device_to_check(Context& ctx, PyObject* port, bool& remote);

}  // namespace qm4410
