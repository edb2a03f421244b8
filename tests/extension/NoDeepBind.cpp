// Preloaded into php by a test: opens every library without RTLD_DEEPBIND, as
// engines built on other C libraries or with sanitizers do, so that the
// extension's own symbols can be bound to like-named ones loaded before it.
#include <dlfcn.h>

extern "C" void* dlopen(const char* file, int mode)
{
    using Open = void* (*)(const char*, int);
    static Open real = reinterpret_cast<Open>(dlsym(RTLD_NEXT, "dlopen"));
    return real ? real(file, mode & ~RTLD_DEEPBIND) : nullptr;
}
