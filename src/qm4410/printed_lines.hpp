// What becomes of the lines the driver prints on one thread: printed, as the
// driver's callers expect, and kept for whoever waits for them there. A with
// statement waits for the reasons open() prints; qm4410._quietly() waits for
// every line of one call and keeps it off standard output, so that the
// package's own layers can log what a plain driver would print.
#pragma once

#include <Python.h>

#include "ref.hpp"

namespace qm4410 {

// The lines printed on this thread while one of these is the innermost. A
// quiet one, and every one inside it, keeps its lines without printing them.
class PrintedLines {
public:
    explicit PrintedLines(bool quiet = false)
        : lines_(PyList_New(0)), outer_(current_), quiet_(quiet || (outer_ && outer_->quiet_)) {
        current_ = this;
    }
    ~PrintedLines() { current_ = outer_; }
    PrintedLines(const PrintedLines&) = delete;
    PrintedLines& operator=(const PrintedLines&) = delete;

    static PrintedLines* current() { return current_; }
    // Null (with MemoryError set) when the list could not be made.
    PyObject* lines() const { return lines_.get(); }
    bool quiet() const { return quiet_; }

private:
    Ref lines_;
    PrintedLines* outer_;
    bool quiet_;
    static thread_local PrintedLines* current_;
};

// Whether a line printed now on this thread is to be kept from standard output.
bool printing_is_quiet();

// Keeps a line the driver has just printed (or would have) for the innermost
// PrintedLines of this thread, if any; false with an exception set.
bool keep_printed_line(PyObject* line);

// qm4410._quietly(function, /, *args): calls function(*args) with every line
// the driver would print kept off standard output; (its result, [lines]).
PyObject* quietly(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace qm4410
