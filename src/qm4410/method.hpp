// The type of the driver class's methods: function-like objects that bind to
// an instance, carry a docstring, defaults, string annotations and a code
// object, so inspect.signature() and help() see them as Python users expect.
#pragma once

#include <Python.h>

#include "context.hpp"

namespace qm4410 {

constexpr int kMaxParameters = 3;  // besides self: __exit__'s three

struct Parameter {
    const char* name;
    const char* annotation;  // null when the parameter has none
};

// The body of a method: args[0] is self, then one slot per parameter, with
// defaults already filled in. Returns a new reference or null on error.
using MethodBody = PyObject* (*)(Context& ctx, PyObject* const* args);

struct MethodSpec {
    const char* name;  // as written in the class body: "open", "__cal_crc"
    MethodBody body;
    int parameter_count;  // besides self
    Parameter parameters[kMaxParameters];
    const char* last_default;  // str default of the last parameter, or null
    const char* returns;       // return annotation, or null
    const char* doc;           // null for no docstring
};

// Creates the method type for `module`; returns it or null.
PyObject* create_method_type(PyObject* module);

// A method object for `spec`, as a member of the class `class_qualname`.
PyObject* create_method(Context& ctx, const MethodSpec& spec, const char* class_qualname);

// self.<name>, looked up once and then examined or called.
class FoundMethod {
public:
    // Looks `name` up on `self`; false with an exception set when it is missing.
    bool find(PyObject* self, PyObject* name);
    // Whether it is the class's own method made from `spec`: then the caller
    // may do that method's work directly instead of calling it.
    bool is_own(Context& ctx, const MethodSpec& spec) const;
    bool found() const { return static_cast<bool>(method_); }
    // self.<name>(argument)
    PyObject* call(PyObject* argument) const;

private:
    PyObject* self_ = nullptr;  // borrowed from the caller
    Ref method_;
};

}  // namespace qm4410
