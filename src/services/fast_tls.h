// Thread-local variables read on every cached answer. The project's shared
// libraries are loaded into processes at any time (dlopen), which makes the
// compiler reach their thread-locals through a call into the dynamic
// linker; these few small ones take the initial-exec model instead, a
// fixed offset from the thread pointer, placed in the static TLS space that
// the C library keeps free for libraries loaded later.
#ifndef ZVT_SERVICES_FAST_TLS_H_
#define ZVT_SERVICES_FAST_TLS_H_

#if defined(__ELF__)
#define ZVT_FAST_TLS __attribute__((tls_model("initial-exec")))
#else
#define ZVT_FAST_TLS
#endif

#endif  // ZVT_SERVICES_FAST_TLS_H_
