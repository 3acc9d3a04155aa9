// Loaded with LD_PRELOAD into a test that must see a long wait run out: the monotonic clocks run `factor` times as
// fast and poll timeouts shrink to match, so a minute of the program's waiting passes in three seconds.
#include <dlfcn.h>
#include <poll.h>
#include <signal.h>
#include <time.h>

namespace {

constexpr long long factor = 20;

long long nanoseconds(const timespec &t) { return t.tv_sec * 1000000000LL + t.tv_nsec; }
timespec timespecOf(long long ns) { return {time_t(ns / 1000000000), long(ns % 1000000000)}; }

} // namespace

extern "C" int clock_gettime(clockid_t clock, timespec *t) noexcept
{
    static const auto real = reinterpret_cast<decltype(&clock_gettime)>(dlsym(RTLD_NEXT, "clock_gettime"));
    const int result = real(clock, t);
    if (result == 0 && (clock == CLOCK_MONOTONIC || clock == CLOCK_MONOTONIC_RAW || clock == CLOCK_BOOTTIME))
        *t = timespecOf(nanoseconds(*t) * factor);
    return result;
}

extern "C" int ppoll(pollfd *fds, nfds_t count, const timespec *timeout, const sigset_t *mask)
{
    static const auto real = reinterpret_cast<decltype(&ppoll)>(dlsym(RTLD_NEXT, "ppoll"));
    const timespec shorter = timeout ? timespecOf(nanoseconds(*timeout) / factor) : timespec{};
    return real(fds, count, timeout ? &shorter : nullptr, mask);
}
