// libstdc++'s headers, and the parts of libstdc++ linked into the module, read glibc's
// `__libc_single_threaded` (glibc 2.32) when built against a glibc that has it, to count
// references without atomic instructions while the process has one thread. glibc 2.28 lacks the
// variable, so the module brings its own, never set: the counts always take the atomic path, as
// they do in a libstdc++ built against an older glibc once the process can start threads.
#if __has_include(<sys/single_threaded.h>)

extern "C" {
[[gnu::visibility("hidden")]] char __libc_single_threaded = 0;
}

#endif
