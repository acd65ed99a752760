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

// What a method is, built by name:
//   constexpr MethodSpec kOpen = MethodSpec("open", open_body).returning("bool").documented("...");
struct MethodSpec {
    const char* name;  // as written in the class body: "open", "__cal_crc"
    MethodBody body;
    int parameter_count = 0;  // besides self
    Parameter parameters[kMaxParameters] = {};
    const char* last_default = nullptr;  // str default of the last parameter
    const char* returns = nullptr;       // return annotation
    const char* doc = nullptr;           // null for no docstring

    constexpr MethodSpec(const char* name_, MethodBody body_) : name(name_), body(body_) {}

    constexpr MethodSpec parameter(const char* parameter_name, const char* annotation = nullptr) const {
        MethodSpec spec = *this;
        spec.parameters[spec.parameter_count++] = {parameter_name, annotation};
        return spec;
    }
    constexpr MethodSpec defaulting_to(const char* text) const {
        MethodSpec spec = *this;
        spec.last_default = text;
        return spec;
    }
    constexpr MethodSpec returning(const char* annotation) const {
        MethodSpec spec = *this;
        spec.returns = annotation;
        return spec;
    }
    constexpr MethodSpec documented(const char* text) const {
        MethodSpec spec = *this;
        spec.doc = text;
        return spec;
    }
};

// Creates the method type for `module`; returns it or null.
PyObject* create_method_type(PyObject* module);

// A method object for `spec`, as a member of the class `class_qualname`.
PyObject* create_method(Context& ctx, const MethodSpec& spec, const char* class_qualname);

// Whether self.<name> is the class's own method made from `spec`, as an
// attribute lookup on self would find it: then the caller may do that
// method's work directly instead of calling it. 1 yes, 0 no, -1 on error.
int is_own_method(Context& ctx, PyObject* self, PyObject* name, const MethodSpec& spec);

}  // namespace qm4410
