// Compiled (never linked) by tools/windows-build before the modules: the
// sizes that tools/windows/pyconfig.h states must be those of the target
// compiler, and Python.h must come out as a Windows x64 extension sees it.
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <sys/types.h>
#include <type_traits>

#if !defined(MS_WINDOWS) || !defined(MS_WIN64) || !defined(NT_THREADS)
#error "tools/windows/pyconfig.h is not the configuration in use"
#endif

static_assert(sizeof(short) == SIZEOF_SHORT, "short");
static_assert(sizeof(int) == SIZEOF_INT, "int");
static_assert(sizeof(long) == SIZEOF_LONG, "long");
static_assert(sizeof(long long) == SIZEOF_LONG_LONG, "long long");
static_assert(sizeof(float) == SIZEOF_FLOAT, "float");
static_assert(sizeof(double) == SIZEOF_DOUBLE, "double");
static_assert(sizeof(void *) == SIZEOF_VOID_P, "void *");
static_assert(sizeof(std::size_t) == SIZEOF_SIZE_T, "size_t");
static_assert(sizeof(std::uintptr_t) == SIZEOF_UINTPTR_T, "uintptr_t");
static_assert(sizeof(std::time_t) == SIZEOF_TIME_T, "time_t");
static_assert(sizeof(std::fpos_t) == SIZEOF_FPOS_T, "fpos_t");
static_assert(sizeof(off_t) == SIZEOF_OFF_T, "off_t");
static_assert(sizeof(wchar_t) == SIZEOF_WCHAR_T, "wchar_t");
static_assert(sizeof(bool) == SIZEOF__BOOL, "bool");
static_assert(alignof(long) == ALIGNOF_LONG, "alignof(long)");
static_assert(alignof(std::size_t) == ALIGNOF_SIZE_T, "alignof(size_t)");

static_assert(std::is_same<Py_ssize_t, std::ptrdiff_t>::value, "Py_ssize_t is the pointer-wide signed type");
static_assert(PY_SSIZE_T_MAX == PTRDIFF_MAX, "PY_SSIZE_T_MAX");
static_assert(sizeof(Py_hash_t) == 8, "Py_hash_t");
static_assert(PY_LITTLE_ENDIAN == 1, "little-endian");
