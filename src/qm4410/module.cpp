// The module qm4410: imports what the driver uses, defines the class and
// keeps the state its code needs (multi-phase initialisation, one Context
// per module object).
#include "context.hpp"
#include "demonstration.hpp"
#include "driver.hpp"
#include "line_module.hpp"
#include "line_state.hpp"
#include "method.hpp"
#include "printed_lines.hpp"
#include "python_compat.hpp"

// The package's version, given by the build; a compiler run by hand (the
// cross-compilation checks) has none to give.
#ifndef QM4410_VERSION
#define QM4410_VERSION "0+unknown"
#endif

namespace qm4410 {
namespace {

struct ModuleState {
    Context* context;
};

ModuleState* state_of(PyObject* module) { return static_cast<ModuleState*>(PyModule_GetState(module)); }

constexpr const char* kModuleDoc =
    "\n"
    "Basic Usage:\n"
    "    qm4400 = QM4410('/dev/ttyUSB0')\n"
    "    if qm4400.open():\n"
    "        # turn on Power\n"
    "        qm4400.set_work_mode('remote')\n"
    "        qm4400.set_out_voltage(1.222) # set voltage 1.222V\n"
    "        qm4400.set_out_current(0.888) # set current 0.888A\n"
    "        qm4400.set_ouput_mode('on') # turn on Power\n"
    "\n"
    "        # read the device real status\n"
    "        qm4400.read_dev_status()\n"
    "\n"
    "        # turn off Power\n"
    "        qm4400.set_ouput_mode('off')\n"
    "        qm4400.set_work_mode('local')\n";

// Imported in this order and bound under their own names; the driver looks
// them up in the module's globals when it runs, so they can be replaced.
constexpr const char* kImports[] = {"platform", "serial", "time", "subprocess"};

bool intern_names(Context& ctx) {
#define QM4410_INTERN_NAME(field, text)                \
    ctx.field = Ref(PyUnicode_InternFromString(text)); \
    if (!ctx.field) return false;
    QM4410_NAMES(QM4410_INTERN_NAME)
#undef QM4410_INTERN_NAME
    ctx.poll_interval = Ref(PyFloat_FromDouble(0.01));
    ctx.byte_mask = Ref(PyLong_FromLong(0xFF));
    ctx.start_byte = Ref(PyLong_FromLong(kStartByte));
    return ctx.poll_interval && ctx.byte_mask && ctx.start_byte;
}

bool import_modules(PyObject* module) {
    for (const char* name : kImports) {
        Ref imported(PyImport_ImportModule(name));
        if (!imported || PyModule_AddObjectRef(module, name, imported.get()) < 0) return false;
    }
    return true;
}

int module_exec(PyObject* module) {
    if (!interpreter_supported()) return -1;
    ModuleState* state = state_of(module);
    state->context = new (std::nothrow) Context();
    if (!state->context) {
        PyErr_NoMemory();
        return -1;
    }
    Context& ctx = *state->context;
    ctx.module = module;
    if (!intern_names(ctx) || !import_modules(module)) return -1;
    ctx.method_type = Ref(create_method_type(module));
    if (!ctx.method_type) return -1;
    ctx.line_released = Ref(create_line_release_callback(module));
    if (!ctx.line_released || !register_fork_handler(module)) return -1;
    Ref driver_class(create_driver_class(ctx));
    if (!driver_class) return -1;
    if (PyModule_AddObjectRef(module, "QM4410", driver_class.get()) < 0) return -1;
    if (PyModule_AddStringConstant(module, "__version__", QM4410_VERSION) < 0) return -1;
    return add_line_module(ctx, module) ? 0 : -1;
}

PyObject* run_demonstration_function(PyObject* module, PyObject* namespace_) {
    return run_demonstration(context_of(module), namespace_);
}

// The package's Python face (qm4410.Supply and the names beside it) is
// reached from here but loaded only when first asked for, so that importing
// the driver alone loads nothing else. The names are those the core lists in
// its __all__; a name with a leading underscore is never looked up there, so
// that what tools probe for (__all__, __wrapped__, ...) costs no import.
PyObject* module_getattr(PyObject*, PyObject* name) {
    if (PyUnicode_Check(name) && PyUnicode_GetLength(name) > 0 && PyUnicode_ReadChar(name, 0) != '_') {
        Ref core(PyImport_ImportModule("qm4410.supply"));
        if (!core) return nullptr;
        Ref exported(PyObject_GetAttrString(core.get(), "__all__"));
        if (!exported) return nullptr;
        const int listed = PySequence_Contains(exported.get(), name);
        if (listed < 0) return nullptr;
        if (listed) return PyObject_GetAttr(core.get(), name);
    }
    PyErr_Format(PyExc_AttributeError, "module 'qm4410' has no attribute %R", name);
    return nullptr;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    ModuleState* state = state_of(module);
    if (state && state->context) {
        Py_VISIT(state->context->method_type.get());
        Py_VISIT(state->context->line_released.get());
        Py_VISIT(state->context->monotonic.get());
        Py_VISIT(state->context->exchange_type.get());
        Py_VISIT(state->context->plan_type.get());
        Py_VISIT(state->context->open_errors.get());
    }
    return 0;
}

int module_clear(PyObject* module) {
    ModuleState* state = state_of(module);
    if (state && state->context) {
        state->context->lines.clear();
        state->context->line_released.clear();
        state->context->method_type.clear();
        state->context->monotonic.clear();
        state->context->exchange_type.clear();
        state->context->plan_type.clear();
        state->context->open_errors.clear();
    }
    return 0;
}

void module_free(void* module) {
    ModuleState* state = state_of(static_cast<PyObject*>(module));
    if (!state) return;
    module_clear(static_cast<PyObject*>(module));
    delete state->context;
    state->context = nullptr;
}

PyMethodDef module_functions[] = {
    {"_run_demonstration", run_demonstration_function, METH_O,
     "_run_demonstration(namespace, /)\n--\n\n"
     "Run the demonstration against the supply on /dev/tty.usbserial-21320,\n"
     "leaving opat_port and qm4400 in the dict namespace. Used by python -m qm4410."},
    {"__getattr__", module_getattr, METH_O,
     "__getattr__(name, /)\n--\n\nThe package's Python face (Supply and the names beside it), loaded on first use."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "qm4410",        kModuleDoc,   sizeof(ModuleState), module_functions,
    module_slots,          module_traverse, module_clear, module_free,
};

}  // namespace

Context& context_of(PyObject* module) { return *state_of(module)->context; }

Ref global(Context& ctx, PyObject* name) {
    PyObject* globals = PyModule_GetDict(ctx.module);
    PyObject* found = PyDict_GetItemWithError(globals, name);
    if (!found && !PyErr_Occurred()) {
        found = PyDict_GetItemWithError(PyEval_GetBuiltins(), name);
        if (!found && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return Ref::borrowed(found);
}

bool print_line(Context& ctx, PyObject* text) {
    Ref print = global(ctx, ctx.print.get());
    if (!print) return false;
    Ref printed(PyObject_CallOneArg(print.get(), text));
    return printed && keep_printed_line(text);
}

void wrong_argument_type(const char* parameter, const char* expected, PyObject* given) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", parameter,
                 expected, Py_TYPE(given)->tp_name);
}

}  // namespace qm4410

PyMODINIT_FUNC PyInit_qm4410(void) { return PyModuleDef_Init(&qm4410::module_def); }
