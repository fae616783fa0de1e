/* pyconfig.h for building an extension for the python.org CPython on 64-bit Windows
 * with GCC or Clang (MinGW-w64 runtime), in place of the configuration of the machine
 * whose headers we borrow. It states the facts of CPython's own Windows configuration
 * that its public headers read: the interpreter is built with MSVC, so nothing here may
 * change the size or layout of anything the module shares with it. */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#if !defined(_WIN64) || !defined(__x86_64__)
#error "this pyconfig.h is for 64-bit Windows on x86-64"
#endif

/* Windows, 64-bit. MS_WIN32 means any Win32 API, 64-bit included. */
#define MS_WIN32
#define MS_WIN64
#define MS_WINDOWS
#define MS_WINDOWS_DESKTOP
#define NT_THREADS
#define WITH_THREAD
#define PLATFORM "win32"

/* Python's API lives in pythonXY.dll: the headers declare it dllimport, and the
 * module's init function dllexport. */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

/* LLP64: 64-bit pointers and size_t, 32-bit long, 16-bit wchar_t. Py_ssize_t is then
 * intptr_t (the headers derive it), the __int64 of the MSVC build. */
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define ALIGNOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define HAVE_LONG_LONG 1
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define ALIGNOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_HKEY 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF__BOOL 1
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
/* MSVC's strictest alignment, that of a double. */
#define ALIGNOF_MAX_ALIGN_T 8
#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1
/* No pid_t, no SIZEOF_PID_T: the headers then treat a pid as an int. */

/* Headers and features of the MSVC build. Left undefined on purpose: HAVE_UNISTD_H,
 * HAVE_FORK, HAVE_DLOPEN, HAVE_CLOCK_GETTIME, HAVE_PTHREAD_H, HAVE_STD_ATOMIC,
 * Py_DEBUG (a debug build is pythonXY_d.dll) and Py_GIL_DISABLED. */
#define HAVE_SYS_TYPES_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_STDDEF_H 1
#define HAVE_ERRNO_H 1
#define HAVE_WCHAR_H 1
#define HAVE_COPYSIGN 1
#define HAVE_ROUND 1
#define HAVE_HYPOT 1
#define WITH_PYMALLOC 1
#define WITH_DOC_STRINGS 1

/* The compiler must agree with the sizes the interpreter was built with. */
#if __SIZEOF_POINTER__ != SIZEOF_VOID_P || __SIZEOF_SIZE_T__ != SIZEOF_SIZE_T || __SIZEOF_LONG__ != SIZEOF_LONG \
    || __SIZEOF_INT__ != SIZEOF_INT || __SIZEOF_SHORT__ != SIZEOF_SHORT || __SIZEOF_LONG_LONG__ != SIZEOF_LONG_LONG \
    || __SIZEOF_WCHAR_T__ != SIZEOF_WCHAR_T
#error "the compiler's type sizes are not those of CPython's Windows build"
#endif

#endif /* !Py_CONFIG_H */
