// The look that rt::checkpoint() (iterate.hpp) takes every few hundred steps
// of native work: the requests the interpreter has posted for this thread,
// answered as the evaluation loop answers them.
//
// CPython posts them as bits of the thread state's `eval_breaker` word, and
// Python code reads that word between bytecodes:
//  * a thread that has waited one switch interval for the GIL, with no
//    switch meanwhile, asks the holder to drop it (the interval of the
//    interpreter whose GIL it is: each isolated interpreter has its own).
//    Releasing the GIL with that request pending hands it over: the release
//    waits until another thread has taken it. So the waiting thread gets the
//    GIL one interval after it began to wait, as beside Python code. A
//    release without the request would hand over nothing (this thread would
//    most likely take the GIL straight back) and would still count as a
//    switch, restarting the waiting thread's interval; so there is none.
//  * a signal that has arrived (Ctrl-C, _thread.interrupt_main, an alarm) is
//    posted to the main thread, whose handlers run at its next look.
//  * a collection the garbage collector asks for runs at most every 50 ms,
//    as before: a loop of native steps allocates quickly, and collecting at
//    the collector's own pace would cost long loops their speed.
// The bits are the interpreter's own (Include/internal/pycore_ceval.h of
// CPython 3.13, the version the modules build for).
#include "iterate.hpp"

#include <ctime>

#if PY_VERSION_HEX < 0x030D0000 || PY_VERSION_HEX >= 0x030E0000
#error "checkpoint.cpp reads the eval breaker bits of CPython 3.13; check them for this version"
#endif

namespace rt::detail {

std::atomic<int> checkpoint_steps{kCheckpointSteps};

namespace {

constexpr uintptr_t kGilDropRequest = 1u << 0;
constexpr uintptr_t kSignalsPending = 1u << 1;
constexpr uintptr_t kCollectionScheduled = 1u << 4;
// A stop-the-world request of the free-threaded build: answered, like the
// GIL request, by detaching for a moment.
constexpr uintptr_t kPleaseStop = 1u << 5;

constexpr long long kCollectionIntervalUs = 50000;
std::atomic<long long> last_collection_chance_us{0};

long long monotonic_us() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

// Whether the collector's request may be answered now (at most every 50 ms).
bool collection_due() {
    const long long now = monotonic_us();
    if (now - last_collection_chance_us.load(std::memory_order_relaxed) < kCollectionIntervalUs) return false;
    last_collection_chance_us.store(now, std::memory_order_relaxed);
    return true;
}

}  // namespace

void checkpoint_look() {
    checkpoint_steps.store(kCheckpointSteps, std::memory_order_relaxed);
    PyThreadState* self = PyThreadState_GetUnchecked();  // the GIL holder: never NULL here
    uintptr_t requests = __atomic_load_n(&self->eval_breaker, __ATOMIC_RELAXED);
    if (requests & (kGilDropRequest | kPleaseStop)) {
        // Retaking the GIL at interpreter exit ends a daemon thread here
        // (unwind.cpp).
        PyEval_SaveThread();
        PyEval_RestoreThread(self);
        // A signal sent while other threads ran (often by one of them) is
        // answered now rather than a round of steps later.
        requests = __atomic_load_n(&self->eval_breaker, __ATOMIC_RELAXED);
    }
    // PyErr_CheckSignals runs pending handlers (on the main thread of the
    // main interpreter; elsewhere it returns at once) and a requested
    // collection.
    if ((requests & kSignalsPending) || ((requests & kCollectionScheduled) && collection_due())) {
        if (PyErr_CheckSignals() < 0) raise();
    }
}

}  // namespace rt::detail
