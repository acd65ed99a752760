#include "method.hpp"

#include <structmember.h>

#include <exception>
#include <new>
#include <string>

namespace qm4410 {
namespace {

struct MethodObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    const MethodSpec* spec;
    PyObject* module;
    PyObject* dict;
    PyObject* weakrefs;
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;
    PyObject* module_name;
    PyObject* defaults;
    PyObject* kwdefaults;
    PyObject* code;
};

MethodObject* as_method(PyObject* object) { return reinterpret_cast<MethodObject*>(object); }

const char* parameter_name(const MethodSpec& spec, int index) {
    return index == 0 ? "self" : spec.parameters[index - 1].name;
}

// "'a'", "'a' and 'b'", "'a', 'b' and 'c'": the interpreter's wording.
std::string quoted_list(const MethodSpec& spec, const int* indexes, int count) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        if (i > 0) text += (i == count - 1) ? (count > 2 ? ", and " : " and ") : ", ";
        text += '\'';
        text += parameter_name(spec, indexes[i]);
        text += '\'';
    }
    return text;
}

bool too_many_positional(MethodObject* m, int total, int required, Py_ssize_t given) {
    if (required == total) {
        PyErr_Format(PyExc_TypeError, "%U() takes %d positional argument%s but %zd %s given", m->qualname, total,
                     total == 1 ? "" : "s", given, given == 1 ? "was" : "were");
    } else {
        PyErr_Format(PyExc_TypeError, "%U() takes from %d to %d positional arguments but %zd %s given", m->qualname,
                     required, total, given, given == 1 ? "was" : "were");
    }
    return false;
}

// Matches positional and keyword arguments to the parameter slots and fills
// the defaults, reporting mistakes with the interpreter's messages.
bool bind_arguments(MethodObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
    const MethodSpec& spec = *m->spec;
    const int total = spec.parameter_count + 1;
    const Py_ssize_t default_count = PyTuple_Check(m->defaults) ? PyTuple_GET_SIZE(m->defaults) : 0;
    const int required = total - static_cast<int>(default_count);
    if (nargs > total) return too_many_positional(m, total, required, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];

    const Py_ssize_t kwcount = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < kwcount; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        int index = -1;
        for (int i = 0; i < total; ++i) {
            if (PyUnicode_CompareWithASCIIString(keyword, parameter_name(spec, i)) == 0) index = i;
        }
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%U'", m->qualname, keyword);
            return false;
        }
        if (slots[index]) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%U'", m->qualname, keyword);
            return false;
        }
        slots[index] = args[nargs + k];
    }

    int missing[kMaxParameters + 1];
    int missing_count = 0;
    for (int i = 0; i < total; ++i) {
        if (slots[i]) continue;
        if (i >= required) {
            slots[i] = PyTuple_GET_ITEM(m->defaults, i - required);
        } else {
            missing[missing_count++] = i;
        }
    }
    if (missing_count > 0) {
        PyErr_Format(PyExc_TypeError, "%U() missing %d required positional argument%s: %s", m->qualname, missing_count,
                     missing_count == 1 ? "" : "s", quoted_list(spec, missing, missing_count).c_str());
        return false;
    }
    return true;
}

PyObject* method_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    MethodObject* m = as_method(callable);
    PyObject* slots[kMaxParameters + 1] = {};
    // The one door from the interpreter into the class's C++: nothing thrown
    // in there may pass it.
    try {
        if (!bind_arguments(m, args, PyVectorcall_NARGS(nargsf), kwnames, slots)) return nullptr;
        return m->spec->body(context_of(m->module), slots);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_SystemError, error.what());
        return nullptr;
    }
}

// Binds like a function: the method itself from the class, a bound method
// from an instance.
PyObject* method_get(PyObject* self, PyObject* instance, PyObject*) {
    if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

PyObject* method_repr(PyObject* self) {
    return PyUnicode_FromFormat("<qm4410 function %U at %p>", as_method(self)->qualname, self);
}

int method_traverse(PyObject* self, visitproc visit, void* arg) {
    MethodObject* m = as_method(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(m->module);
    Py_VISIT(m->dict);
    Py_VISIT(m->name);
    Py_VISIT(m->qualname);
    Py_VISIT(m->doc);
    Py_VISIT(m->module_name);
    Py_VISIT(m->defaults);
    Py_VISIT(m->kwdefaults);
    Py_VISIT(m->code);
    return 0;
}

int method_clear(PyObject* self) {
    MethodObject* m = as_method(self);
    Py_CLEAR(m->module);
    Py_CLEAR(m->dict);
    Py_CLEAR(m->name);
    Py_CLEAR(m->qualname);
    Py_CLEAR(m->doc);
    Py_CLEAR(m->module_name);
    Py_CLEAR(m->defaults);
    Py_CLEAR(m->kwdefaults);
    Py_CLEAR(m->code);
    return 0;
}

void method_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_method(self)->weakrefs) PyObject_ClearWeakRefs(self);
    method_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMemberDef method_members[] = {
    {"__doc__", T_OBJECT, offsetof(MethodObject, doc), 0, nullptr},
    {"__module__", T_OBJECT, offsetof(MethodObject, module_name), 0, nullptr},
    {"__defaults__", T_OBJECT, offsetof(MethodObject, defaults), READONLY, nullptr},
    {"__kwdefaults__", T_OBJECT, offsetof(MethodObject, kwdefaults), READONLY, nullptr},
    {"__code__", T_OBJECT, offsetof(MethodObject, code), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(MethodObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(MethodObject, weakrefs), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(MethodObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// __name__ and __qualname__ stay strs, as a function's do: error messages
// are made from them.
int set_str(PyObject** slot, PyObject* value, const char* attribute) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", attribute);
        return -1;
    }
    Py_SETREF(*slot, Py_NewRef(value));
    return 0;
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_method(self)->name); }
int set_name(PyObject* self, PyObject* value, void*) { return set_str(&as_method(self)->name, value, "__name__"); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_method(self)->qualname); }
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_str(&as_method(self)->qualname, value, "__qualname__");
}

PyGetSetDef method_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot method_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(method_get)},
    {Py_tp_repr, reinterpret_cast<void*>(method_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(method_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(method_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(method_dealloc)},
    {Py_tp_members, method_members},
    {Py_tp_getset, method_getset},
    {0, nullptr},
};

PyType_Spec method_type_spec = {
    "qm4410.function",
    sizeof(MethodObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    method_slots,
};

// A code object with the method's argument count and names, which is what
// inspect reads a function's parameters from.
PyObject* make_code(const MethodSpec& spec, PyObject* qualname) {
    const int total = spec.parameter_count + 1;
    Ref names(PyTuple_New(total));
    if (!names) return nullptr;
    for (int i = 0; i < total; ++i) {
        PyObject* name = PyUnicode_InternFromString(parameter_name(spec, i));
        if (!name) return nullptr;
        PyTuple_SET_ITEM(names.get(), i, name);
    }
    Ref empty(reinterpret_cast<PyObject*>(PyCode_NewEmpty("qm4410", spec.name, 0)));
    if (!empty) return nullptr;
    Ref replace(PyObject_GetAttrString(empty.get(), "replace"));
    Ref no_args(PyTuple_New(0));
    Ref changes(Py_BuildValue("{s:i,s:i,s:O,s:O}", "co_argcount", total, "co_nlocals", total, "co_varnames",
                              names.get(), "co_qualname", qualname));
    if (!replace || !no_args || !changes) return nullptr;
    return PyObject_Call(replace.get(), no_args.get(), changes.get());
}

PyObject* make_annotations(const MethodSpec& spec) {
    Ref annotations(PyDict_New());
    if (!annotations) return nullptr;
    for (int i = 0; i < spec.parameter_count; ++i) {
        const Parameter& p = spec.parameters[i];
        if (!p.annotation) continue;
        Ref text(PyUnicode_FromString(p.annotation));
        if (!text || PyDict_SetItemString(annotations.get(), p.name, text.get()) < 0) return nullptr;
    }
    if (spec.returns) {
        Ref text(PyUnicode_FromString(spec.returns));
        if (!text || PyDict_SetItemString(annotations.get(), "return", text.get()) < 0) return nullptr;
    }
    return annotations.release();
}

}  // namespace

PyObject* create_method_type(PyObject* module) { return PyType_FromModuleAndSpec(module, &method_type_spec, nullptr); }

PyObject* create_method(Context& ctx, const MethodSpec& spec, const char* class_qualname) {
    auto* type = reinterpret_cast<PyTypeObject*>(ctx.method_type.get());
    Ref self(reinterpret_cast<PyObject*>(PyObject_GC_New(MethodObject, type)));
    if (!self) return nullptr;
    MethodObject* m = as_method(self.get());
    m->vectorcall = method_vectorcall;
    m->spec = &spec;
    m->module = Py_NewRef(ctx.module);
    m->dict = PyDict_New();
    m->weakrefs = nullptr;
    m->name = PyUnicode_InternFromString(spec.name);
    m->qualname = PyUnicode_FromFormat("%s.%s", class_qualname, spec.name);
    m->doc = spec.doc ? PyUnicode_FromString(spec.doc) : Py_NewRef(Py_None);
    m->module_name = PyModule_GetNameObject(ctx.module);
    m->defaults = spec.last_default ? Py_BuildValue("(s)", spec.last_default) : Py_NewRef(Py_None);
    m->kwdefaults = Py_NewRef(Py_None);
    m->code = nullptr;
    PyObject_GC_Track(self.get());
    if (!m->dict || !m->name || !m->qualname || !m->doc || !m->module_name || !m->defaults) return nullptr;
    m->code = make_code(spec, m->qualname);
    Ref annotations(make_annotations(spec));
    if (!m->code || !annotations) return nullptr;
    if (PyDict_SetItemString(m->dict, "__annotations__", annotations.get()) < 0) return nullptr;
    return self.release();
}

int is_own_method(Context& ctx, PyObject* self, PyObject* name, const MethodSpec& spec) {
    // Another lookup (a __getattribute__ or __getattr__ of a subclass) may
    // find anything: only the default one is followed here.
    if (Py_TYPE(self)->tp_getattro != PyObject_GenericGetAttr) return 0;
    // Read through the class, a method of this type is the method itself.
    Ref found(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(self)), name));
    if (!found) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (Py_TYPE(found.get()) != reinterpret_cast<PyTypeObject*>(ctx.method_type.get()) ||
        as_method(found.get())->spec != &spec)
        return 0;
    // It is not a data descriptor, so an attribute of the instance hides it.
    Ref instance_dict(PyObject_GenericGetDict(self, nullptr));
    if (!instance_dict) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 1;
    }
    const int shadowed = PyDict_Contains(instance_dict.get(), name);
    return shadowed < 0 ? -1 : !shadowed;
}

}  // namespace qm4410
