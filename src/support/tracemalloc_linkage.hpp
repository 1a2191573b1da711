// Python 3.13's <cpython/tracemalloc.h> declares PyTraceMalloc_Track and PyTraceMalloc_Untrack
// without C linkage when compiled as C++, so a call would look for a C++ name the interpreter
// does not export. Included before <Python.h>, this reads that header once inside extern "C"
// (its include guard keeps <Python.h> from declaring them again).
#pragma once

#include <pyconfig.h>
// what <Python.h> includes before <pyport.h>
#include <inttypes.h>
#include <limits.h>
#include <stdint.h>
#include <sys/types.h>

#include <pyport.h>

extern "C" {
#include <cpython/tracemalloc.h>
}
