// The demonstration run of `python -m qm4410`: one supply on a fixed port,
// taken through every command once. Results are not examined; exceptions
// end the run with the interpreter's traceback.
#include "demonstration.hpp"

#include <initializer_list>

#include "driver.hpp"

namespace qm4410 {
namespace {

constexpr const char* kPortName = "/dev/tty.usbserial-21320";

bool say(Context& ctx, const char* text) {
    Ref line(PyUnicode_FromString(text));
    return line && print_line(ctx, line.get());
}

// driver.method(*arguments); null when a call, or making an argument, failed.
Ref invoke(PyObject* driver, const char* method, std::initializer_list<PyObject*> arguments = {}) {
    for (PyObject* argument : arguments) {
        if (!argument) return Ref();
    }
    Ref name(PyUnicode_FromString(method));
    if (!name) return Ref();
    PyObject* stack[] = {driver, arguments.size() ? *arguments.begin() : nullptr};
    return Ref(PyObject_VectorcallMethod(name.get(), stack, 1 + arguments.size(), nullptr));
}

// The same with the result dropped.
bool call(PyObject* driver, const char* method, std::initializer_list<PyObject*> arguments = {}) {
    return static_cast<bool>(invoke(driver, method, arguments));
}

Ref text(const char* value) { return Ref(PyUnicode_FromString(value)); }
Ref number(double value) { return Ref(PyFloat_FromDouble(value)); }

bool pause(Context& ctx, long seconds) {
    Ref time = global(ctx, ctx.time.get());
    if (!time) return false;
    Ref duration(PyLong_FromLong(seconds));
    Ref slept(duration ? PyObject_CallMethodOneArg(time.get(), ctx.sleep.get(), duration.get()) : nullptr);
    return static_cast<bool>(slept);
}

bool run_session(Context& ctx, PyObject* qm4400) {
    Ref remote = text("remote"), on = text("on"), local = text("local"), off = text("off");
    Ref new_address(PyLong_FromLong(6));
    Ref voltage_max = number(12.0), voltage = number(1.222), current = number(0.888);
    return say(ctx, "set work mode to remote controll") && call(qm4400, "set_work_mode", {remote.get()}) &&
           call(qm4400, "set_new_addr", {new_address.get()}) && call(qm4400, "set_voltage_max", {voltage_max.get()}) &&
           call(qm4400, "set_out_voltage", {voltage.get()}) && call(qm4400, "set_out_current", {current.get()}) &&
           call(qm4400, "set_ouput_mode", {on.get()}) && pause(ctx, 3) &&
           say(ctx, "------------ local -------------") && call(qm4400, "read_dev_status") &&
           call(qm4400, "set_work_mode", {local.get()}) && call(qm4400, "set_ouput_mode", {off.get()}) &&
           call(qm4400, "restore_factory") && call(qm4400, "close") && say(ctx, "qm4400 series closed!");
}

}  // namespace

PyObject* run_demonstration(Context& ctx, PyObject* namespace_) {
    if (!PyDict_Check(namespace_)) {
        wrong_argument_type("namespace", "dict", namespace_);
        return nullptr;
    }
    Ref opat_port = text(kPortName);
    if (!opat_port || PyDict_SetItemString(namespace_, "opat_port", opat_port.get()) < 0) return nullptr;
    Ref driver_class = global(ctx, ctx.QM4410.get());
    if (!driver_class) return nullptr;
    Ref qm4400(PyObject_CallOneArg(driver_class.get(), opat_port.get()));
    if (!qm4400 || PyDict_SetItemString(namespace_, "qm4400", qm4400.get()) < 0) return nullptr;

    Ref opened = invoke(qm4400.get(), "open");
    if (!opened) return nullptr;
    const int connected = PyObject_IsTrue(opened.get());
    if (connected < 0) return nullptr;
    if (connected) {
        if (!run_session(ctx, qm4400.get())) return nullptr;
    } else {
        Ref failure(PyUnicode_FromFormat("open serial port:%U failed!", opat_port.get()));
        if (!failure || !print_line(ctx, failure.get())) return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace qm4410
