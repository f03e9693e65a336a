// The forced unwind that ends a thread at interpreter exit.
//
// CPython 3.13 ends a daemon thread that tries to take the GIL back during
// finalization with pthread_exit(); glibc unwinds the thread's stack with a
// forced unwind, run by the system's libgcc_s, up to the thread's start. It
// reaches this module's frames while the thread holds no GIL, so their
// cleanups must not run: destructors would release Python objects and
// handlers would read the error indicator without it (CPython 3.14 hangs
// such threads instead of unwinding them for this reason). It could not run
// them safely anyway: each module links its own, hidden copy of the
// unwinder (libgcc's in the g++ build, LLVM's libunwind in the release
// wheel), and the personality routine would read libgcc_s's unwind context
// through that copy (LLVM's crashes on it, libgcc's static copy aborts
// while its register tables are not set up).
//
// So the link wraps the C++ personality routine (--wrap, a link option of
// the strix_runtime target that every module linking it inherits):
// for a forced unwind, which only glibc starts (this code never does), it
// answers "nothing to do in this frame" without looking at it, and the
// unwind passes on to the interpreter's frames and the thread's start. What
// the frames held is leaked; the process is ending. Every other unwind goes
// to the C++ runtime's personality routine unchanged.
//
// This is the whole of the thread-exit story: no handler in the runtime or
// the modules ever sees the forced unwind, so none of them tests for it. A
// catch-all turns whatever C++ exception it catches into a Python error
// (rt::set_error_from_current_exception).
#include <unwind.h>

#include <cstdint>

extern "C" {

_Unwind_Reason_Code __real___gxx_personality_v0(int version, _Unwind_Action actions, uint64_t exception_class,
                                                _Unwind_Exception* exception, _Unwind_Context* context);

_Unwind_Reason_Code __wrap___gxx_personality_v0(int version, _Unwind_Action actions, uint64_t exception_class,
                                                _Unwind_Exception* exception, _Unwind_Context* context) {
    if (actions & _UA_FORCE_UNWIND) return _URC_CONTINUE_UNWIND;
    return __real___gxx_personality_v0(version, actions, exception_class, exception, context);
}

}  // extern "C"
