"""Write the module-definition file of python3XY.dll for an import library.

The names are those this interpreter exports from its shared library (or its
executable, for a static build), kept to what the headers declare with
PyAPI_FUNC / PyAPI_DATA: only such declarations are exported by the Windows
DLL, so a module that uses anything else links here and fails there.

    python python_def.py OUT.def python3XY.dll
"""
import pathlib
import re
import subprocess
import sys
import sysconfig


def exporting_binary():
    if sysconfig.get_config_var("Py_ENABLE_SHARED"):
        for name in (sysconfig.get_config_var("INSTSONAME"), sysconfig.get_config_var("LDLIBRARY")):
            path = pathlib.Path(sysconfig.get_config_var("LIBDIR")) / (name or "")
            if name and path.is_file():
                return path
    return pathlib.Path(sys.executable).resolve()


def exported(binary):
    """{name: is_data} of the binary's defined dynamic symbols."""
    out = subprocess.run(["nm", "-D", "--defined-only", str(binary)],
                         check=True, capture_output=True, text=True).stdout
    names = {}
    for line in out.splitlines():
        parts = line.split()
        if len(parts) != 3:
            continue
        kind, name = parts[1], parts[2].split("@")[0]
        if kind in "TtWiDdBbRrVvGgSs":
            names[name] = kind not in "TtWi"
    return names


DECLARATION = re.compile(r"\bPyAPI_(?:FUNC|DATA)\s*\(")
RENAME = re.compile(r"^[ \t]*#[ \t]*define[ \t]+([A-Za-z_]\w*)[ \t]+([A-Za-z_]\w*)[ \t]*$", re.M)
NAME = re.compile(r"\(?\s*([A-Za-z_]\w*)\s*\)?\s*[(\[;,]")


def declared(include_dir):
    """Names declared PyAPI_FUNC/PyAPI_DATA in the headers under include_dir."""
    names, renames = set(), []
    for header in include_dir.rglob("*.h"):
        text = header.read_text(errors="replace")
        renames += RENAME.findall(text)
        for m in DECLARATION.finditer(text):
            # Skip the parenthesised type, then take the name before the
            # argument list, the array brackets or the semicolon.
            depth, i = 1, m.end()
            while i < len(text) and depth:
                depth += {"(": 1, ")": -1}.get(text[i], 0)
                i += 1
            rest = text[i:i + 400]
            for n in NAME.finditer(rest):
                names.add(n.group(1))
                break
    # A declaration under a renaming macro (PyArg_Parse is _PyArg_Parse_SizeT)
    # declares the name it is renamed to.
    names.update(new for old, new in renames if old in names)
    return names


def main():
    out, dll = pathlib.Path(sys.argv[1]), sys.argv[2]
    binary = exporting_binary()
    symbols = exported(binary)
    api = declared(pathlib.Path(sysconfig.get_paths()["include"]))
    keep = sorted(n for n in symbols if n in api)
    if len(keep) < 500:
        sys.exit(f"python_def.py: only {len(keep)} API names found in {binary}")
    lines = [f"LIBRARY {dll}", "EXPORTS"]
    lines += [f"    {n} DATA" if symbols[n] else f"    {n}" for n in keep]
    out.write_text("\n".join(lines) + "\n")
    print(f"{dll}: {len(keep)} names ({sum(symbols[n] for n in keep)} data) from {binary}")


if __name__ == "__main__":
    main()
