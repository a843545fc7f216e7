/* The configuration of CPython's Windows x64 interpreter (python3XY.dll, built with MSVC), for
   compiling extension modules against the interpreter's own Include/ with a cross-compiler
   (mingw-w64 GCC, or clang targeting x86_64-w64-windows-gnu): scripts/check-windows-build.
   Only what the public headers consult is here, with the values of the Windows build. A
   Windows installation ships its own pyconfig.h, which is what MSVC builds use; this one never
   goes into anything shipped.

   It must be found instead of the pyconfig.h of the interpreter the headers were taken from
   (a Linux one describes another platform): the check compiles against a copy of Include/
   without it, and PY_CONFIG_WINDOWS_CROSS lets it tell which one it got. */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#if !defined(_WIN64) || defined(_MSC_VER)
#error "for cross-compiling to Windows x64 only: MSVC builds use the interpreter's own pyconfig.h"
#endif

#define PY_CONFIG_WINDOWS_CROSS 1

/* Windows, 64 bits. MS_WIN32 means the Win32 API, which Win64 is too. */
#define MS_WINDOWS
#define MS_WIN32
#define MS_WIN64
#define PLATFORM "win32"
#define PYD_PLATFORM_TAG "win_amd64"

/* The interpreter is a DLL: the headers declare its functions and data dllimport, and a
   module's PyInit_ function dllexport. */
#define Py_ENABLE_SHARED 1
#define MS_COREDLL
#define HAVE_DECLSPEC_DLL

/* Native Windows threads, no pthreads (the thread-local key is a DWORD). */
#define NT_THREADS
#define WITH_THREAD

/* LLP64: long stays 32 bits, pointers and size_t are 64. */
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_UINTPTR_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_HKEY 8
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF_WCHAR_T 2 /* UTF-16 code units */
#define SIZEOF__BOOL 1
#define SIZEOF_PID_T SIZEOF_INT
#define LONG_BIT 32
#define WORD_BIT 32
#define HAVE_LARGEFILE_SUPPORT
/* MSVC's: long double is double there, so max_align_t is aligned to 8. */
#define ALIGNOF_MAX_ALIGN_T 8
#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1

/* Py_ssize_t is the signed counterpart of size_t: 64 bits. */
#include <sys/types.h> /* ssize_t */
#define HAVE_SSIZE_T 1

/* Headers the C runtime has; none of the POSIX-only ones (unistd.h, pthread.h, sys/time.h,
   sys/select.h, langinfo.h) and no fork or clock_gettime. */
#define HAVE_SYS_STAT_H 1
#define HAVE_SYS_TYPES_H 1
#define HAVE_WCHAR_H 1
#define HAVE_ERRNO_H 1
#define HAVE_FCNTL_H 1
#define HAVE_IO_H
#define HAVE_PROCESS_H 1
#define HAVE_SIGNAL_H 1
#define HAVE_STDDEF_H 1

#define WITH_DOC_STRINGS 1
#define WITH_PYMALLOC 1

/* An MSVC Debug build (_DEBUG, the debug C runtime) is a build against the debug interpreter:
   python3XY_d.dll, whose objects carry Py_DEBUG's extra fields. */
#ifdef _DEBUG
#define Py_DEBUG
#endif

/* Py_GIL_DISABLED stays undefined: the ordinary interpreter, not the free-threaded one. */

#endif /* Py_CONFIG_H */
