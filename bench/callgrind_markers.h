// Callgrind's collection switch around a measured loop. Without valgrind's
// headers the markers do nothing and the counting modes count nothing.
#ifndef PLC_CALLGRIND_MARKERS_H
#define PLC_CALLGRIND_MARKERS_H

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_TOGGLE_COLLECT
#endif

#endif
