#include "printed_lines.hpp"

namespace qm4410 {

thread_local PrintedLines* PrintedLines::current_ = nullptr;

bool keep_printed_line(PyObject* line) {
    PrintedLines* printed = PrintedLines::current();
    return !printed || PyList_Append(printed->lines(), line) == 0;
}

}  // namespace qm4410
