/* pyconfig.h for building an extension for CPython on macOS (arm64 and x86-64), in place
 * of the configuration of the machine whose headers we borrow. It states the facts of a
 * macOS build of CPython that its public headers read; pymacconfig.h, which Python.h
 * includes next, sets the ones that differ between the two architectures (long double,
 * max_align_t, the x87 unit). */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#if !defined(__APPLE__) || !defined(__LP64__)
#error "this pyconfig.h is for 64-bit macOS"
#endif

/* The interpreter is a shared library (the framework build); an extension takes its
 * API from the process that loads it. */
#define Py_ENABLE_SHARED 1
#define WITH_THREAD 1

/* LP64, 32-bit wchar_t and pid_t. */
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG_LONG 8
#define HAVE_LONG_LONG 1
#define ALIGNOF_LONG 8
#define ALIGNOF_SIZE_T 8
#define SIZEOF_OFF_T 8
#define SIZEOF_FPOS_T 8
#define SIZEOF_PID_T 4
#define SIZEOF_WCHAR_T 4
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8

/* The C library's headers and features that the interpreter's headers look for. */
#define HAVE_UNISTD_H 1
#define HAVE_SYS_TYPES_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_SYS_TIME_H 1
#define HAVE_SYS_SELECT_H 1
#define HAVE_STDDEF_H 1
#define HAVE_ERRNO_H 1
#define HAVE_WCHAR_H 1
#define HAVE_PTHREAD_H 1
#define HAVE_SSIZE_T 1
#define HAVE_FORK 1
#define HAVE_DLOPEN 1
#define HAVE_DECL_RTLD_NOW 1
#define HAVE_CLOCK_GETTIME 1
#define HAVE_SIGACTION 1
#define HAVE_SIGALTSTACK 1
#define HAVE_KQUEUE 1
#define HAVE_READLINK 1
#define HAVE_REALPATH 1
#define HAVE_STD_ATOMIC 1
#define HAVE_BUILTIN_ATOMIC 1
#define HAVE_DECL_ISNAN 1
#define HAVE_DECL_ISINF 1
#define HAVE_DECL_ISFINITE 1
#define HAVE_COPYSIGN 1
#define HAVE_ROUND 1
#define HAVE_HYPOT 1
#define WITH_PYMALLOC 1
#define WITH_DOC_STRINGS 1
#define _DARWIN_C_SOURCE 1

/* The compiler must agree with the sizes the interpreter was built with. */
#if __SIZEOF_INT__ != SIZEOF_INT || __SIZEOF_SHORT__ != SIZEOF_SHORT || __SIZEOF_LONG_LONG__ != SIZEOF_LONG_LONG \
    || __SIZEOF_WCHAR_T__ != SIZEOF_WCHAR_T
#error "the compiler's type sizes are not those of CPython's macOS build"
#endif

#endif /* !Py_CONFIG_H */
