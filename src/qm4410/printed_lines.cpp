#include "printed_lines.hpp"

namespace qm4410 {

thread_local PrintedLines* PrintedLines::current_ = nullptr;

bool printing_is_quiet() {
    const PrintedLines* printed = PrintedLines::current();
    return printed && printed->quiet();
}

bool keep_printed_line(PyObject* line) {
    PrintedLines* printed = PrintedLines::current();
    return !printed || PyList_Append(printed->lines(), line) == 0;
}

PyObject* quietly(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1) {
        PyErr_SetString(PyExc_TypeError, "_quietly() takes a function to call, then its arguments");
        return nullptr;
    }
    PrintedLines printed(true);
    if (!printed.lines()) return nullptr;
    Ref result(PyObject_Vectorcall(args[0], args + 1, static_cast<size_t>(nargs - 1), nullptr));
    if (!result) return nullptr;
    return PyTuple_Pack(2, result.get(), printed.lines());
}

}  // namespace qm4410
