// Linked into every executable of a ThreadSanitizer build, never into a normal one.
//
// The sanitizer treats each clone() as a fork: it runs its fork bookkeeping around the call and again inside
// the child. Qt starts programs with a vfork-style clone (CLONE_VM | CLONE_VFORK) whose child runs in the
// parent's memory, so that bookkeeping in the child overwrites the parent thread's own state, and from then
// on the sanitizer misses that thread's locks and reports races on data the locks guard. Such clones go
// straight to the C library here; the child only sets up descriptors and calls exec, and the parent waits
// for that, so nothing of the sanitizer's view is lost. Other clones keep the sanitizer's handling.
#include <dlfcn.h>
#include <sched.h>
#include <sys/types.h>

#include <cstdarg>

namespace {

using CloneFunction = int (*)(int (*)(void*), void*, int, void*, ...);

CloneFunction libcClone()
{
    static const auto function = reinterpret_cast<CloneFunction>(dlvsym(RTLD_NEXT, "clone", "GLIBC_2.2.5"));
    return function;
}

CloneFunction sanitizerClone()
{
    static const auto function = reinterpret_cast<CloneFunction>(dlsym(RTLD_NEXT, "clone"));
    return function;
}

} // namespace

extern "C" int clone(int (*fn)(void*), void* stack, int flags, void* arg, ...)
{
    va_list more;
    va_start(more, arg);
    auto* parentTid = va_arg(more, pid_t*);
    void* tls = va_arg(more, void*);
    auto* childTid = va_arg(more, pid_t*);
    va_end(more);
    const bool sharesMemory = (flags & (CLONE_VM | CLONE_VFORK)) == (CLONE_VM | CLONE_VFORK);
    const CloneFunction function = sharesMemory ? libcClone() : sanitizerClone();
    return function(fn, stack, flags, arg, parentTid, tls, childTid);
}
