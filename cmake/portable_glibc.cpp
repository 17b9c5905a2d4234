// Linked into the module only by a portable build (CORVANE_PORTABLE), which
// carries its own copy of the C++ runtime so that the module loads on any
// glibc from 2.17 on. The linker sends every reference to the symbols below,
// from the module's objects and from the runtime's archive members alike, to
// these __wrap_ definitions (-Wl,--wrap=NAME), which bind the oldest version
// each of them has. The ones glibc 2.17 lacks are only reached through
// std::random_device, which the module never makes, and get a plain
// equivalent here.
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#if defined(__x86_64__)
#define CORVANE_GLIBC_BASE "GLIBC_2.2.5"
#elif defined(__aarch64__)
#define CORVANE_GLIBC_BASE "GLIBC_2.17"
#else
#error "a portable build knows the oldest glibc symbol versions of x86_64 and aarch64 only"
#endif

extern "C" {

// dlsym and pthread_mutex_trylock moved into libc.so.6 in glibc 2.34 under a
// new version; the old one is still there, and is what older systems have.
void* corvane_glibc_dlsym(void* handle, const char* name);
int corvane_glibc_pthread_mutex_trylock(pthread_mutex_t* mutex);
__asm__(".symver corvane_glibc_dlsym, dlsym@" CORVANE_GLIBC_BASE);
__asm__(".symver corvane_glibc_pthread_mutex_trylock, pthread_mutex_trylock@" CORVANE_GLIBC_BASE);

__attribute__((visibility("hidden"))) void* __wrap_dlsym(void* handle, const char* name) {
    return corvane_glibc_dlsym(handle, name);
}

__attribute__((visibility("hidden"))) int __wrap_pthread_mutex_trylock(pthread_mutex_t* mutex) {
    return corvane_glibc_pthread_mutex_trylock(mutex);
}

// The thread functions std::thread calls moved the same way.
int corvane_glibc_pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*), void* arg);
int corvane_glibc_pthread_detach(pthread_t thread);
int corvane_glibc_pthread_join(pthread_t thread, void** result);
__asm__(".symver corvane_glibc_pthread_create, pthread_create@" CORVANE_GLIBC_BASE);
__asm__(".symver corvane_glibc_pthread_detach, pthread_detach@" CORVANE_GLIBC_BASE);
__asm__(".symver corvane_glibc_pthread_join, pthread_join@" CORVANE_GLIBC_BASE);

__attribute__((visibility("hidden"))) int __wrap_pthread_create(pthread_t* thread, const pthread_attr_t* attr,
                                                                void* (*start)(void*), void* arg) {
    return corvane_glibc_pthread_create(thread, attr, start, arg);
}

__attribute__((visibility("hidden"))) int __wrap_pthread_detach(pthread_t thread) {
    return corvane_glibc_pthread_detach(thread);
}

__attribute__((visibility("hidden"))) int __wrap_pthread_join(pthread_t thread, void** result) {
    return corvane_glibc_pthread_join(thread, result);
}

// glibc 2.32 tells the C++ runtime through this flag that the process has one
// thread, so that reference counts may skip their atomic instructions. Zero
// means "assume there may be others", which is always correct.
__attribute__((visibility("hidden"))) char __wrap___libc_single_threaded = 0;

// getentropy (glibc 2.25) and arc4random (glibc 2.36), from the kernel's
// random source as glibc's own do.
static bool corvane_fill_random(void* buffer, std::size_t length) {
    auto* out = static_cast<unsigned char*>(buffer);
    while (length > 0) {
        long got = ::syscall(SYS_getrandom, out, length, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        out += got;
        length -= static_cast<std::size_t>(got);
    }
    return true;
}

__attribute__((visibility("hidden"))) int __wrap_getentropy(void* buffer, std::size_t length) {
    if (length > 256) {
        errno = EIO;
        return -1;
    }
    return corvane_fill_random(buffer, length) ? 0 : -1;
}

__attribute__((visibility("hidden"))) unsigned int __wrap_arc4random() {
    unsigned int value;
    if (!corvane_fill_random(&value, sizeof value)) std::abort();
    return value;
}

}  // extern "C"
