"""The Windows cross-build's source checks: what MinGW-w64 would let through
is found, what is guarded or the project's own is left alone; and the names
the import library of python311.dll keeps from the interpreter's headers."""
import importlib.util
import pathlib

ROOT = pathlib.Path(__file__).resolve().parents[2]


def load(name):
    spec = importlib.util.spec_from_file_location(name, ROOT / "tools" / "windows" / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


check_sources = load("check_sources")
python_def = load("python_def")

SOURCE = """\
#include <unistd.h>
#include <sys/types.h>
#include "errors.h"
// getpid() in a comment, and "fork()" in a string:
const char *s = "fork()";
int f(Obj &obj) { return ::getpid() + obj.close() + vt::sleep(1); }
void g(timespec *t) { clock_gettime(CLOCK_MONOTONIC, t); std::strcpy(a, b); }
bool h(int x) { return __builtin_expect(x, 0); }
#if defined(__GNUC__)
bool k(int x) { return __builtin_expect(x, 0); }
#elif defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
void *me = (void *)pthread_self();
#endif
int read(int fd);
int q() { return read(3); }
"""


def test_what_msvc_lacks_is_found_and_nothing_else(tmp_path):
    (tmp_path / "m.cpp").write_text(SOURCE)
    found = list(check_sources.findings(tmp_path / "m.cpp", "m.cpp", {"read"}))
    lines = sorted((int(f.split(":")[1]), f.split(": ", 1)[1].split()[0]) for f in found)
    assert lines == [(1, "<unistd.h>"), (6, "getpid()"), (7, "clock_gettime()"),
                     (7, "strcpy()"), (8, "__builtin_expect")]


def test_the_project_function_named_like_a_posix_one_is_its_own():
    code = check_sources.strip(SOURCE)[1]
    assert "read" in check_sources.own_names(code)
    assert "getpid" not in check_sources.own_names(code)


def test_native_sources_pass():
    paths = [p for p in (ROOT / "native").rglob("*") if p.suffix in check_sources.SUFFIXES]
    own = set().union(*(check_sources.own_names(check_sources.strip(p.read_text())[1]) for p in paths))
    assert [f for p in paths for f in check_sources.findings(p, p.name, own)] == []


def test_import_library_names_are_the_declared_api(tmp_path):
    (tmp_path / "cpython").mkdir()
    (tmp_path / "api.h").write_text(
        "PyAPI_FUNC(PyObject *) PyThing_New(\n    int size);\n"
        "PyAPI_DATA(PyTypeObject) PyThing_Type;\n"
        "PyAPI_FUNC(int) (PyThing_Check)(PyObject *);\n"
        "static inline int PyThing_Inline(void) { return 0; }\n"
        "#define PyThing_Parse _PyThing_Parse_SizeT\n")
    (tmp_path / "cpython" / "more.h").write_text(
        "Py_DEPRECATED(3.11) PyAPI_FUNC(void) _Py_NO_RETURN Py_ThingFatal(const char *);\n"
        "PyAPI_FUNC(int) PyThing_Parse(PyObject *, const char *, ...);\n")
    assert python_def.declared(tmp_path) == {
        "PyThing_New", "PyThing_Type", "PyThing_Check", "Py_ThingFatal",
        "PyThing_Parse", "_PyThing_Parse_SizeT"}
