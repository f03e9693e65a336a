// What run_body (native.hpp) puts around a native body: the recursion guard
// and the traceback entry that an error leaving the body gets.
#include "native.hpp"

#include <algorithm>
#include <cstdint>

#include <pthread.h>

#include <frameobject.h>  // PyFrame_New

namespace rt::detail {

namespace {

// Native calls nest like Python frames: each native call counts one level
// against sys.getrecursionlimit(), so a raised limit lets deeper recursion
// through and a lowered one stops it earlier, as for Python code. The
// interpreter's own C recursion counter is fixed whatever the setting, so it
// is not used; instead, calls check how much of the thread's C stack is left
// and raise RecursionError well before it runs out, whatever the limit.
// The count lives in a plain thread_local (a module loaded with dlopen must
// not use the initial-exec TLS model, so each read goes through
// __tls_get_addr): an entry from the interpreter reads it once and hands it
// down in its CallChain; the limit is read at each entry, so a limit set by
// Python code applies from the next call that Python code makes.
struct ThreadCalls {
    int depth = 0;
    uintptr_t stack_floor = 0;  // lowest usable stack address; 1 when unknown
};
thread_local ThreadCalls t_calls;

uintptr_t find_stack_floor() {
    pthread_attr_t attr;
    void* base = nullptr;
    size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        pthread_attr_getstack(&attr, &base, &size);
        pthread_attr_destroy(&attr);
    }
    if (base == nullptr || size == 0) return 1;  // unknown bounds: the depth limit alone applies
    const size_t margin = std::min<size_t>(512 * 1024, size / 4);
    return reinterpret_cast<uintptr_t>(base) + margin;
}

}  // namespace

CallChain start_chain() {
    ThreadCalls& calls = t_calls;
    if (calls.stack_floor == 0) calls.stack_floor = find_stack_floor();
    return CallChain{&calls.depth, Py_GetRecursionLimit(), calls.stack_floor};
}

void raise_recursion(const char* where) {
    raise_format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
}

// A traceback entry for a native function, as compiled modules conventionally
// add one: an empty code object named after the function and located in the
// module's file (made once per function), run in a frame of its own.
// PyFrame_New belongs to the interpreter's non-limited API; it is the only
// way to make a frame for PyTraceBack_Here, and this is its only use.
void add_traceback_entry(FunctionObject* f) {
    PyObject* error = PyErr_GetRaisedException();
    if (f->traceback_code == nullptr) {
        PyObject* file = nullptr;
        if (PyDict_GetItemStringRef(f->globals, "__file__", &file) < 0) PyErr_Clear();
        PyObject* file_text = file && PyUnicode_Check(file) ? file : nullptr;
        const char* filename = file_text ? PyUnicode_AsUTF8(file_text) : nullptr;
        const char* funcname = PyUnicode_AsUTF8(f->qualname);
        if (filename == nullptr || funcname == nullptr) PyErr_Clear();
        f->traceback_code = reinterpret_cast<PyObject*>(
            PyCode_NewEmpty(filename ? filename : "<native>", funcname ? funcname : "<native function>", 0));
        Py_XDECREF(file);
    }
    if (f->traceback_code != nullptr) {
        PyFrameObject* frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(f->traceback_code),
                                           f->globals, nullptr);
        if (frame != nullptr) {
            PyErr_SetRaisedException(error);
            PyTraceBack_Here(frame);
            Py_DECREF(frame);
            return;
        }
    }
    // Without an entry the error itself still goes out unchanged.
    PyErr_Clear();
    PyErr_SetRaisedException(error);
}

}  // namespace rt::detail
