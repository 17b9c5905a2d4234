// Random bytes from the operating system.
//
// getrandom is looked up at run time, so the module loads on C libraries that
// lack it and a preloaded library can stand in for it. When it is missing, or
// the kernel refuses it (ENOSYS, or EPERM under a seccomp filter), the bytes
// come from /dev/urandom, read only after /dev/random has polled readable so
// that an uninitialised entropy pool is never used.
#include "random_source.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "failure.hpp"

namespace corvane::detail {

namespace {

using GetrandomFn = ssize_t (*)(void*, std::size_t, unsigned int);

GetrandomFn getrandom_fn() noexcept {
    static const GetrandomFn fn =
        reinterpret_cast<GetrandomFn>(::dlsym(RTLD_DEFAULT, "getrandom"));
    return fn;
}

// strerror_r comes in two flavours; overloads pick whichever this C library has.
[[maybe_unused]] const char* strerror_result(int rc, const char* buf) noexcept {
    return rc == 0 ? buf : nullptr;
}
[[maybe_unused]] const char* strerror_result(const char* text, const char*) noexcept {
    return text;
}

[[noreturn]] void fail(std::string_view prefix, std::string description) {
    std::string message;
    message.reserve(prefix.size() + description.size());
    message.append(prefix);
    message.append(description);
    panic(std::move(message));
}

[[noreturn]] void fail_errno(std::string_view prefix, int err) {
    fail(prefix, os_error_text(err));
}

// Closes a descriptor on every way out.
struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

int open_device(const char* path, std::string_view prefix) {
    for (;;) {
        int fd = ::open(path, O_RDONLY | O_CLOEXEC);
        if (fd >= 0) return fd;
        if (errno != EINTR) fail_errno(prefix, errno);
    }
}

void fill_from_devices(std::uint8_t* out, std::size_t size, std::string_view prefix) {
    {
        Fd random{open_device("/dev/random", prefix)};
        pollfd p{random.fd, POLLIN, 0};
        for (;;) {
            int rc = ::poll(&p, 1, -1);
            if (rc >= 0) break;
            if (errno != EINTR && errno != EAGAIN) fail_errno(prefix, errno);
        }
    }
    Fd urandom{open_device("/dev/urandom", prefix)};
    std::size_t done = 0;
    while (done < size) {
        ssize_t got = ::read(urandom.fd, out + done, size - done);
        if (got > 0) {
            done += static_cast<std::size_t>(got);
        } else if (got == 0) {
            fail(prefix, "failed to fill whole buffer");
        } else if (errno != EINTR) {
            fail_errno(prefix, errno);
        }
    }
}

// How far getrandom got: the bytes filled, and why it stopped short (the
// errno, 0 for a call that yielded nothing, kNoGetrandom where the C library
// has none). Interrupted calls are retried.
constexpr int kNoGetrandom = -1;
struct Drawn {
    std::size_t done;
    int err;
};

Drawn draw_getrandom(std::uint8_t* bytes, std::size_t size) noexcept {
    const GetrandomFn fn = getrandom_fn();
    if (fn == nullptr) return {0, kNoGetrandom};
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = fn(bytes + done, size - done, 0);
        if (got > 0) {
            done += static_cast<std::size_t>(got);
            continue;
        }
        const int err = got == 0 ? 0 : errno;
        if (err != EINTR) return {done, err};
    }
    return {done, 0};
}

}  // namespace

std::string os_error_text(int err) {
    char buf[256];
    buf[0] = '\0';
    const char* text = strerror_result(::strerror_r(err, buf, sizeof buf), buf);
    std::string out = (text && *text) ? std::string(text) : std::string("Unknown error");
    out += " (os error ";
    out += std::to_string(err);
    out += ')';
    return out;
}

void fill_os_random(void* out, std::size_t size, std::string_view panic_prefix) {
    auto* bytes = static_cast<std::uint8_t*>(out);
    const Drawn drawn = draw_getrandom(bytes, size);
    if (drawn.done == size) return;
    // A getrandom that is missing, yields nothing, is absent from the kernel or
    // is refused by a filter leaves the rest to the devices.
    const int err = drawn.err;
    if (err == kNoGetrandom || err == 0 || err == ENOSYS || err == EPERM) {
        fill_from_devices(bytes + drawn.done, size - drawn.done, panic_prefix);
        return;
    }
    fail_errno(panic_prefix, err);
}

bool try_fill_os_random(void* out, std::size_t size) noexcept {
    return draw_getrandom(static_cast<std::uint8_t*>(out), size).done == size;
}

}  // namespace corvane::detail
