// Traceback entries: a frame made from an empty code object, added to the
// exception being raised. Code objects are kept for reuse, one per
// (qualified name, file, line), in a table ordered by line.
#include "module/module.hpp"

#include <frameobject.h>

#include <cstring>

namespace tarn {
namespace {

struct CodeRow {
    int line;
    const char *qualname;
    const char *file;
    PyObject *code;  // strong; kept until the process ends
};

// Lives until the process ends: the interpreter may print a traceback that
// holds these code objects at any time.
CodeRow *code_rows = nullptr;
Py_ssize_t code_count = 0;
Py_ssize_t code_capacity = 0;
constexpr Py_ssize_t kGrowBy = 64;

int
compare_row(const CodeRow &row, int line, const char *qualname,
            const char *file) noexcept
{
    if (row.line != line) {
        return row.line < line ? -1 : 1;
    }
    int c = std::strcmp(row.qualname, qualname);
    if (c != 0) {
        return c;
    }
    return std::strcmp(row.file, file);
}

// A borrowed code object for the entry, made on first use.
PyObject *
code_for(const char *qualname, const char *file, int line) noexcept
{
    Py_ssize_t lo = 0, hi = code_count;
    while (lo < hi) {
        Py_ssize_t mid = lo + (hi - lo) / 2;
        int c = compare_row(code_rows[mid], line, qualname, file);
        if (c == 0) {
            return code_rows[mid].code;
        }
        if (c < 0) {
            lo = mid + 1;
        }
        else {
            hi = mid;
        }
    }
    if (code_count == code_capacity) {
        Py_ssize_t capacity = code_capacity + kGrowBy;
        auto *rows = static_cast<CodeRow *>(
            PyMem_Realloc(code_rows, capacity * sizeof(CodeRow)));
        if (!rows) {
            PyErr_NoMemory();
            return nullptr;
        }
        code_rows = rows;
        code_capacity = capacity;
    }
    PyCodeObject *code = PyCode_NewEmpty(file, qualname, line);
    if (!code) {
        return nullptr;
    }
    std::memmove(&code_rows[lo + 1], &code_rows[lo],
                 (code_count - lo) * sizeof(CodeRow));
    code_rows[lo] = CodeRow{line, qualname, file,
                            reinterpret_cast<PyObject *>(code)};
    ++code_count;
    return reinterpret_cast<PyObject *>(code);
}

}  // namespace

void
add_traceback_entry(const char *qualname, const char *file, int line) noexcept
{
    PyObject *globals = module_dict();
    if (!globals) {
        return;
    }
    PyObject *exc = PyErr_GetRaisedException();
    PyObject *code = code_for(qualname, file, line);
    if (!code) {
        // The failure to make the entry replaces the exception.
        Py_XDECREF(exc);
        return;
    }
    PyFrameObject *frame =
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject *>(code),
                    globals, nullptr);
    if (!frame) {
        // Keep the exception that was being raised; only the entry is lost.
        PyErr_Clear();
        PyErr_SetRaisedException(exc);
        return;
    }
    PyErr_SetRaisedException(exc);
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

}  // namespace tarn
