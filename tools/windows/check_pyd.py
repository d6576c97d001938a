"""Check the cross-built Windows modules: one line per problem, exit 1 on any.

Every module that CMakeLists.txt declares with vt_add_module must have been
built as a 64-bit PE module that exports exactly its PyInit_<name> and
imports only from the interpreter's DLL and from Windows system DLLs: no
MinGW runtime DLL (libstdc++, libgcc, winpthreads) may be needed beside it.

    python check_pyd.py CMakeLists.txt BUILD_DIR python3XY.dll
"""
import fnmatch
import pathlib
import re
import subprocess
import sys

OBJDUMP = "x86_64-w64-mingw32-objdump"
# The C runtime (the old msvcrt or the universal one and its API sets) and
# KERNEL32, which MinGW's own start-up code and thread support call.
SYSTEM_DLLS = ("kernel32.dll", "msvcrt.dll", "ucrtbase.dll", "api-ms-win-crt-*.dll")


def declared_modules(cmakelists):
    text = re.sub(r"#[^\n]*", "", cmakelists.read_text())
    return re.findall(r"^\s*vt_add_module\(\s*([A-Za-z_]\w*)\s", text, re.M)


def pe_facts(path):
    out = subprocess.run([OBJDUMP, "-p", str(path)], check=True,
                         capture_output=True, text=True).stdout
    fmt = re.search(r"file format (\S+)", out)
    imports = re.findall(r"^\s*DLL Name:\s*(\S+)", out, re.M)
    exports = []
    table = out.split("[Ordinal/Name Pointer] Table", 1)
    if len(table) == 2:
        for line in table[1].splitlines()[1:]:
            m = re.match(r"^\s*\[\s*\d+\]\s+(\S+)", line)
            if not m:
                break
            exports.append(m.group(1))
    return (fmt.group(1) if fmt else "?"), exports, imports


def main():
    cmakelists, build, python_dll = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2]), sys.argv[3]
    allowed = (python_dll.lower(),) + SYSTEM_DLLS
    modules = declared_modules(cmakelists)
    problems = []
    if not modules:
        problems.append(f"{cmakelists}: no vt_add_module line found")
    for name in modules:
        found = sorted(build.glob(f"{name}.*pyd"))
        if len(found) != 1:
            problems.append(f"{name}: expected one {name}.*.pyd in {build}, found {len(found)}")
            continue
        pyd = found[0]
        before = len(problems)
        fmt, exports, imports = pe_facts(pyd)
        if fmt != "pei-x86-64":
            problems.append(f"{pyd.name}: file format {fmt}, not pei-x86-64")
        if exports != [f"PyInit_{name}"]:
            problems.append(f"{pyd.name}: exports {exports or 'nothing'}, expected only PyInit_{name}")
        if python_dll.lower() not in (dll.lower() for dll in imports):
            problems.append(f"{pyd.name}: does not import {python_dll}")
        for dll in imports:
            if not any(fnmatch.fnmatch(dll.lower(), pattern) for pattern in allowed):
                problems.append(f"{pyd.name}: imports {dll}, which is neither {python_dll} nor a Windows system DLL")
        if len(problems) == before:
            print(f"  {pyd.name}: exports PyInit_{name}; imports {', '.join(imports)}")
    for problem in problems:
        print(f"windows-build: {problem}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
