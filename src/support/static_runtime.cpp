// The C library's single-thread flag, for the C++ runtime linked into each module
// (TESSALY_STATIC_CXX_RUNTIME).
//
// The static libstdc++ of the build machine was compiled against a newer C library than the
// oldest one the wheel supports (glibc 2.28), and its reference counting (exception objects,
// strings of the standard exceptions, guards of local statics) reads the C library's
// `__libc_single_threaded`, which exists only from glibc 2.32 on. Defined here, inside the
// module, the flag needs nothing from the C library, and the module loads on glibc 2.28. It
// only tells the runtime that it may skip atomic instructions while the process has a single
// thread: false is always correct (the runtime then always uses atomic operations). The
// definition is hidden and stays local to the module (the linker version script exports only
// PyInit_<module>).

extern "C" {
__attribute__((visibility("hidden"))) char __libc_single_threaded = 0;
}
