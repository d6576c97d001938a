/* Build configuration of CPython 3.11 to 3.13 for 64-bit Windows, as the
 * interpreter's headers see it when an extension module is compiled against
 * the official x64 release build (python311.dll, python312.dll, python313.dll).
 * What one version adds is in pyconfig-3XY.h, which tools/windows-build puts
 * before the end of this file for that version.
 *
 * tools/windows-build puts this file in place of the host interpreter's
 * generated pyconfig.h, so that the modules cross-compiled with MinGW-w64 see
 * the type sizes, platform macros and linkage of the Windows build instead of
 * those of the Linux build doing the compiling. Only what the public headers
 * consume (and what a module could test) is defined; the rest of the
 * interpreter's own configuration is of no concern to an extension.
 */
#ifndef Py_PYCONFIG_H
#define Py_PYCONFIG_H

#if !defined(_WIN64)
#  error "this configuration describes 64-bit Windows only"
#endif

/* Platform. MS_WIN32 and MS_WINDOWS mark code for the Windows API of any
 * width, MS_WIN64 the 64-bit one. PLATFORM is sys.platform. */
#define MS_WIN32
#define MS_WIN64
#define MS_WINDOWS
#define PLATFORM "win32"

/* Oldest Windows the interpreter supports: Windows 8 (_WIN32_WINNT_WIN8).
 * The official build sets WINVER/_WIN32_WINNT from it only for its own
 * sources, never for extensions, and neither does this file. */
#define Py_WINVER 0x0602

/* The core is the import DLL python3XY.dll: the API is __declspec(dllimport),
 * PyInit_<name> is __declspec(dllexport) (pyport.h, exports.h). */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

/* Native Windows threads: no pthread.h, and a TSS key is a DWORD (pythread.h). */
#define NT_THREADS
#define WITH_THREAD

/* Type sizes of the LLP64 model: long stays 32-bit, pointers, size_t and
 * long long are 64-bit, wchar_t is UTF-16. tools/windows/config_check.cpp
 * holds the target compiler to every one of them. */
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_UINTPTR_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_FPOS_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_WCHAR_T 2
#define SIZEOF__BOOL 1
#define ALIGNOF_LONG 4
#define ALIGNOF_SIZE_T 8

/* The C runtime has no ssize_t: Py_ssize_t is the 64-bit signed type, the
 * same type (long long) as the official build's. PY_LONG_LONG and its limits
 * then come from pyport.h, as long long; size formats use "z" (pyport.h). */
#define HAVE_PY_SSIZE_T 1
typedef long long Py_ssize_t;
#define PY_SSIZE_T_MAX LLONG_MAX
#define HAVE_LONG_LONG 1

/* Little-endian IEEE 754 doubles; WORDS_BIGENDIAN stays undefined. */
#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1

/* C runtime headers that exist under MSVC. No sys/time.h, sys/select.h,
 * pthread.h or unistd.h: Python.h includes unistd.h only outside MS_WINDOWS. */
#define HAVE_STDDEF_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_WCHAR_H 1

/* Interpreter features of the release build that change declarations. */
#define WITH_PYMALLOC 1
#define WITH_DOC_STRINGS 1

#endif /* Py_PYCONFIG_H */
