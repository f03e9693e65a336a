// The forced unwind that ends a thread, through modules that carry their
// own copy of the unwinder.
//
// Each module links its C++ runtime and unwinder statically and hidden:
// libstdc++ with libgcc's unwinder (g++ build), or libc++abi with LLVM's
// libunwind (the release toolchain). glibc's pthread_exit unwinds the thread
// with the system's libgcc_s instead (loaded by glibc for that purpose),
// which calls this module's personality routine with a libgcc_s unwind
// context. The personality's context accessors (_Unwind_SetGR and friends)
// would come from the module's own unwinder and read that context as their
// own: LLVM's crashes on it, libgcc's static copy aborts on tables it has
// not set up yet. So the link wraps them (--wrap, see CMakeLists.txt):
// while the personality handles a forced unwind, which only glibc starts
// (this code never does), they forward to libgcc_s, taken from the loaded
// library. The same for _Unwind_Resume at the end of a cleanup, and for
// leaving a catch-all with the foreign exception (rethrow_foreign).
#include "ref.hpp"

#include <cxxabi.h>
#include <dlfcn.h>
#include <unwind.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" {
_Unwind_Reason_Code __real___gxx_personality_v0(int, _Unwind_Action, uint64_t, _Unwind_Exception*,
                                                _Unwind_Context*);
uintptr_t __real__Unwind_GetLanguageSpecificData(_Unwind_Context*);
uintptr_t __real__Unwind_GetRegionStart(_Unwind_Context*);
uintptr_t __real__Unwind_GetIP(_Unwind_Context*);
uintptr_t __real__Unwind_GetIPInfo(_Unwind_Context*, int*);
void __real__Unwind_SetGR(_Unwind_Context*, int, uintptr_t);
void __real__Unwind_SetIP(_Unwind_Context*, uintptr_t);
void __real__Unwind_Resume(_Unwind_Exception*);
}

#if defined(_LIBCPP_VERSION)
// Part of the C++ ABI that libc++abi's <cxxabi.h> does not declare.
extern "C" void* __cxa_get_globals() noexcept;
inline void* eh_globals() { return __cxa_get_globals(); }
#else
inline void* eh_globals() { return abi::__cxa_get_globals(); }
#endif

namespace {

// The forced unwind passing through this thread's frames, once the
// personality has seen it; set only in a thread that is ending.
thread_local _Unwind_Exception* t_forced_unwind = nullptr;
// Whether the context handed to the accessors now is one of libgcc_s.
thread_local bool t_gcc_context = false;

// The unwinder glibc uses, from the copy glibc itself has loaded.
struct GccUnwinder {
    uintptr_t (*get_lsda)(_Unwind_Context*);
    uintptr_t (*get_region_start)(_Unwind_Context*);
    uintptr_t (*get_ip)(_Unwind_Context*);
    uintptr_t (*get_ip_info)(_Unwind_Context*, int*);
    void (*set_gr)(_Unwind_Context*, int, uintptr_t);
    void (*set_ip)(_Unwind_Context*, uintptr_t);
    void (*resume)(_Unwind_Exception*);
};

template <class F>
void resolve(void* library, const char* name, F& out) {
    out = reinterpret_cast<F>(dlsym(library, name));
    if (out == nullptr) {
        std::fprintf(stderr, "strix: %s not found in libgcc_s.so.1\n", name);
        std::abort();
    }
}

const GccUnwinder& gcc() {
    static const GccUnwinder unwinder = [] {
        GccUnwinder u{};
        void* library = dlopen("libgcc_s.so.1", RTLD_NOW | RTLD_NOLOAD);
        if (library == nullptr) {
            std::fprintf(stderr, "strix: a thread is unwound by an unwinder other than libgcc_s.so.1\n");
            std::abort();
        }
        resolve(library, "_Unwind_GetLanguageSpecificData", u.get_lsda);
        resolve(library, "_Unwind_GetRegionStart", u.get_region_start);
        resolve(library, "_Unwind_GetIP", u.get_ip);
        resolve(library, "_Unwind_GetIPInfo", u.get_ip_info);
        resolve(library, "_Unwind_SetGR", u.set_gr);
        resolve(library, "_Unwind_SetIP", u.set_ip);
        resolve(library, "_Unwind_Resume", u.resume);
        return u;
    }();
    return unwinder;
}

// The C++ runtime's exception classes: "GNUCC++\0" for libstdc++,
// "CLNGC++\0" for libc++abi, and their dependent variants ending in \1.
bool thrown_here(const _Unwind_Exception* e) {
#if defined(_LIBCPP_VERSION)
    return (e->exception_class >> 8) == 0x434C4E47432B2BULL;
#else
    return (e->exception_class >> 8) == 0x474E5543432B2BULL;
#endif
}

}  // namespace

extern "C" {

_Unwind_Reason_Code __wrap___gxx_personality_v0(int version, _Unwind_Action actions, uint64_t exception_class,
                                                _Unwind_Exception* exception, _Unwind_Context* context) {
    if (!(actions & _UA_FORCE_UNWIND))
        return __real___gxx_personality_v0(version, actions, exception_class, exception, context);
    t_forced_unwind = exception;
    t_gcc_context = true;
    _Unwind_Reason_Code result = __real___gxx_personality_v0(version, actions, exception_class, exception, context);
    t_gcc_context = false;
    return result;
}

uintptr_t __wrap__Unwind_GetLanguageSpecificData(_Unwind_Context* c) {
    return t_gcc_context ? gcc().get_lsda(c) : __real__Unwind_GetLanguageSpecificData(c);
}
uintptr_t __wrap__Unwind_GetRegionStart(_Unwind_Context* c) {
    return t_gcc_context ? gcc().get_region_start(c) : __real__Unwind_GetRegionStart(c);
}
uintptr_t __wrap__Unwind_GetIP(_Unwind_Context* c) {
    return t_gcc_context ? gcc().get_ip(c) : __real__Unwind_GetIP(c);
}
uintptr_t __wrap__Unwind_GetIPInfo(_Unwind_Context* c, int* before) {
    return t_gcc_context ? gcc().get_ip_info(c, before) : __real__Unwind_GetIPInfo(c, before);
}
void __wrap__Unwind_SetGR(_Unwind_Context* c, int index, uintptr_t value) {
    if (t_gcc_context) gcc().set_gr(c, index, value);
    else __real__Unwind_SetGR(c, index, value);
}
void __wrap__Unwind_SetIP(_Unwind_Context* c, uintptr_t value) {
    if (t_gcc_context) gcc().set_ip(c, value);
    else __real__Unwind_SetIP(c, value);
}

// The end of a cleanup (destructors) during an unwind: our own exceptions go
// on with our unwinder, anything else with the one that raised it.
void __wrap__Unwind_Resume(_Unwind_Exception* exception) {
    if (thrown_here(exception)) __real__Unwind_Resume(exception);
    gcc().resume(exception);
    std::abort();  // neither returns
}

}  // extern "C"

namespace rt {

[[noreturn]] void rethrow_foreign() {
    _Unwind_Exception* exception = t_forced_unwind;
    if (exception == nullptr) std::terminate();  // foreign, but no thread exit: nothing we could resume
    // The C++ runtime holds the foreign exception as the one being handled,
    // and ending the catch block would delete it (glibc then aborts:
    // "exception not rethrown"). The unwind leaves the block instead, so it
    // is no longer being handled: caughtExceptions, the first field of the
    // thread's exception globals in the C++ ABI, goes back to empty (as the
    // runtimes' own rethrow of a foreign exception does).
    *static_cast<void**>(eh_globals()) = nullptr;
    gcc().resume(exception);
    std::terminate();
}

}  // namespace rt

