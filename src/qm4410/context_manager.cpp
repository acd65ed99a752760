// with QM4410(port) as supply: open() on the way in, close() on the way out.
// Both are looked up on the object, as open() looks up close(), so a
// patched or overridden open() is the one the with statement runs.
#include "driver.hpp"
#include "port.hpp"
#include "printed_lines.hpp"

namespace qm4410 {
namespace {

// ConnectionError with what open() printed, one line each.
void raise_refusal(Context& ctx, PyObject* self, PyObject* printed) {
    Ref reason;
    if (PyList_GET_SIZE(printed) > 0) {
        Ref newline(PyUnicode_FromString("\n"));
        if (newline) reason = Ref(PyUnicode_Join(newline.get(), printed));
    } else {
        // open() says nothing when the device is silent or of another model:
        // the reason is then told from the identity it left behind.
        reason = silent_refusal(ctx, self);
    }
    if (reason) PyErr_SetObject(PyExc_ConnectionError, reason.get());
}

PyObject* enter_body(Context& ctx, PyObject* const* args) {
    PyObject* self = args[0];
    // open() tells why it refuses only by printing. One of these per
    // __enter__ on the stack, so an __enter__ reached from inside open() (say,
    // through a patched availability check) keeps its own lines and gives the
    // outer one nothing.
    PrintedLines printed;
    if (!printed.lines()) return nullptr;
    Ref opened(PyObject_CallMethodNoArgs(self, ctx.open.get()));
    if (!opened) return nullptr;
    const int accepted = PyObject_IsTrue(opened.get());
    if (accepted < 0) return nullptr;
    if (accepted) return Py_NewRef(self);
    raise_refusal(ctx, self, printed.lines());
    return nullptr;
}

PyObject* exit_body(Context& ctx, PyObject* const* args) {
    Ref closed(PyObject_CallMethodNoArgs(args[0], ctx.close.get()));
    if (!closed) return nullptr;
    Py_RETURN_NONE;  // false: an exception that ended the block goes on
}

}  // namespace

constexpr MethodSpec kEnter = MethodSpec("__enter__", enter_body)
                                  .returning("QM4410")
                                  .documented(
                                      "open the serial port for a with block\n"
                                      ":return QM4410: this driver, open\n"
                                      ":raise ConnectionError: if open() fails; its text is the reason open() printed");

constexpr MethodSpec kExit = MethodSpec("__exit__", exit_body)
                                 .parameter("exc_type")
                                 .parameter("exc_value")
                                 .parameter("traceback")
                                 .returning("None")
                                 .documented(
                                     "close the serial port at the end of the with block, however it ends\n"
                                     ":return None: an exception that ended the block is not suppressed");

}  // namespace qm4410
