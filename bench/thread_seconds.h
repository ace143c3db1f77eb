// CPU time of the calling thread, for the benchmarks: the machine is shared,
// and time spent waiting for a core says nothing about the code measured.
#pragma once

#include <cstdint>

#ifdef _WIN32
#include <windows.h>
#else
#include <time.h>
#endif

inline double thread_seconds() {
#ifdef _WIN32
    FILETIME created, ended, kernel, user;
    GetThreadTimes(GetCurrentThread(), &created, &ended, &kernel, &user);
    uint64_t ticks = (uint64_t(user.dwHighDateTime) << 32) | user.dwLowDateTime;
    return double(ticks) * 1e-7;
#else
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
#endif
}
