// The driver class: its constants, its constructor, and the class object
// itself, made with type() so that instances are ordinary objects with a
// __dict__ and the class can be patched like any Python class.
#include "driver.hpp"

#include <cstring>

namespace qm4410 {
namespace {

PyObject* init_body(Context& ctx, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* serial_port = args[1];
    if (!PyUnicode_CheckExact(serial_port)) {
        wrong_argument_type("serial_port", "str", serial_port);
        return nullptr;
    }
    Ref address(PyLong_FromLong(kUnknownAddress));
    Ref version(PyLong_FromLong(0));
    if (!address || !version) return nullptr;
    if (PyObject_SetAttr(self, ctx.port.get(), serial_port) < 0 ||
        PyObject_SetAttr(self, ctx.addr.get(), address.get()) < 0 ||
        PyObject_SetAttr(self, ctx.product_model.get(), ctx.text_empty.get()) < 0 ||
        PyObject_SetAttr(self, ctx.product_number.get(), ctx.text_empty.get()) < 0 ||
        PyObject_SetAttr(self, ctx.soft_version.get(), version.get()) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* template_tuple() {
    Ref items(PyTuple_New(kFrameLength));
    if (!items) return nullptr;
    for (std::size_t i = 0; i < kFrameLength; ++i) {
        PyObject* item = PyLong_FromLong(kTemplate[i]);
        if (!item) return nullptr;
        PyTuple_SET_ITEM(items.get(), i, item);
    }
    return items.release();
}

bool set_int(PyObject* namespace_, PyObject* name, long value) {
    Ref number(PyLong_FromLong(value));
    return number && PyDict_SetItem(namespace_, name, number.get()) == 0;
}

bool set_word(PyObject* namespace_, PyObject* name, Command word) {
    return set_int(namespace_, name, static_cast<long>(word));
}

bool add_constants(Context& ctx, PyObject* ns) {
    ctx.class_template = Ref(template_tuple());
    PyObject* template_ = ctx.class_template.get();
    Ref word_dev_return(PyUnicode_InternFromString("_QM4410__CMD_WORD_DEV_RETURN"));
    return template_ && word_dev_return && PyDict_SetItem(ns, ctx.cmd_template.get(), template_) == 0 &&
           set_word(ns, ctx.word_set_work_mode.get(), Command::SetWorkMode) &&
           set_word(ns, ctx.word_set_out_mode.get(), Command::SetOutMode) &&
           set_word(ns, ctx.word_set_max_out_voltage.get(), Command::SetMaxOutVoltage) &&
           set_word(ns, ctx.word_set_out_voltage.get(), Command::SetOutVoltage) &&
           set_word(ns, ctx.word_set_out_current.get(), Command::SetOutCurrent) &&
           set_word(ns, ctx.word_set_new_addr.get(), Command::SetNewAddr) &&
           set_word(ns, ctx.word_read_dev_real_status.get(), Command::ReadDevRealStatus) &&
           set_word(ns, ctx.word_read_dev_version.get(), Command::ReadDevVersion) &&
           set_word(ns, ctx.word_restore_factory.get(), Command::RestoreFactory) &&
           set_word(ns, word_dev_return.get(), Command::DevReturn) && set_int(ns, ctx.cmd_length.get(), kFrameLength);
}

constexpr const char* kClassName = "QM4410";

// In the order the class defines them.
const MethodSpec* const kMethods[] = {
    &kInit,
    &kCheckCrc,
    &kCalCrc,
    &kRead,
    &kWriteAndRead,
    &kShowDeviceVersion,
    &kSetWorkMode,
    &kSetOuputMode,
    &kSetVoltageMax,
    &kSetOutVoltage,
    &kSetOutCurrent,
    &kSetNewAddr,
    &kRestoreFactory,
    &kReadDevStatus,
    &kReadDeviceVersion,
    &kCheckPortAvailable,
    &kOpen,
    &kClose,
    &kEnter,
    &kExit,
};

// The attribute a method is stored under: class-private names are mangled
// as the interpreter mangles them in a class body.
PyObject* attribute_name(const MethodSpec& spec) {
    const char* name = spec.name;
    const std::size_t length = std::strlen(name);
    const bool private_ =
        length > 2 && name[0] == '_' && name[1] == '_' && !(name[length - 1] == '_' && name[length - 2] == '_');
    if (!private_) return PyUnicode_InternFromString(name);
    return PyUnicode_FromFormat("_%s%s", kClassName, name);
}

bool add_methods(Context& ctx, PyObject* ns) {
    for (const MethodSpec* spec : kMethods) {
        Ref method(create_method(ctx, *spec, kClassName));
        Ref name(attribute_name(*spec));
        if (!method || !name || PyDict_SetItem(ns, name.get(), method.get()) < 0) return false;
    }
    return true;
}

}  // namespace

constexpr MethodSpec kInit = MethodSpec("__init__", init_body)
                                 .parameter("serial_port", "str")
                                 .documented(
                                     " initialize serial port\n"
                                     "        :param serial_port:\n"
                                     "        For Windows, 'COM3', 'COM4' ...\n"
                                     "        For Linux/MacOS, '/dev/ttyUSB0', '/dev/ttyUSB1'...\n"
                                     "        ");

PyObject* create_driver_class(Context& ctx) {
    Ref ns(PyDict_New());
    Ref module_name(PyModule_GetNameObject(ctx.module));
    Ref qualname(PyUnicode_FromString(kClassName));
    if (!ns || !module_name || !qualname || PyDict_SetItemString(ns.get(), "__module__", module_name.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__qualname__", qualname.get()) < 0 || !add_constants(ctx, ns.get()) ||
        !add_methods(ctx, ns.get())) {
        return nullptr;
    }
    return PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s()O", kClassName, ns.get());
}

}  // namespace qm4410
