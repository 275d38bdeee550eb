// Running out of memory in the program's C++ containers ends the run the way
// every allocation failure of the program and the library does: a message
// naming what was being allocated and status 1, never an uncaught
// std::bad_alloc and its abort.
#ifndef QUANTIZE_OUT_OF_MEMORY_H
#define QUANTIZE_OUT_OF_MEMORY_H

#include <kestrum/common.h>

#include <new>

namespace quantize {

// Runs body() and gives back what it returns; when it runs out of memory,
// ends the process with "out of memory <what>".
template <typename Body>
decltype(auto) reportingOutOfMemory(const char *what, Body &&body) {
    try {
        return body();
    } catch (const std::bad_alloc &) {
        pm_error("out of memory %s", what);
    }
}

}  // namespace quantize

#endif
