// What becomes of the lines the driver prints on one thread: printed, as the
// driver's callers expect, and kept for whoever waits for them there: a with
// statement waits for the reasons open() prints.
#pragma once

#include <Python.h>

#include "ref.hpp"

namespace qm4410 {

// The lines printed on this thread while one of these is the innermost.
class PrintedLines {
public:
    PrintedLines() : lines_(PyList_New(0)), outer_(current_) { current_ = this; }
    ~PrintedLines() { current_ = outer_; }
    PrintedLines(const PrintedLines&) = delete;
    PrintedLines& operator=(const PrintedLines&) = delete;

    static PrintedLines* current() { return current_; }
    // Null (with MemoryError set) when the list could not be made.
    PyObject* lines() const { return lines_.get(); }

private:
    Ref lines_;
    PrintedLines* outer_;
    static thread_local PrintedLines* current_;
};

// Keeps a line the driver has just printed for the innermost
// PrintedLines of this thread, if any; false with an exception set.
bool keep_printed_line(PyObject* line);

}  // namespace qm4410
