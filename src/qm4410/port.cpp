// Port management: is the port free, open it with the supply's line
// settings and confirm the model, close it. These two methods turn errors
// into a printed line and False; everything else lets them through. The
// private core's open() takes the same steps and raises instead
// (port.hpp, open_errors.cpp).
#include "port.hpp"

#include "driver.hpp"
#include "port_name.hpp"

namespace qm4410 {
namespace {

constexpr const char* kCheckFailedPrefix = u8"检查端口时出错: ";
constexpr const char* kBusyMessage = "serial port already opened!, Please close and try                       again!";
constexpr const char* kCannotOpenPrefix = "Cannot open serial port";
constexpr const char* kUnexpectedPrefix = "unexpected ";
constexpr long kBaudRate = 4800;
constexpr long kDataBits = 8;
constexpr const char* kParity = "N";
constexpr long kReadTimeoutSeconds = 50;
constexpr long kStopBits = 1;
constexpr std::string_view kRawSocketScheme = "socket";

// print(prefix + str(error))
bool print_error(Context& ctx, const char* prefix, PyObject* error) {
    Ref head(PyUnicode_FromString(prefix));
    Ref text(PyObject_Str(error));
    if (!head || !text) return false;
    Ref line(PyUnicode_Concat(head.get(), text.get()));
    return line && print_line(ctx, line.get());
}

// serial.SerialException, looked up when it is needed as a handler would.
Ref serial_exception_class(Context& ctx) {
    Ref serial = global(ctx, ctx.serial.get());
    return serial ? Ref(PyObject_GetAttr(serial.get(), ctx.SerialException.get())) : Ref();
}

// Whether the pending exception is a serial.SerialException. The class is
// looked up with the exception set aside, as an except clause would; -1
// when that lookup fails (its error then replaces the pending one).
int pending_is_serial_error(Context& ctx) {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    Ref handled = serial_exception_class(ctx);
    if (!handled) {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return -1;
    }
    PyErr_Restore(type, value, traceback);
    return PyErr_ExceptionMatches(handled.get());
}

bool open_and_close(Context& ctx, PyObject* device) {
    Ref serial = global(ctx, ctx.serial.get());
    if (!serial) return false;
    Ref serial_class(PyObject_GetAttr(serial.get(), ctx.Serial.get()));
    if (!serial_class) return false;
    Ref trial(PyObject_CallOneArg(serial_class.get(), device));
    if (!trial) return false;
    Ref closed(PyObject_CallMethodNoArgs(trial.get(), ctx.close.get()));
    return static_cast<bool>(closed);
}

// Windows has no lsof: a port that opens is free. `device` is null when
// finding it failed; that error is then handled as the trial open's.
PyObject* trial_open(Context& ctx, PyObject* device) {
    if (device && open_and_close(ctx, device)) Py_RETURN_TRUE;
    const int refused = pending_is_serial_error(ctx);
    if (refused <= 0) return nullptr;
    PyErr_Clear();
    Py_RETURN_FALSE;
}

// Whether platform.system() names Windows: 1 yes, 0 no, -1 on error.
int on_windows(Context& ctx) {
    Ref platform = global(ctx, ctx.platform.get());
    if (!platform) return -1;
    Ref system(PyObject_CallMethodNoArgs(platform.get(), ctx.system.get()));
    if (!system) return -1;
    Ref lowered(PyObject_CallMethodNoArgs(system.get(), ctx.lower.get()));
    if (!lowered) return -1;
    return PyObject_RichCompareBool(lowered.get(), ctx.text_windows.get(), Py_EQ);
}

// What lsof -- DEVICE writes on its standard output, run without a shell;
// "--" ends lsof's options, so that no port name is taken for one. With
// `fields`, the output is lsof's machine-readable one (-F pc: a line of "p"
// and the pid, then one of "c" and the program, for each process that holds
// the device), and lsof gets no standard input of ours, which it could hold
// itself (a port that is our own terminal).
Ref lsof_output(Context& ctx, PyObject* device, bool fields) {
    Ref subprocess = global(ctx, ctx.subprocess.get());
    if (!subprocess) return Ref();
    Ref run(PyObject_GetAttr(subprocess.get(), ctx.run.get()));
    Ref pipe(PyObject_GetAttr(subprocess.get(), ctx.PIPE.get()));
    if (!run || !pipe) return Ref();
    Ref argv(fields ? Py_BuildValue("[OOOOO]", ctx.text_lsof.get(), ctx.text_lsof_fields.get(),
                                    ctx.text_pid_and_program.get(), ctx.text_end_of_options.get(), device)
                    : Py_BuildValue("[OOO]", ctx.text_lsof.get(), ctx.text_end_of_options.get(), device));
    Ref positional(argv ? PyTuple_Pack(1, argv.get()) : nullptr);
    Ref keywords(PyDict_New());
    if (!positional || !keywords || PyDict_SetItem(keywords.get(), ctx.stdout_.get(), pipe.get()) < 0 ||
        PyDict_SetItem(keywords.get(), ctx.stderr_.get(), pipe.get()) < 0)
        return Ref();
    if (fields) {
        Ref devnull(PyObject_GetAttr(subprocess.get(), ctx.DEVNULL.get()));
        if (!devnull || PyDict_SetItem(keywords.get(), ctx.stdin_.get(), devnull.get()) < 0) return Ref();
    }
    Ref result(PyObject_Call(run.get(), positional.get(), keywords.get()));
    if (!result) return Ref();
    return Ref(PyObject_GetAttr(result.get(), ctx.stdout_.get()));
}

// Any output on lsof's standard output means some process holds the device.
PyObject* ask_lsof(Context& ctx, PyObject* device) {
    Ref output = lsof_output(ctx, device, false);
    if (!output) return nullptr;
    const int held = PyObject_IsTrue(output.get());
    return held < 0 ? nullptr : PyBool_FromLong(!held);
}

// `device` is null when finding it failed; that error is then reported as
// one of the check's own.
PyObject* lsof_check(Context& ctx, PyObject* device) {
    PyObject* free = device ? ask_lsof(ctx, device) : nullptr;
    if (free || !PyErr_ExceptionMatches(PyExc_Exception)) return free;
    Ref error = take_exception();
    if (!print_error(ctx, kCheckFailedPrefix, error.get())) return nullptr;
    Py_RETURN_FALSE;
}

PyObject* check_port_available_body(Context& ctx, PyObject* const* args) {
    const int windows = on_windows(ctx);
    if (windows < 0) return nullptr;
    // A port elsewhere is left to its far end, which serves one client.
    Ref port(PyObject_GetAttr(args[0], ctx.port.get()));
    bool remote = false;
    Ref device = port ? device_to_check(ctx, port.get(), remote) : Ref();
    if (remote) Py_RETURN_TRUE;
    return windows ? trial_open(ctx, device.get()) : lsof_check(ctx, device.get());
}

// pyserial's socket:// port answers in_waiting with 0 or 1, never with the
// number of bytes waiting, so no poll would ever see a whole reply: refused,
// naming the URL that does work.
PyObject* refuse_raw_socket(Context& ctx, PyObject* serial, PyObject* port) {
    Ref error_class(PyObject_GetAttr(serial, ctx.SerialException.get()));
    Ref address(PyUnicode_Substring(port, kRawSocketScheme.size() + kUrlMark.size(), PY_SSIZE_T_MAX));
    if (!error_class || !address) return nullptr;
    Ref text(
        PyUnicode_FromFormat(" %U: a raw socket tells whether bytes are waiting but not how many, so no reply "
                             "would be read; serve the port with ser2net's telnet(rfc2217) accepter and "
                             "open rfc2217://%U",
                             port, address.get()));
    Ref error(text ? PyObject_CallOneArg(error_class.get(), text.get()) : nullptr);
    if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    return nullptr;
}

// A device name opens with serial.Serial, a URL with serial.serial_for_url,
// both with the line settings and exclusive: of two processes that both
// found a local device free, the second fails here instead of sharing the
// line (pyserial takes an advisory lock on POSIX; Windows ports are
// exclusive anyway; remote and virtual ports ignore it).
PyObject* open_port(Context& ctx, PyObject* self) {
    Ref serial = global(ctx, ctx.serial.get());
    if (!serial) return nullptr;
    Ref port(PyObject_GetAttr(self, ctx.port.get()));
    if (!port) return nullptr;
    if (has_scheme(port.get(), kRawSocketScheme)) return refuse_raw_socket(ctx, serial.get(), port.get());
    Ref opener(PyObject_GetAttr(serial.get(), is_url(port.get()) ? ctx.serial_for_url.get() : ctx.Serial.get()));
    if (!opener) return nullptr;
    Ref positional(Py_BuildValue("(Olls)", port.get(), kBaudRate, kDataBits, kParity));
    Ref keywords(Py_BuildValue("{O:l,O:l,O:O}", ctx.timeout.get(), kReadTimeoutSeconds, ctx.stopbits.get(), kStopBits,
                               ctx.exclusive.get(), Py_True));
    if (!positional || !keywords) return nullptr;
    return PyObject_Call(opener.get(), positional.get(), keywords.get());
}

// Forgets an identity read through an earlier connection, so a supply that
// does not answer now cannot pass for the one accepted then.
bool forget_identity(Context& ctx, PyObject* self) {
    Ref zero(PyLong_FromLong(0));
    return zero && PyObject_SetAttr(self, ctx.product_model.get(), ctx.text_empty.get()) == 0 &&
           PyObject_SetAttr(self, ctx.product_number.get(), ctx.text_empty.get()) == 0 &&
           PyObject_SetAttr(self, ctx.soft_version.get(), zero.get()) == 0;
}

int model_is(Context& ctx, PyObject* self, PyObject* model) {
    Ref product_model(PyObject_GetAttr(self, ctx.product_model.get()));
    return product_model ? PyObject_RichCompareBool(product_model.get(), model, Py_EQ) : -1;
}

// The guarded steps of open(). `opened` receives the port as soon as this
// call has opened it, for the handlers to close.
PyObject* open_steps(Context& ctx, PyObject* self, Ref& opened) {
    Ref available(PyObject_CallMethodNoArgs(self, ctx.check_port_available.get()));
    if (!available) return nullptr;
    const int free = PyObject_IsTrue(available.get());
    if (free < 0) return nullptr;
    if (!free) {
        Ref busy(PyUnicode_FromString(kBusyMessage));
        if (!busy || !print_line(ctx, busy.get())) return nullptr;
        Py_RETURN_FALSE;
    }
    const int accepted = open_and_identify(ctx, self, opened);
    return accepted < 0 ? nullptr : PyBool_FromLong(accepted);
}

PyObject* open_body(Context& ctx, PyObject* const* args) {
    Ref opened;
    PyObject* result = open_steps(ctx, args[0], opened);
    if (result || !PyErr_ExceptionMatches(PyExc_Exception)) return result;
    Ref error = take_exception();
    if (opened && !close_after_failure(ctx, opened.get())) return nullptr;
    Ref serial_error = serial_exception_class(ctx);
    if (!serial_error) return nullptr;
    const bool cannot_open = PyErr_GivenExceptionMatches(error.get(), serial_error.get());
    if (!print_error(ctx, cannot_open ? kCannotOpenPrefix : kUnexpectedPrefix, error.get())) return nullptr;
    Py_RETURN_FALSE;
}

PyObject* close_body(Context& ctx, PyObject* const* args) {
    Ref ser(PyObject_GetAttr(args[0], ctx.ser.get()));
    if (!ser) return nullptr;
    Ref closed(PyObject_CallMethodNoArgs(ser.get(), ctx.close.get()));
    if (!closed) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace

Ref take_exception() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value && traceback) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return Ref(value);
}

int open_and_identify(Context& ctx, PyObject* self, Ref& opened) {
    opened = Ref(open_port(ctx, self));
    if (!opened || PyObject_SetAttr(self, ctx.ser.get(), opened.get()) < 0 || !forget_identity(ctx, self)) return -1;
    Ref identity_read(PyObject_CallMethodNoArgs(self, ctx.read_device_version.get()));
    if (!identity_read) return -1;
    for (const Ref* accepted : {&ctx.text_4410, &ctx.text_4411}) {
        const int match = model_is(ctx, self, accepted->get());
        if (match != 0) return match;
    }
    Ref closed(PyObject_CallMethodNoArgs(self, ctx.close.get()));
    return closed ? 0 : -1;
}

bool close_after_failure(Context& ctx, PyObject* opened) {
    Ref closed(PyObject_CallMethodNoArgs(opened, ctx.close.get()));
    if (closed) return true;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    return true;
}

Ref holders_listing(Context& ctx, PyObject* self, Ref& device) {
    const int windows = on_windows(ctx);
    if (windows < 0) return Ref();
    if (windows) return Ref::borrowed(Py_None);
    Ref port(PyObject_GetAttr(self, ctx.port.get()));
    if (!port) return Ref();
    bool remote = false;
    device = device_to_check(ctx, port.get(), remote);
    if (remote) return Ref::borrowed(Py_None);
    if (!device) return Ref();
    return lsof_output(ctx, device.get(), true);
}

Ref silent_refusal(Context& ctx, PyObject* self) {
    Ref port(PyObject_GetAttr(self, ctx.port.get()));
    Ref model(PyObject_GetAttr(self, ctx.product_model.get()));
    if (!port || !model) return Ref();
    const int answered = PyObject_IsTrue(model.get());
    if (answered < 0) return Ref();
    if (!answered) return Ref(PyUnicode_FromFormat("no reply from a supply on %S", port.get()));
    return Ref(PyUnicode_FromFormat("the device on %S reports model %R, not 4410 or 4411", port.get(), model.get()));
}

constexpr MethodSpec kCheckPortAvailable = MethodSpec("check_port_available", check_port_available_body)
                                               .returning("bool")
                                               .documented(
                                                   "Check whether the port is available\n"
                                                   ":return bool: True if available, else False");

constexpr MethodSpec kOpen = MethodSpec("open", open_body)
                                 .returning("bool")
                                 .documented(
                                     "open the serial port\n"
                                     ":return bool: True if open sucess, else False");

constexpr MethodSpec kClose = MethodSpec("close", close_body);

}  // namespace qm4410
