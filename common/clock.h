// The monotonic clock in nanoseconds, for the host tool's and the
// simulator's timing of a line.
#ifndef PLC_COMMON_CLOCK_H
#define PLC_COMMON_CLOCK_H

#include <time.h>

#include <cstdint>

namespace plc {

inline int64_t monotonicNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// A point or span of the monotonic clock as a timespec; negative is 0.
inline timespec toTimespec(int64_t ns) {
    if (ns < 0) ns = 0;
    return timespec{time_t(ns / 1000000000), long(ns % 1000000000)};
}

}  // namespace plc

#endif  // PLC_COMMON_CLOCK_H
