/*
 * Fault-injection shim for the test suite, loaded with LD_PRELOAD.
 *
 * It interposes getrandom() and clock_gettime() and forwards to the real
 * functions unless an environment variable asks for a fault. The variables are
 * read with getenv() on every call, so a Python script can switch faults on and
 * off while it runs (assigning to os.environ calls setenv/unsetenv).
 *
 *   CORVANE_SHIM_GETRANDOM        unset/empty: real getrandom
 *                                 "eio":    fail with -1, errno EIO
 *                                 "enosys": fail with -1, errno ENOSYS
 *                                 "eperm":  fail with -1, errno EPERM
 *   CORVANE_SHIM_GETRANDOM_AFTER  optional "N" (optionally "N:tag"): while a
 *                                 getrandom fault is on, let N more calls
 *                                 succeed before failing. The count restarts
 *                                 whenever the text of this variable changes
 *                                 (use a different tag to re-arm with the
 *                                 same N).
 *   CORVANE_SHIM_CLOCK            unset/empty: real clock
 *                                 "before_epoch": CLOCK_REALTIME reads
 *                                                 tv_sec = -10, tv_nsec = 0
 *                                 "SEC" or "SEC.FRACTION" (up to 9 fraction
 *                                 digits, e.g. "1741064767.120000000"): a fixed
 *                                 CLOCK_REALTIME reading
 *                                 anything else: real clock
 *                                 Only CLOCK_REALTIME is affected.
 *
 * Counters for self-checks (look them up with ctypes.CDLL(None)):
 *   long corvane_shim_getrandom_calls(void)   getrandom calls seen
 *   long corvane_shim_getrandom_faults(void)  getrandom calls failed on purpose
 *   long corvane_shim_clock_realtime_calls(void)
 *
 * The shim never allocates memory and never calls back into anything that
 * could reach getrandom or clock_gettime again; getenv only reads environ.
 * If dlsym cannot find the real function, the raw system call is used.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

typedef ssize_t (*getrandom_fn)(void *, size_t, unsigned int);
typedef int (*clock_gettime_fn)(clockid_t, struct timespec *);

/* 0: not looked up yet, 1: looked up (pointer may still be NULL). */
static int getrandom_resolved;
static getrandom_fn real_getrandom;
static int clock_resolved;
static clock_gettime_fn real_clock_gettime;

/* Set while this thread is inside dlsym, so a nested call cannot recurse. */
static __thread int in_resolve;

static long getrandom_calls;
static long getrandom_faults;
static long clock_realtime_calls;

/* State of CORVANE_SHIM_GETRANDOM_AFTER, guarded by a spin lock. */
static int after_lock;
static char after_seen[64];
static long after_used;

long corvane_shim_getrandom_calls(void) {
    return __atomic_load_n(&getrandom_calls, __ATOMIC_SEQ_CST);
}

long corvane_shim_getrandom_faults(void) {
    return __atomic_load_n(&getrandom_faults, __ATOMIC_SEQ_CST);
}

long corvane_shim_clock_realtime_calls(void) {
    return __atomic_load_n(&clock_realtime_calls, __ATOMIC_SEQ_CST);
}

static void resolve_getrandom(void) {
    if (__atomic_load_n(&getrandom_resolved, __ATOMIC_ACQUIRE) || in_resolve)
        return;
    in_resolve = 1;
    void *sym = dlsym(RTLD_NEXT, "getrandom");
    in_resolve = 0;
    __atomic_store_n(&real_getrandom, (getrandom_fn)sym, __ATOMIC_RELAXED);
    __atomic_store_n(&getrandom_resolved, 1, __ATOMIC_RELEASE);
}

static void resolve_clock(void) {
    if (__atomic_load_n(&clock_resolved, __ATOMIC_ACQUIRE) || in_resolve)
        return;
    in_resolve = 1;
    void *sym = dlsym(RTLD_NEXT, "clock_gettime");
    in_resolve = 0;
    __atomic_store_n(&real_clock_gettime, (clock_gettime_fn)sym, __ATOMIC_RELAXED);
    __atomic_store_n(&clock_resolved, 1, __ATOMIC_RELEASE);
}

static ssize_t forward_getrandom(void *buf, size_t len, unsigned int flags) {
    resolve_getrandom();
    getrandom_fn fn = __atomic_load_n(&real_getrandom, __ATOMIC_RELAXED);
    if (fn != NULL && fn != (getrandom_fn)getrandom)
        return fn(buf, len, flags);
#ifdef SYS_getrandom
    return (ssize_t)syscall(SYS_getrandom, buf, len, flags);
#else
    errno = ENOSYS;
    return -1;
#endif
}

static int forward_clock(clockid_t clk, struct timespec *ts) {
    resolve_clock();
    clock_gettime_fn fn = __atomic_load_n(&real_clock_gettime, __ATOMIC_RELAXED);
    if (fn != NULL && fn != (clock_gettime_fn)clock_gettime)
        return fn(clk, ts);
    return (int)syscall(SYS_clock_gettime, clk, ts);
}

/* Whether this faulty call is one of the N calls that may still succeed. */
static int after_allows(void) {
    const char *after = getenv("CORVANE_SHIM_GETRANDOM_AFTER");
    int allow = 0;

    while (__atomic_exchange_n(&after_lock, 1, __ATOMIC_ACQUIRE))
        ;
    if (after == NULL || *after == '\0') {
        after_seen[0] = '\0';
    } else {
        long n = 0;
        const char *p = after;
        while (*p >= '0' && *p <= '9' && n < 1000000000L) {
            n = n * 10 + (*p - '0');
            ++p;
        }
        if (strncmp(after_seen, after, sizeof after_seen - 1) != 0) {
            strncpy(after_seen, after, sizeof after_seen - 1);
            after_seen[sizeof after_seen - 1] = '\0';
            after_used = 0;
        }
        if (after_used < n) {
            ++after_used;
            allow = 1;
        }
    }
    __atomic_store_n(&after_lock, 0, __ATOMIC_RELEASE);
    return allow;
}

ssize_t getrandom(void *buf, size_t len, unsigned int flags) {
    __atomic_add_fetch(&getrandom_calls, 1, __ATOMIC_SEQ_CST);

    const char *mode = getenv("CORVANE_SHIM_GETRANDOM");
    if (mode != NULL && *mode != '\0') {
        int err = 0;
        if (strcmp(mode, "eio") == 0)
            err = EIO;
        else if (strcmp(mode, "enosys") == 0)
            err = ENOSYS;
        else if (strcmp(mode, "eperm") == 0)
            err = EPERM;
        if (err != 0 && !after_allows()) {
            __atomic_add_fetch(&getrandom_faults, 1, __ATOMIC_SEQ_CST);
            errno = err;
            return -1;
        }
    }
    return forward_getrandom(buf, len, flags);
}

/* Parses "[-]SEC[.FRACTION]" with 1 to 9 fraction digits; 1 on success. */
static int parse_fixed(const char *text, struct timespec *out) {
    const char *p = text;
    int negative = 0;
    long long sec = 0;
    long nsec = 0;
    int digits = 0;

    if (*p == '-') {
        negative = 1;
        ++p;
    }
    while (*p >= '0' && *p <= '9') {
        if (sec > 100000000000000LL)
            return 0;
        sec = sec * 10 + (*p - '0');
        ++p;
        ++digits;
    }
    if (digits == 0)
        return 0;
    if (*p == '.') {
        int frac = 0;
        ++p;
        while (*p >= '0' && *p <= '9') {
            if (frac == 9)
                return 0;
            nsec = nsec * 10 + (*p - '0');
            ++p;
            ++frac;
        }
        if (frac == 0)
            return 0;
        for (; frac < 9; ++frac)
            nsec *= 10;
    }
    if (*p != '\0')
        return 0;
    out->tv_sec = (time_t)(negative ? -sec : sec);
    out->tv_nsec = nsec;
    return 1;
}

int clock_gettime(clockid_t clk, struct timespec *ts) {
    if (clk == CLOCK_REALTIME) {
        __atomic_add_fetch(&clock_realtime_calls, 1, __ATOMIC_SEQ_CST);
        const char *mode = getenv("CORVANE_SHIM_CLOCK");
        if (mode != NULL && *mode != '\0') {
            struct timespec fixed;
            if (strcmp(mode, "before_epoch") == 0) {
                ts->tv_sec = -10;
                ts->tv_nsec = 0;
                return 0;
            }
            if (parse_fixed(mode, &fixed)) {
                *ts = fixed;
                return 0;
            }
        }
    }
    return forward_clock(clk, ts);
}
