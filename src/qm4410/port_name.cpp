// Port names: a device ('/dev/ttyUSB0', 'COM3') or a pyserial URL
// ('rfc2217://labpi:4001', 'spy:///dev/ttyUSB0'), and the device, if any,
// that a URL opens on this computer.
#include "port_name.hpp"

namespace qm4410 {
namespace {

// serial.serial_for_url(url, do_not_open=True): the port object, unopened.
// The handlers of local ports resolve the URL to their device here (hwgrep://
// searches the machine's ports) and keep it as the object's port.
Ref unopened_port(Context& ctx, PyObject* serial, PyObject* url) {
    Ref for_url(PyObject_GetAttr(serial, ctx.serial_for_url.get()));
    Ref positional(PyTuple_Pack(1, url));
    Ref keywords(PyDict_New());
    if (!for_url || !positional || !keywords || PyDict_SetItem(keywords.get(), ctx.do_not_open.get(), Py_True) < 0)
        return Ref();
    return Ref(PyObject_Call(for_url.get(), positional.get(), keywords.get()));
}

// The device behind a URL, or None when the URL opens no native serial port
// (rfc2217:// and socket:// reach another computer, loop:// nothing at all).
Ref device_behind(Context& ctx, PyObject* url) {
    Ref serial = global(ctx, ctx.serial.get());
    if (!serial) return Ref();
    Ref native(PyObject_GetAttr(serial.get(), ctx.Serial.get()));
    if (!native) return Ref();
    Ref port = unopened_port(ctx, serial.get(), url);
    if (!port) return Ref();
    const int local = PyObject_IsInstance(port.get(), native.get());
    if (local < 0) return Ref();
    return local ? Ref(PyObject_GetAttr(port.get(), ctx.port.get())) : Ref::borrowed(Py_None);
}

// Whether `text` stands at `start` in the str `port`, in any letter case of
// its ASCII letters (`text` in lower case).
bool stands_at(PyObject* port, Py_ssize_t start, std::string_view text) {
    if (start + static_cast<Py_ssize_t>(text.size()) > PyUnicode_GET_LENGTH(port)) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        Py_UCS4 c = PyUnicode_READ_CHAR(port, start + static_cast<Py_ssize_t>(i));
        if (c >= 'A' && c <= 'Z') c += 'a' - 'A';
        if (c != static_cast<unsigned char>(text[i])) return false;
    }
    return true;
}

}  // namespace

// As pyserial's serial_for_url tells a URL from a device: by "://" anywhere
// in it. So every name that pyserial would hand to a handler goes to one.
bool is_url(PyObject* port) {
    if (!PyUnicode_Check(port)) return false;
    for (Py_ssize_t i = 0, length = PyUnicode_GET_LENGTH(port); i < length; ++i) {
        if (stands_at(port, i, kUrlMark)) return true;
    }
    return false;
}

bool has_scheme(PyObject* port, std::string_view scheme) {
    return is_url(port) && stands_at(port, 0, scheme) &&
           stands_at(port, static_cast<Py_ssize_t>(scheme.size()), kUrlMark);
}

// A URL that pyserial cannot make sense of names no device either: the check
// lets it pass, and open() reports what pyserial says of it.
Ref device_to_check(Context& ctx, PyObject* port, bool& remote) {
    remote = false;
    if (!is_url(port)) return Ref::borrowed(port);
    Ref device = device_behind(ctx, port);
    if (!device) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return device;
        PyErr_Clear();
    }
    if (device && device.get() != Py_None) return device;
    remote = true;
    return Ref();
}

}  // namespace qm4410
